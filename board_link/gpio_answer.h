#pragma once
// The size of the board's answer to a GPIO instruction, by its operation
// word: what the console's decoder checks every GPIO answer against, and what
// the web UI's GPIO routes take as the board's answer. One definition, so the
// console and the API never judge the same answer differently.
//
//   modes "ci", "co", "ca", "cp"   3 bytes: opcode, pin, end
//   digital read "rd"              4 bytes: opcode, pin, value, end
//   analog read "ra"               5 bytes: opcode, pin, low, high, end
//   write "wd" + value, "wp"...    4 bytes: opcode, pin, value, end
//
// The operation word is what follows "g" and the pin digits. The modes and
// reads need the whole word ("rd8" and "cod" are other words); a write needs
// only its first two letters, since its value follows them. Any other word
// has no size: the decoder does not know its answer, and any answer is all
// that can be asked of the board.
#include <cstddef>
#include <optional>
#include <string_view>

inline std::optional<std::size_t> gpio_answer_size(std::string_view operation)
{
    if (operation == "ci" || operation == "co" || operation == "ca" || operation == "cp") return 3;
    if (operation == "rd") return 4;
    if (operation == "ra") return 5;
    if (operation.starts_with("wd") || operation.starts_with("wp")) return 4;
    return std::nullopt;
}
