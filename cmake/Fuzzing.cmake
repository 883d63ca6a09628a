# QUODRA_FUZZ=ON: a clang build tree for coverage-guided fuzzing. Everything is compiled with
# the sanitizers and coverage instrumentation; only the fuzz programs link libFuzzer itself.
# Build just the programs (target quodra_fuzz_targets): the widget libraries are not needed.
option(QUODRA_FUZZ "Build the fuzz programs with libFuzzer (needs clang)" OFF)
if(QUODRA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUODRA_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
