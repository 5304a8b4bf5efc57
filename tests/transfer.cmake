# XMODEM/YMODEM in vortana-term against lrzsz over pseudo-terminal pairs.
if(TARGET vortana-term)
  vortana_add_test(TransferTest SOURCES TransferTest.cpp LIBS vortana_termcli QT TIMEOUT 1500)
  target_compile_definitions(TransferTest PRIVATE VORTANA_TERM_PATH="$<TARGET_FILE:vortana-term>")
  add_dependencies(TransferTest vortana-term)
endif()
if(TEST TransferTest)
  # Mostly waiting on its peers: started first, it overlaps the busy suites
  # instead of running on alone at the end.
  set_tests_properties(TransferTest PROPERTIES COST 10000)
endif()
