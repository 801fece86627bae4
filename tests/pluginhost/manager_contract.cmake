# The manager library's binary contract (manager/tavo_mgr.h) and the test builds of the manager and
# companion libraries, in one test program.
tavo_add_gtest(manager_contract_test ${CMAKE_CURRENT_SOURCE_DIR}/manager_slots_test.cpp
               ${CMAKE_CURRENT_SOURCE_DIR}/fake_manager_test.cpp)
target_include_directories(manager_contract_test PRIVATE ${CMAKE_SOURCE_DIR}/pluginhost)
target_link_libraries(manager_contract_test PRIVATE tavo_common user32)
add_dependencies(manager_contract_test tavo_host_fixtures)
