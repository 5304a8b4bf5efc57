vortana_add_test(PollingCommTest SOURCES PollingCommTest.cpp LIBS vortana_serial QT)
