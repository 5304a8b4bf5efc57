# XMODEM/YMODEM in vortana-term against lrzsz over pseudo-terminals.
if(TARGET vortana-term)
  vortana_add_test(TransferTest SOURCES TransferTest.cpp LIBS vortana_termcli QT TIMEOUT 300)
  target_compile_definitions(TransferTest PRIVATE VORTANA_TERM_PATH="$<TARGET_FILE:vortana-term>")
  add_dependencies(TransferTest vortana-term)
endif()
if(TEST TransferTest)
  # About a minute, mostly waiting on its peers: started early, it overlaps
  # the busy suites instead of running on alone at the end.
  set_tests_properties(TransferTest PROPERTIES COST 100)
endif()
# The same transfers from the terminal page.
if(TARGET vortana_app)
  vortana_add_test(WindowTransferTest SOURCES WindowTransferTest.cpp LIBS vortana_app QT TIMEOUT 120)
endif()
