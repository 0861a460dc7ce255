# Board link tests: words to wire bytes, answers to text, prompt, dispatcher.
qorvel_test(test_decoder SOURCES test_decoder.cpp LIBS qorvel_board_link)
qorvel_test(test_prompt_and_reports SOURCES test_prompt_and_reports.cpp LIBS qorvel_board_link LABELS threads)
qorvel_test(test_wire SOURCES test_wire.cpp LIBS qorvel_board_link LABELS threads)
