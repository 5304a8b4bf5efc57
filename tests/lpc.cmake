vortana_add_test(LpcImageTest SOURCES LpcImageTest.cpp LIBS vortana_lpc)
vortana_add_test(LpcPartsTest SOURCES LpcPartsTest.cpp LIBS vortana_lpc)
vortana_add_test(LpcEngineTest SOURCES LpcEngineTest.cpp sim/LpcSim.cpp LIBS vortana_lpc vortana_simlink QT TIMEOUT 240)
