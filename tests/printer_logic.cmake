vortana_add_test(printer_logic_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/printer_logic_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/support/EscPosDecode.cpp
  LIBS vortana_printer vortana_terminal)
