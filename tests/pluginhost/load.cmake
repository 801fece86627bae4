# The host under load: many plug-in client processes at once (tests/pluginhost/host_load_test.cpp).
tavo_add_gtest(host_load_test ${CMAKE_CURRENT_LIST_DIR}/host_load_test.cpp)
target_link_libraries(host_load_test PRIVATE tavo_host_harness psapi)
add_dependencies(host_load_test tavopluginhost tavo_host_fixtures)
# About 1 min on a machine of its own, 2 min with both machines at once on 2 cores; the preset allows 5.
foreach(machine IN LISTS TAVO_MACHINES)
  set_tests_properties(host_load_test.${machine} PROPERTIES TIMEOUT 900)
endforeach()
