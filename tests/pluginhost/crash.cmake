# The crash dump handler: its pure parts in process, the handler itself in a probe program that crashes.
add_executable(crash_probe ${CMAKE_CURRENT_SOURCE_DIR}/crash_probe.cpp)
target_link_libraries(crash_probe PRIVATE tavo_host_core)
target_compile_options(crash_probe PRIVATE ${TAVO_WARNINGS})

tavo_add_gtest(crash_dump_test ${CMAKE_CURRENT_SOURCE_DIR}/crash_dump_test.cpp)
target_link_libraries(crash_dump_test PRIVATE tavo_host_core dbghelp version)
add_dependencies(crash_dump_test crash_probe)
