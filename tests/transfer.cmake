# XMODEM/YMODEM in vortana-term against lrzsz over pseudo-terminal pairs.
if(TARGET vortana-term)
  vortana_add_test(TransferTest SOURCES TransferTest.cpp LIBS vortana_termcli QT TIMEOUT 900)
  target_compile_definitions(TransferTest PRIVATE VORTANA_TERM_PATH="$<TARGET_FILE:vortana-term>")
  add_dependencies(TransferTest vortana-term)
endif()
