#pragma once
// The answer to one exchange with the board.
//
// `first` holds the answer's bytes exactly as read (plain, signed char: a
// byte 0xFF reads as -1 until a reader says otherwise), `second` the count
// that the read reported. The empty value {no bytes, 0} means that nothing
// was sent, that nothing came back, or that the read failed.
#include <utility>
#include <vector>

using Server_response = std::pair<std::vector<char>, int>;
