# Windows unit tests, cross-built with the mingw toolchain and run under wine
# by CTest's emulator: the groups that need no POSIX facility (no
# pseudo-terminal, no spawned program), and the wire test, which opens COM3:
# scripts/windows-test points that at the simulated board, served on the
# Linux side by sim_board_serve, for the whole CTest run. Also the stand-in
# browser that the end-to-end run installs.
#
# The Linux test list builds the simulated board on openpty, so the Windows
# build does not include tests/CMakeLists.txt. scripts/windows-test hands this
# file to the top-level project as CMAKE_PROJECT_qorvel_INCLUDE (with
# QORVEL_BUILD_TESTS and QORVEL_BUILD_BENCH off); it then runs once the
# top-level list has defined the program's libraries.
set(QORVEL_WINDOWS_TEST_SOURCES
  test_decoder.cpp
  test_prompt_and_reports.cpp
  test_serial_win32.cpp
  test_wire_win32.cpp
)

# GoogleTest from Debian's source package, built with the cross compiler.
# (Subdirectories cannot be added from the deferred call below.)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()

function(qorvel_windows_tests)
  foreach(source IN LISTS QORVEL_WINDOWS_TEST_SOURCES)
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${PROJECT_SOURCE_DIR}/tests/${source})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE qorvel_board_link gtest gtest_main)
    # One wine start per test program: a start costs far more than a test.
    add_test(NAME ${name} COMMAND ${name})
  endforeach()

  # Not a test: the browser of the end-to-end run, which scripts/windows-test
  # installs where the program starts Edge. A window program, as Edge is.
  add_executable(msedge_stand_in WIN32 ${PROJECT_SOURCE_DIR}/tests/msedge_stand_in.cpp)
endfunction()

# Runs once the top-level list has defined the program's libraries.
cmake_language(DEFER CALL qorvel_windows_tests)
