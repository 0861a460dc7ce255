# Console benchmarks: the whole program, driven like the console tests.
if(TARGET qorvel_program_driver)
  add_executable(bench_console_idle ${CMAKE_CURRENT_SOURCE_DIR}/console_idle_bench.cpp)
  target_link_libraries(bench_console_idle PRIVATE qorvel_program_driver)
endif()
