#pragma once
// The answer to one exchange with the board.
//
// `first` holds the answer's bytes exactly as read, `second` the count that
// the read reported. Plain char is signed on some hosts and unsigned on
// others, so every reader takes a byte explicitly as signed char or as
// unsigned char, never as plain char. The empty value {no bytes, 0} means
// that nothing was sent, that nothing came back, or that the read failed.
#include <utility>
#include <vector>

using Server_response = std::pair<std::vector<char>, int>;
