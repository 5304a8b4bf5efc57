if(TARGET vortana_firmware)
  vortana_add_test(FirmwareImageTest SOURCES FirmwareImageTest.cpp LIBS vortana_firmware)
endif()
