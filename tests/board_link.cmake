# Board link tests: words to wire bytes, answers to text, prompt, dispatcher.
qorvel_test(test_decoder SOURCES test_decoder.cpp LIBS qorvel_board_link)
qorvel_test(test_prompt_and_reports SOURCES test_prompt_and_reports.cpp LIBS qorvel_board_link LABELS threads)
qorvel_test(test_wire SOURCES test_wire.cpp LIBS qorvel_board_link LABELS threads)

# Builds and runs this group alone: what the board sends must print the same
# on hosts whose plain char is unsigned, so scripts/test-all runs it once more
# in a build with -funsigned-char.
add_custom_target(check_board_link
  COMMAND test_decoder
  COMMAND test_prompt_and_reports
  COMMAND test_wire
  USES_TERMINAL)
