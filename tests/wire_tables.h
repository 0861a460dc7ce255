#pragma once
// Command words and the exact bytes each one puts on the wire, shared by the
// wire tests of both platforms.
#include <cstdint>

#include "sim_board.h"

namespace wire_tables {

// The single-byte server commands: word, the line said, the code sent.
struct Server_word {
    const char* word;
    const char* line;
    std::uint8_t code;
};

inline const Server_word server_words[] = {
    {"sta", "halcyr: Status", 0x40},
    {"status", "halcyr: Status", 0x40},
    {"rust", "halcyr: Run U-ST User scheduled tasks", 0x20},
    {"runust", "halcyr: Run U-ST User scheduled tasks", 0x20},
    {"sust", "halcyr: Stop U-ST User scheduled tasks", 0x10},
    {"stopust", "halcyr: Stop U-ST User scheduled tasks", 0x10},
    {"clr", "halcyr: Clear Fault and Warning words", 0x08},
    {"clear", "halcyr: Clear Fault and Warning words", 0x08},
    {"sys", "halcyr: Server systat readback and reset", 0x04},
    {"systat", "halcyr: Server systat readback and reset", 0x04},
    {"rkst", "halcyr: Run K-ST Kernel scheduled tasks", 0x02},
    {"runkst", "halcyr: Run K-ST Kernel scheduled tasks", 0x02},
    {"skst", "halcyr: Stop K-ST Kernel scheduled tasks", 0x01},
    {"stopkst", "halcyr: Stop K-ST Kernel scheduled tasks", 0x01},
};

// "run" and "stop": two exchanges, the line after both.
struct Server_pair_word {
    const char* word;
    const char* line;
    std::uint8_t first_code;
    std::uint8_t second_code;
};

inline const Server_pair_word server_pair_words[] = {
    {"run", "halcyr: Run U-ST User + Kernel scheduled tasks", 0x20, 0x02},
    {"stop", "halcyr: Stop U-ST User + Kernel scheduled tasks", 0x10, 0x01},
};

// Words that go out as one framed instruction.
struct Framed_word {
    const char* word;
    Bytes bytes;
};

inline const Framed_word gpio_words[] = {
    {"g2wd1", {0xA4, 0x82, 0x81, 0xFE}},
    {"g2co", {0x81, 0x82, 0xFE}},
    {"g12cod", {0x88, 0x8C, 0xFE}},
    {"g0ci", {0x80, 0x80, 0xFE}},
    {"g1ra", {0xA0, 0x81, 0xFE}},
    {"g3cr", {0x87, 0x83, 0xFE}},
    {"g4cpu", {0x89, 0x84, 0xFE}},
    {"g1rd", {0x98, 0x81, 0xFE}},
    {"g63rd", {0x98, 0xBF, 0xFE}},
    {"g2wd63", {0xA4, 0x82, 0xBF, 0xFE}},
    {"g002rd", {0x98, 0x82, 0xFE}},
    {"g0000000002rd", {0x98, 0x82, 0xFE}},
    {"g2wd1x", {0xA4, 0x82, 0x81, 0xFE}},
};

inline const Framed_word info_and_mcu_words[] = {
    {"ihwmcu", {0xE0, 0xFD}},   {"iping", {0xE1, 0xFE}},     {"irtcrd", {0xE2, 0xFE}},
    {"irtcwr", {0xE3, 0xFE}},   {"irtcdevrd", {0xE4, 0xFE}}, {"irtcdevwr", {0xE5, 0xFE}},
    {"ibatt", {0xE6, 0xFE}},    {"isup", {0xE7, 0xFE}},      {"icons", {0xE8, 0xFE}},
    {"csleep", {0xF0, 0xFE}},   {"cwake", {0xF1, 0xFE}},
};

// GPIO words that send nothing, and what the encoder prints itself before
// the dispatcher's "Not able to decode." report.
struct Unsent_gpio_word {
    const char* word;
    const char* before_report;
};

inline const Unsent_gpio_word unsent_gpio_words[] = {
    {"g8ca", "Not implemented\n"}, {"gca", ""},    {"g2wp", "Not implemented\n"},
    {"gwp", ""},                   {"g2cpd", "Not implemented\n"},
    {"g2cpp", "Not implemented\n"}, {"g2rd16", "Not implemented\n"},
    {"g", "Nop\n"},                {"g2", "Nop\n"}, {"g2xyz", "Nop\n"},
    {"g2rdx", "Nop\n"},            {"g1a2rd", "Nop\n"}, {"gxyz", "Nop\n"},
    {"g2wd", ""},                  {"g2wdx", ""},   {"gwd1", ""},
    {"g2wdp", ""},                 {"gco", ""},     {"grd", ""},
    {"g2wd-1", ""},
    {"g64rd", "Number out of range: 64\n"},
    {"g2wd64", "Number out of range: 64\n"},
    {"g65wd1", "Number out of range: 65\n"},
    {"g2147483648rd", "Number out of range: 2147483648\n"},
    {"g2wd99999999999", "Number out of range: 99999999999\n"},
    {"g\xb5" "2rd", "Nop\n"},
};

// Words of no family, or unknown to their family: nothing goes out and the
// report is all that is printed.
inline const char* const unsent_words[] = {
    "ihwmcux", "ihw", "iping2", "i", "csleep2", "cstop", "mhead", "m",
    "exit", "e", "quit", "qq", "http_run", "STA", "xyz", "c",
};

}  // namespace wire_tables
