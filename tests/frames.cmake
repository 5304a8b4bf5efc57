vortana_add_test(frames_logic_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/frames_logic_test.cpp
  LIBS vortana_terminal)
if(TARGET vortana_app)
  vortana_add_test(FramesWindowTest SOURCES FramesWindowTest.cpp LIBS vortana_app QT)
endif()
# The Modbus master against libmodbus's RTU server across a socat pty pair.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(LIBMODBUS QUIET IMPORTED_TARGET libmodbus)
endif()
find_program(SOCAT socat)
if(TARGET vortana_app AND LIBMODBUS_FOUND AND SOCAT)
  vortana_add_test(ModbusPeerTest SOURCES ModbusPeerTest.cpp LIBS vortana_app PkgConfig::LIBMODBUS QT)
endif()
# vortana-term's frames and Modbus jobs against the same libmodbus server.
if(TARGET vortana-term AND LIBMODBUS_FOUND AND SOCAT)
  vortana_add_test(TermFramesTest SOURCES TermFramesTest.cpp LIBS vortana_termcli PkgConfig::LIBMODBUS QT TIMEOUT 180)
  target_compile_definitions(TermFramesTest PRIVATE VORTANA_TERM_PATH="$<TARGET_FILE:vortana-term>")
  add_dependencies(TermFramesTest vortana-term)
endif()
