# quodra_add_test_program(NAME LIBRARY [ENVIRONMENT var=value ...])
# Turns every test_*.cpp of the calling folder into the gtest program quodra_NAME_tests,
# linked with LIBRARY and the shared test support; every TEST becomes its own CTest case,
# labelled NAME, run on Qt's offscreen platform.
function(quodra_add_test_program name library)
  cmake_parse_arguments(ARG "" "" "ENVIRONMENT" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  if(NOT sources OR NOT TARGET ${library})
    return()
  endif()
  set(target quodra_${name}_tests)
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE ${library} quodra_test_support GTest::gtest GTest::gmock)
  # The discovered tests' properties are read as name/value pairs, so a list-valued property
  # (several ENVIRONMENT items) would swallow the names after it: the fixture goes first, and
  # only the first environment item is given, as it always was in effect.
  set(environment "QT_QPA_PLATFORM=offscreen" "QUODRA_SOURCE_DIR=${CMAKE_SOURCE_DIR}" ${ARG_ENVIRONMENT})
  list(GET environment 0 first_environment)
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES FIXTURES_REQUIRED quodra_test_tmp LABELS "${name}" ENVIRONMENT "${first_environment}")
endfunction()

# Temporary folders and Qt's runtime folder (also the fallback a run without XDG_RUNTIME_DIR
# makes below TMPDIR) live in the build tree while the tests run (the test programs point
# TMPDIR and XDG_RUNTIME_DIR there, tests/support/test_main.cpp), and go with the suite's
# cleanup: nothing is left in /tmp.
set(QUODRA_TEST_TMP ${CMAKE_BINARY_DIR}/test-tmp)
add_test(NAME quodra_test_tmp_setup COMMAND sh -c "rm -rf '${QUODRA_TEST_TMP}' && mkdir -p -m 0700 '${QUODRA_TEST_TMP}/runtime'")
add_test(NAME quodra_test_tmp_cleanup COMMAND ${CMAKE_COMMAND} -E rm -rf ${QUODRA_TEST_TMP})
set_tests_properties(quodra_test_tmp_setup PROPERTIES FIXTURES_SETUP quodra_test_tmp)
set_tests_properties(quodra_test_tmp_cleanup PROPERTIES FIXTURES_CLEANUP quodra_test_tmp)
