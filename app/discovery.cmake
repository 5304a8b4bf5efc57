# Serial port discovery, widget-free; included by app/CMakeLists.txt and by
# the discovery tests.
add_library(vortana_discovery STATIC ${CMAKE_SOURCE_DIR}/app/PortDiscovery.cpp)
target_link_libraries(vortana_discovery PUBLIC vortana_platform Qt6::Core)
target_include_directories(vortana_discovery PUBLIC ${CMAKE_SOURCE_DIR})
