#include "halcyr_transcoder.h"

#include <cstring>
#include <optional>

#include "case_report.h"
#include "init_order.h"
#include "qn_commands.h"
#include "word_parts.h"

Serial_win serial_link QORVEL_INIT_ORDER(QORVEL_INIT_SERIAL_LINK);

std::mutex& link_mutex() {
    static std::mutex m;
    return m;
}

// ---------------------------------------------------------------------------
// Senders: the only places that write to the board and read its answer.
// The link has one receive buffer, so a write and the read of its answer are
// one exchange, held apart from every other thread's exchange.

namespace {

thread_local const std::atomic<bool>* exchanges_called_off = nullptr;

// How many threads wait to take the link ahead of the exchanges.
std::atomic<int> link_wanted_ahead{0};

// One exchange under the link's lock. Bytes that came in after an earlier
// exchange gave up waiting (a late answer) are dropped before the write, so
// they are never read as this instruction's answer.
Server_response exchange(const char* cs) {
    std::lock_guard<std::mutex> lock(link_mutex());
    // A caller may wait here for another thread's exchange. Nothing goes out
    // when its work was called off meanwhile (its web server is stopping),
    // when the link itself is wanted ("di", "co", the program's end), when
    // the link was closed while it waited, or once the program is ending.
    if ((exchanges_called_off != nullptr && *exchanges_called_off) || link_wanted_ahead > 0 ||
        serial_link.get_connection_state().state != 1 || quitting()) {
        record_exchange_outcome(Exchange_outcome::called_off);
        return {};
    }
    serial_link.discard_input();
    const bool written = serial_link.write(cs) == std::strlen(cs);
    Server_response server_response = serial_link.read();
    if (!written || serial_link.read_failed())
        record_exchange_outcome(Exchange_outcome::link_failed);
    else if (server_response.first.empty())
        record_exchange_outcome(Exchange_outcome::no_answer);
    else
        record_exchange_outcome(Exchange_outcome::answered);
    return server_response;
}

}  // namespace

void call_off_exchanges_when(const std::atomic<bool>* flag) { exchanges_called_off = flag; }

// The lock is not fair: a thread that only waited for it would wait behind
// every exchange that queues meanwhile, and those would still reach the
// board after a "di". While one waits here, each queued exchange that takes
// the lock gives it up at once, unsent.
std::unique_lock<std::mutex> take_link_ahead_of_exchanges() {
    ++link_wanted_ahead;
    std::unique_lock<std::mutex> lock(link_mutex());
    --link_wanted_ahead;
    return lock;
}

Server_response transcode_server_command(int code) {
    switch (code) {
    case 0x40: case 0x20: case 0x10: case 0x08: case 0x04: case 0x02: case 0x01:
        return send_server_byte(static_cast<char>(code));
    default:
        record_exchange_outcome(Exchange_outcome::nothing_sent);
        print_line("Halcyr Command Nop: " + std::to_string(code));
        return {};
    }
}

Server_response send_server_byte(char code) {
    const char cs[2] = {code, 0};
    return exchange(cs);
}

Server_response send_instruction(std::vector<std::uint8_t> vi) {
    char cs[512];
    // The buffer always keeps its terminating zero: a longer instruction
    // would not fit, and none is ever built, so it is refused unsent.
    if (vi.size() >= sizeof cs) {
        record_exchange_outcome(Exchange_outcome::nothing_sent);
        return {};
    }
    std::memset(cs, 0, sizeof cs);
    std::memcpy(cs, vi.data(), vi.size());
    Server_response server_response = exchange(cs);
    print_return_and_prompt();
    return server_response;
}

// ---------------------------------------------------------------------------
// GPIO encoder: g<pin digits><operation>[<value digits>]

namespace {

// Pin numbers and written values travel in one operand byte each: six bits
// under bit 7, 0 to 63. A larger number would reach the board as another pin
// or value, so it is refused and nothing is sent.
constexpr int largest_operand = 63;

std::uint8_t operand(int n) { return static_cast<std::uint8_t>(0x80 | n); }

// A run of decimal digits as an operand; nothing, after saying so, when it is
// above 63. Leading zeros do not count.
std::optional<int> operand_or_say(const std::string& digits) {
    int n = 0;
    for (char c : digits) {
        n = n * 10 + (c - '0');
        if (n > largest_operand) {
            print_line("Number out of range: " + digits);
            return std::nullopt;
        }
    }
    return n;
}

enum class Gpio_action { send, not_implemented, write };

struct Gpio_row {
    const char* instruction;
    Gpio_action action;
    std::uint8_t opcode;
};

// Tried in this order; every row but the write is a whole-word match.
constexpr Gpio_row gpio_rows[] = {
    {"ci", Gpio_action::send, 0x80},
    {"co", Gpio_action::send, 0x81},
    {"ca", Gpio_action::not_implemented, 0},
    {"cp", Gpio_action::not_implemented, 0},
    {"cr", Gpio_action::send, 0x87},
    {"cod", Gpio_action::send, 0x88},
    {"cpu", Gpio_action::send, 0x89},
    {"cpd", Gpio_action::not_implemented, 0},
    {"cpp", Gpio_action::not_implemented, 0},
    {"cslow", Gpio_action::not_implemented, 0},
    {"cmedi", Gpio_action::not_implemented, 0},
    {"cfast", Gpio_action::not_implemented, 0},
    {"rd", Gpio_action::send, 0x98},
    {"rd8", Gpio_action::not_implemented, 0},
    {"rd16", Gpio_action::not_implemented, 0},
    {"rd32", Gpio_action::not_implemented, 0},
    {"ra", Gpio_action::send, 0xA0},
    {"wd", Gpio_action::write, 0xA4},
    {"wp", Gpio_action::not_implemented, 0},
};

const Gpio_row* find_gpio_row(const std::string& instruction) {
    for (const auto& row : gpio_rows) {
        if (row.action == Gpio_action::write) {
            if (instruction.compare(0, 2, "wd") == 0) return &row;
        } else if (instruction == row.instruction) {
            return &row;
        }
    }
    return nullptr;
}

Server_response send_fixed(std::uint8_t opcode, std::uint8_t terminator = 0xFE) {
    std::vector<std::uint8_t> vi{opcode, terminator};
    return send_instruction(vi);
}

}  // namespace

Server_response transcode_gpio(std::string command) {
    Server_response server_response{};
    if (command.empty()) {
        report_error("Error, no string in.", __FILE__, __LINE__);
        return server_response;
    }
    if (command[0] != 'g') {
        print_line("Nop: " + command);
        return server_response;
    }

    const std::string rest = command.substr(1);
    const std::string dig = leading_digits(rest);
    const std::string instruction = rest.substr(dig.size());

    const Gpio_row* row = find_gpio_row(instruction);
    if (row == nullptr) {
        print_line("Nop");
        return server_response;
    }

    switch (row->action) {
    case Gpio_action::not_implemented:
        if (!dig.empty()) print_line("Not implemented");
        return server_response;

    case Gpio_action::send: {
        if (dig.empty()) return server_response;
        auto pin = operand_or_say(dig);
        if (!pin) return server_response;
        std::vector<std::uint8_t> vi{row->opcode, operand(*pin), 0xFE};
        return send_instruction(vi);
    }

    case Gpio_action::write: {
        const std::string wd_string_value = instruction.substr(2);
        if (dig.empty() || wd_string_value.empty()) return server_response;
        const std::string wd_dig_val = leading_digits(wd_string_value);
        if (wd_dig_val.empty()) return server_response;
        auto pin = operand_or_say(dig);
        if (!pin) return server_response;
        auto value = operand_or_say(wd_dig_val);
        if (!value) return server_response;
        std::vector<std::uint8_t> vi{row->opcode, operand(*pin), operand(*value), 0xFE};
        return send_instruction(vi);
    }
    }
    return server_response;
}

// ---------------------------------------------------------------------------
// Information, MCU, frame and extended families: whole-word tables.

Server_response transcode_info(std::string command) {
    const std::string instruction = command;
    // The identification is the one instruction that ends in 0xFD.
    if (instruction == "ihwmcu") return send_fixed(0xE0, 0xFD);
    static constexpr struct {
        const char* word;
        std::uint8_t opcode;
    } rows[] = {
        {"iping", 0xE1},     {"irtcrd", 0xE2}, {"irtcwr", 0xE3}, {"irtcdevrd", 0xE4},
        {"irtcdevwr", 0xE5}, {"ibatt", 0xE6},  {"isup", 0xE7},   {"icons", 0xE8},
    };
    for (const auto& row : rows)
        if (instruction == row.word) return send_fixed(row.opcode);
    return {};
}

Server_response transcode_mcu(std::string command) {
    const std::string instruction = command;
    if (instruction == "csleep") return send_fixed(0xF0);
    if (instruction == "cwake") return send_fixed(0xF1);
    return {};
}

Server_response transcode_frame(std::string command) {
    // Opcode 0xF8 is kept for "mhead"; no frame goes out yet.
    (void)command;
    return {};
}

Server_response transcode_extended(std::string command) {
    // The extended family has no instructions yet.
    (void)command;
    return {};
}
