# Ports by adapter, the port doctor, and vortana-term.
if(TARGET vortana_termcli)
  vortana_add_test(PortFactsTest SOURCES PortFactsTest.cpp LIBS vortana_discovery vortana_platform)
endif()
