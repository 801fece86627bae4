# Tests run on the Wine machines: each CTest entry runs one test program in its own fresh, sealed copy of a
# machine template (tools/wine/run-in-machine.sh), once per machine, started from inside the machine.
set(TAVO_WINE_RUN ${CMAKE_SOURCE_DIR}/tools/wine/run-in-machine.sh)
# Where 32-bit programs only run under user-mode emulation, a whole 32-bit Windows (every system process
# emulated) takes far too long to boot and run: there the tests run on the 64-bit machine only.
if(EXISTS /proc/sys/fs/binfmt_misc/tavo-i386)
  set(TAVO_DEFAULT_MACHINES win64)
else()
  set(TAVO_DEFAULT_MACHINES win64 win32)
endif()
set(TAVO_MACHINES ${TAVO_DEFAULT_MACHINES} CACHE STRING "Wine machines the tests run on")

function(tavo_add_wine_test name target)
  foreach(machine IN LISTS TAVO_MACHINES)
    add_test(NAME ${name}.${machine} COMMAND ${TAVO_WINE_RUN} --gtest ${machine} $<TARGET_FILE:${target}> ${ARGN})
  endforeach()
endfunction()

# A GoogleTest program's name ends in "_test": the runner copies a program's folder into the machine
# without the other test programs (tools/wine/machine-lib.sh), and no test program needs another.
function(tavo_add_gtest target)
  if(NOT target MATCHES "_test$")
    message(FATAL_ERROR "GoogleTest program ${target}: the name must end in _test")
  endif()
  add_executable(${target} ${ARGN} ${CMAKE_SOURCE_DIR}/tests/support/main/test_main.cpp)
  target_link_libraries(${target} PRIVATE GTest::gtest tavo_test_support)
  target_compile_options(${target} PRIVATE ${TAVO_WARNINGS})
  tavo_add_wine_test(${target} ${target})
endfunction()
