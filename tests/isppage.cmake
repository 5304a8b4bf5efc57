if(TARGET vortana_app)
  vortana_add_test(IspPageTest SOURCES IspPageTest.cpp sim/Stm32Sim.cpp sim/LpcSim.cpp
                   LIBS vortana_app vortana_stcsim vortana_simlink QT TIMEOUT 300)
endif()
if(TARGET vortana_app)
  vortana_add_test(SharedPortTest SOURCES SharedPortTest.cpp sim/Stm32Sim.cpp sim/LpcSim.cpp
                   LIBS vortana_app vortana_stcsim vortana_simlink QT TIMEOUT 300)
endif()
