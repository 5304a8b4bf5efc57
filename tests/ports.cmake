# Ports by adapter, the port doctor, and vortana-term.
if(TARGET vortana_termcli)
  vortana_add_test(PortFactsTest SOURCES PortFactsTest.cpp LIBS vortana_platform)
endif()
if(TARGET vortana-term AND TARGET vortana-isp)
  vortana_add_test(TermTest SOURCES TermTest.cpp LIBS vortana_termcli vortana_stm32sim vortana_simlink QT TIMEOUT 180)
  target_compile_definitions(TermTest PRIVATE VORTANA_TERM_PATH="$<TARGET_FILE:vortana-term>"
                             VORTANA_ISP_PATH="$<TARGET_FILE:vortana-isp>")
  add_dependencies(TermTest vortana-term vortana-isp)
endif()
