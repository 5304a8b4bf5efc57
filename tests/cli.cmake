# vortana-isp: its option and progress rules, and the executable itself run
# against the simulated boot loaders.
if(TARGET vortana-isp)
  vortana_add_test(CliLogicTest SOURCES CliLogicTest.cpp LIBS vortana_cli)
  vortana_add_test(BoardRecordTest SOURCES BoardRecordTest.cpp LIBS vortana_cli)
  vortana_add_test(CliTest SOURCES CliTest.cpp sim/LpcSim.cpp sim/PtySpeed.cpp LIBS vortana_stm32sim vortana_stcsim vortana_simlink vortana_firmware QT
                   TIMEOUT 240)
  target_compile_definitions(CliTest PRIVATE VORTANA_ISP_PATH="$<TARGET_FILE:vortana-isp>")
  add_dependencies(CliTest vortana-isp)
  vortana_add_test(LineTest SOURCES LineTest.cpp LIBS vortana_stm32sim vortana_simlink QT TIMEOUT 240)
  target_compile_definitions(LineTest PRIVATE VORTANA_ISP_PATH="$<TARGET_FILE:vortana-isp>")
  add_dependencies(LineTest vortana-isp)
endif()
