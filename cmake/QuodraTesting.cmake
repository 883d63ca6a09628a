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
  set(environment "QT_QPA_PLATFORM=offscreen" "QUODRA_SOURCE_DIR=${CMAKE_SOURCE_DIR}" ${ARG_ENVIRONMENT})
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${name}" ENVIRONMENT "${environment}" TIMEOUT 300)
endfunction()
