# Installing the program and its Debian package: `cmake --install` (make install) and CPack
# (make package) put the same files in the same places below the prefix. Only the program
# and its documents are installed; the tests never are.
set(QUODRA_PACKAGE_NAME quodra-ftp)
set(QUODRA_DOC_DIR share/doc/${QUODRA_PACKAGE_NAME})
set(QUODRA_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(QUODRA_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
# Folders made by the install are 0755 whatever the umask (the Debian policy asks for it).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The desktop icon, drawn from the main window's emblem at the sizes the menus ask for.
add_executable(make_icon ${QUODRA_PACKAGING_DIR}/make_icon.cpp)
target_link_libraries(make_icon PRIVATE quodra_dialogs)
set(QUODRA_ICON_SIZES 16 24 32 48)
set(icon_files)
foreach(size IN LISTS QUODRA_ICON_SIZES)
  set(png ${QUODRA_PACKAGING_OUT}/icons/${size}x${size}/${QUODRA_PACKAGE_NAME}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUODRA_PACKAGING_OUT}/icons/${size}x${size}
    # In a sanitized tree Qt's caches at exit would count as leaks and fail the build.
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 $<TARGET_FILE:make_icon> ${CMAKE_SOURCE_DIR}/resources/pictures/quodra_emblem.jpg ${size} ${png}
    DEPENDS make_icon ${CMAKE_SOURCE_DIR}/resources/pictures/quodra_emblem.jpg VERBATIM)
  list(APPEND icon_files ${png})
  install(FILES ${png} DESTINATION share/icons/hicolor/${size}x${size}/apps)
endforeach()

# Manual page and Debian changelog, compressed as the Debian policy asks (-n: no time stamp,
# so that two builds give the same bytes).
configure_file(${QUODRA_PACKAGING_DIR}/changelog.in ${QUODRA_PACKAGING_OUT}/changelog @ONLY)
set(man_gz ${QUODRA_PACKAGING_OUT}/${QUODRA_PACKAGE_NAME}.1.gz)
set(changelog_gz ${QUODRA_PACKAGING_OUT}/changelog.gz)
add_custom_command(OUTPUT ${man_gz}
  COMMAND gzip -9nc ${QUODRA_PACKAGING_DIR}/${QUODRA_PACKAGE_NAME}.1 > ${man_gz}
  DEPENDS ${QUODRA_PACKAGING_DIR}/${QUODRA_PACKAGE_NAME}.1)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND gzip -9nc ${QUODRA_PACKAGING_OUT}/changelog > ${changelog_gz}
  DEPENDS ${QUODRA_PACKAGING_OUT}/changelog)
add_custom_target(quodra_packaging_files ALL DEPENDS ${icon_files} ${man_gz} ${changelog_gz})

if(TARGET quodra-ftp)
  install(TARGETS quodra-ftp RUNTIME DESTINATION bin)
endif()
install(FILES ${QUODRA_PACKAGING_DIR}/${QUODRA_PACKAGE_NAME}.desktop DESTINATION share/applications)
install(FILES ${man_gz} DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${QUODRA_PACKAGING_DIR}/new.txt ${QUODRA_PACKAGING_DIR}/copyright
              ${changelog_gz}
        DESTINATION ${QUODRA_DOC_DIR})
install(FILES ${QUODRA_PACKAGING_DIR}/examples/quodra-ftp@.service ${QUODRA_PACKAGING_DIR}/examples/quodra-ftp@.timer
              ${QUODRA_PACKAGING_DIR}/examples/crontab
        DESTINATION ${QUODRA_DOC_DIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${QUODRA_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${QUODRA_COMPANY}")
set(CPACK_PACKAGE_CONTACT "Quodra Software <support@quodra.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client that fetches files by FTP, TFTP or file copy")
# CPack puts the summary in front as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Quodra FTP Client fetches files from a remote side into local files: by\n\
FTP (active or passive, ASCII or binary, wildcard masks), by TFTP, or by a\n\
plain file copy. Each transfer is a named profile; run with a profile name\n\
it works unattended (from cron or a systemd timer), prints its log and ends\n\
with an exit status that tells whether the job worked.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
# dpkg-shlibdeps finds the libraries the program links. Qt's platform plugins (xcb, and
# offscreen for runs without a display) and its JPEG reader come with libqt6gui6.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "network-manager-gnome")
include(CPack)
