vortana_add_test(SettingsStoreTest SOURCES SettingsStoreTest.cpp LIBS vortana_platform)
if(TARGET vortana_app)
  vortana_add_test(MainFormTest SOURCES MainFormTest.cpp LIBS vortana_app QT)
endif()
