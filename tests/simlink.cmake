vortana_add_test(SimLinkTest SOURCES SimLinkTest.cpp LIBS vortana_simlink)
