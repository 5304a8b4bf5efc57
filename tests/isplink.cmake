if(TARGET vortana_isplink)
  vortana_add_test(ResetSequenceTest SOURCES ResetSequenceTest.cpp LIBS vortana_isplink)
endif()
