# The folders are layers: includes point downward only and widgets stay in
# app/. The self-test keeps the check itself from passing by finding nothing.
get_target_property(widget_dirs Qt6::Widgets INTERFACE_INCLUDE_DIRECTORIES)
set(qt_include_root "")
foreach(dir ${widget_dirs})
  if(dir MATCHES "^(.*)/QtWidgets$")
    set(qt_include_root "${CMAKE_MATCH_1}")
  endif()
endforeach()
add_test(NAME layers
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DQT_INCLUDE_ROOT=${qt_include_root}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/layers/CheckLayers.cmake)
add_test(NAME layers_selftest
  COMMAND ${CMAKE_COMMAND} -DCHECKER=${CMAKE_CURRENT_SOURCE_DIR}/layers/CheckLayers.cmake
          -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/layers_selftest -DQT_INCLUDE_ROOT=${qt_include_root}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/layers/CheckLayersSelfTest.cmake)
set_tests_properties(layers layers_selftest PROPERTIES TIMEOUT 60)
