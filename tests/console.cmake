# Console tests: the built program driven through its standard streams.

# Starts the program on pipes in a scratch directory with a fake browser
# opener; any test group that runs the whole program can link it.
add_library(qorvel_program_driver STATIC ${CMAKE_CURRENT_SOURCE_DIR}/program_driver.cpp)
target_include_directories(qorvel_program_driver PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(qorvel_program_driver PRIVATE QORVEL_BINARY="$<TARGET_FILE:qorvel>")
target_link_libraries(qorvel_program_driver PUBLIC Threads::Threads)
add_dependencies(qorvel_program_driver qorvel)

qorvel_test(test_console_session
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_console_session.cpp
  LIBS qorvel_program_driver
  LABELS threads)

qorvel_test(test_console_browser
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_console_browser.cpp
  LIBS qorvel_program_driver
  LABELS threads)

# A connected board brings the web server up on port 8088.
qorvel_test(test_console_board
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_console_board.cpp
  LIBS qorvel_program_driver
  LABELS threads
  LOCK port8088)
