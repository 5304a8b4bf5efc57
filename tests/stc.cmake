add_library(vortana_stcsim STATIC sim/StcSim.cpp sim/StcSim.h sim/StcModernSim.cpp sim/StcModernSim.h
            sim/PtySpeed.cpp sim/PtySpeed.h)
target_link_libraries(vortana_stcsim PUBLIC vortana_testsupport vortana_simlink)

vortana_add_test(StcFramesTest SOURCES StcFramesTest.cpp LIBS vortana_stc vortana_stcsim QT)

vortana_add_test(StcSessionTest SOURCES StcSessionTest.cpp LIBS vortana_stc vortana_stcsim QT
                 TIMEOUT 240)

vortana_add_test(StcModernTest SOURCES StcModernTest.cpp LIBS vortana_stc vortana_stcsim QT)

vortana_add_test(StcFamiliesTest SOURCES StcFamiliesTest.cpp LIBS vortana_stc vortana_stcsim QT
                 TIMEOUT 240)

vortana_add_test(StcModelsTest SOURCES StcModelsTest.cpp LIBS vortana_stc QT)
target_compile_definitions(StcModelsTest PRIVATE
                           STC_MODELS_TSV="${PROJECT_SOURCE_DIR}/isp/stc/stc-models.tsv")
