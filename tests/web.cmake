# Web UI tests: the GPIO API over loopback HTTP against the simulated board,
# the server loop and its supervisor, the program as a whole, and the start
# page in a headless browser. All of them use port 8088.

qorvel_test(test_gpio_api
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_gpio_api.cpp
  LIBS qorvel_web_ui qorvel_board_link
  LABELS threads
  LOCK port8088)

qorvel_test(test_web_server
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_web_server.cpp
  LIBS qorvel_web_ui qorvel_board_link
  LABELS threads
  LOCK port8088)

# Needs Debian's chromium package.
qorvel_test(test_start_page
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_start_page.cpp
  LIBS qorvel_web_ui qorvel_board_link
  LABELS threads
  LOCK port8088)

# The built program as a whole.
qorvel_test(test_web_program
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_web_program.cpp
  LIBS qorvel_program_driver qorvel_web_ui qorvel_board_link
  LABELS threads
  LOCK port8088)
