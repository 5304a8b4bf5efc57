vortana_add_test(ThreadedCommTest SOURCES ThreadedCommTest.cpp LIBS vortana_serial QT)
