# The host's own tests: a support library that runs copies of the host (and registers them for client
# tests), and the test programs: registration, server runs, the module's monitor, the COM objects from a
# client process, several client processes, the methods' forwarding, the event proxy in process.
add_library(tavo_host_harness STATIC ${CMAKE_CURRENT_LIST_DIR}/host_harness.cpp
            ${CMAKE_CURRENT_LIST_DIR}/registered_host.cpp ${CMAKE_CURRENT_LIST_DIR}/event_sink.cpp)
target_include_directories(tavo_host_harness PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tavo_host_harness PUBLIC tavo_test_support tavo_common ole32 oleaut32 uuid)
target_compile_options(tavo_host_harness PRIVATE ${TAVO_WARNINGS})

tavo_add_gtest(host_registration_test ${CMAKE_CURRENT_LIST_DIR}/host_registration_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/host_typelib_check.cpp
               ${CMAKE_SOURCE_DIR}/pluginhost/module/command_line.cpp)
target_include_directories(host_registration_test PRIVATE ${CMAKE_SOURCE_DIR}/pluginhost)
target_link_libraries(host_registration_test PRIVATE tavo_host_harness ole32 oleaut32)
add_dependencies(host_registration_test tavopluginhost)

tavo_add_gtest(host_server_test ${CMAKE_CURRENT_LIST_DIR}/host_server_test.cpp)
target_link_libraries(host_server_test PRIVATE tavo_host_harness ole32 oleaut32 uuid)
add_dependencies(host_server_test tavopluginhost tavo_host_fixtures)

tavo_add_gtest(exe_module_test ${CMAKE_CURRENT_LIST_DIR}/exe_module_test.cpp)
target_include_directories(exe_module_test PRIVATE ${CMAKE_SOURCE_DIR}/pluginhost)
target_link_libraries(exe_module_test PRIVATE tavo_host_core user32)

tavo_add_gtest(host_objects_test ${CMAKE_CURRENT_LIST_DIR}/host_objects_test.cpp)
target_link_libraries(host_objects_test PRIVATE tavo_host_harness tavo_host_core)
add_dependencies(host_objects_test tavopluginhost tavo_host_fixtures)

tavo_add_gtest(event_proxy_test ${CMAKE_CURRENT_LIST_DIR}/event_proxy_test.cpp)
target_link_libraries(event_proxy_test PRIVATE tavo_host_core tavo_host_harness)

tavo_add_gtest(host_clients_test ${CMAKE_CURRENT_LIST_DIR}/host_clients_test.cpp)
target_link_libraries(host_clients_test PRIVATE tavo_host_harness tavo_host_core)
add_dependencies(host_clients_test tavopluginhost tavo_host_fixtures)

tavo_add_gtest(host_methods_test ${CMAKE_CURRENT_LIST_DIR}/host_methods_test.cpp)
target_link_libraries(host_methods_test PRIVATE tavo_host_harness tavo_host_core psapi)
add_dependencies(host_methods_test tavopluginhost tavo_host_fixtures)
