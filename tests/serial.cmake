# Serial link tests: the POSIX platform layer and Serial_win, on real
# pseudo-terminals.
qorvel_test(test_serial_platform SOURCES test_serial_platform.cpp LIBS qorvel_board_link LABELS threads)
qorvel_test(test_serial_link SOURCES test_serial_link.cpp LIBS qorvel_board_link LABELS threads)
