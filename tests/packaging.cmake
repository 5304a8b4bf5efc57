# The manual page and the bash completion of vortana-isp against its --help.
if(TARGET vortana-isp)
  add_test(NAME packaging_cli_docs
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/packaging/cli_docs.sh $<TARGET_FILE:vortana-isp>
            ${CMAKE_SOURCE_DIR}/packaging/vortana-isp.1 ${CMAKE_SOURCE_DIR}/packaging/vortana-isp.bash-completion)
  set_tests_properties(packaging_cli_docs PROPERTIES TIMEOUT 120
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()
