# The fuzzing harnesses (tests/fuzz), each run for a few seconds: a finding
# fails the suite. Needs clang with libFuzzer.
find_program(VORTANA_CLANGXX clang++)
if(VORTANA_CLANGXX)
  add_test(NAME fuzz_harnesses
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/run.sh 5 ${CMAKE_BINARY_DIR}/fuzz)
  set_tests_properties(fuzz_harnesses PROPERTIES TIMEOUT 300 ENVIRONMENT "FUZZ_CXX=${VORTANA_CLANGXX}")
endif()
