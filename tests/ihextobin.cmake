vortana_add_test(IHexToBinTest SOURCES IHexToBinTest.cpp LIBS ${CMAKE_DL_LIBS})
# The suite loads the library the way the programmer does, from its folder.
add_dependencies(IHexToBinTest iHexToBin)
