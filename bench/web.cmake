# Web UI benchmark: the GPIO API over loopback HTTP against the simulated
# board (uses port 8088).
if(TARGET qorvel_test_support)
  add_executable(bench_web ${CMAKE_CURRENT_SOURCE_DIR}/web_bench.cpp)
  target_link_libraries(bench_web PRIVATE qorvel_web_ui qorvel_board_link qorvel_test_support)
  # Slow senders and many-range requests: time to be served, memory.
  add_executable(bench_web_bounds ${CMAKE_CURRENT_SOURCE_DIR}/web_bounds_bench.cpp)
  target_link_libraries(bench_web_bounds PRIVATE qorvel_web_ui qorvel_board_link qorvel_test_support)
endif()
