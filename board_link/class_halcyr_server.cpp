#include "class_halcyr_server.h"

#include <bitset>
#include <optional>
#include <sstream>

#include "case_report.h"
#include "gpio_answer.h"
#include "init_order.h"
#include "shared_flags.h"
#include "word_parts.h"

// The one board model. It comes after the serial link and before the console
// word (init_order.h), and it prints nothing while it is built or torn down.
Server board QORVEL_INIT_ORDER(QORVEL_INIT_BOARD);

Server::Server() {
    hardware_name = "-";
    mcu_name = "-";
    hw_makers[0x06] = "Arduino";
    hw_makers[0x30] = "Microchip";
    microchip_mcus[0x09] = "PIC16F628";
    arduino_boards[0x09] = "Uno_R4_Minima";
}

Server::~Server() = default;

std::pair<std::string, std::string> Server::get_names() {
    std::lock_guard<std::mutex> lock(names_mutex);
    return {hardware_name, mcu_name};
}

void Server::set_names(std::string hardware, std::string mcu) {
    std::lock_guard<std::mutex> lock(names_mutex);
    hardware_name = std::move(hardware);
    mcu_name = std::move(mcu);
}

void print_transmission_error(std::string request, signed char expected, signed char received) {
    // Both codes widen as signed, on every host whatever its plain char: a
    // received byte 0x80..0xFF shows as ffffff80..ffffffff. The line has a
    // stream of its own, so the hexadecimal stays in it.
    std::ostringstream line;
    line << "Error on transmission. The Request was: " << request << " (0x" << std::hex
         << static_cast<int>(expected) << ")" << " but reaback from server was 0x" << static_cast<int>(received);
    print_line(line.str());
}

namespace {

void print_length_error(std::size_t size, int required) {
    print_line("Error response length: " + std::to_string(size) + " != " + std::to_string(required));
}

unsigned int ubyte(const std::vector<char>& bytes, std::size_t i) {
    return static_cast<unsigned char>(bytes[i]);
}

// Byte 0, the echoed code, is read signed: plain char is signed on some hosts
// and unsigned on others, and the transmission-error line must not differ.
signed char code_byte(const std::vector<char>& bytes) {
    return static_cast<signed char>(bytes[0]);
}

struct Bit_line {
    int bit;
    const char* when_set;
    const char* when_clear;
};

void print_word(const char* header, unsigned int value, std::initializer_list<Bit_line> lines) {
    print_line(header + std::bitset<8>(value).to_string());
    for (const auto& line : lines) print_line(((value >> line.bit) & 1u) ? line.when_set : line.when_clear);
}

void print_status(const std::vector<char>& a) {
    print_line("");
    print_word("bs_status: ", ubyte(a, 1),
               {{7, "b7 == 1 : A Fault for User space exists", "b7 == 0 : No Fault for User space"},
                {6, "b6 == 1 : An Alarm for User space exists", "b6 == 0 : No Alarm for User space"},
                {4, "b4 == 1 : U-ST (User Space scheduler) running",
                 "b4 == 0 : U-ST (User Space scheduler) stopped"},
                {3, "b3 == 1 : A Fault for Kernel exists", "b3 == 0 : No Fault for Kernel"},
                {2, "b2 == 1 : An Alarm for Kernel exists", "b2 == 0 : No Alarm for Kernel"},
                {0, "b0 == 1 : K-ST (Kernel Space scheduler) running",
                 "b0 == 0 : K-ST (Kernel Space scheduler) stopped"}});
    print_line("");
    print_word("bs_alarm: ", ubyte(a, 2),
               {{4, "b4 == 1 : U-ST (User Space) Stack load is high",
                 "b4 == 0 : U-ST (User Space) Stack load is good"},
                {0, "b0 == 1 : K-ST (Kernel Space) Stack load is high",
                 "b0 == 0 : K-ST (Kernel Space) Stack load is good"}});
    print_line("");
    print_word("bs_fault: ", ubyte(a, 3),
               {{4, "b4 == 1 : U-ST (User Space) stack full", "b4 == 0 : U-ST (User Space) stack good"},
                {3, "b3 == 1 : Wadtchdog timer triggered (RT overload) TODO",
                 "b3 == 0 : Wadtchdog timer good TODO"},
                {0, "b0 == 1 : K-ST (Kernel Space) stack Full",
                 "b0 == 0 : K-ST (Kernel Space) stack good"}});
}

void print_load(const char* label, std::uint32_t numerator, std::uint32_t denominator) {
    // Single precision, as the board's own tools show it, in the stream's
    // default notation (six significant digits).
    const float percent = static_cast<float>(numerator) / static_cast<float>(denominator) * 100.0f;
    std::ostringstream line;
    line << label << percent << " %" << " (" << numerator << " / " << denominator << ")";
    print_line(line.str());
}

void print_systat(const std::vector<char>& a) {
    std::uint32_t b[12] = {};
    for (std::size_t i = 1; i < 12; ++i) b[i] = ubyte(a, i);
    const std::uint32_t rt_period = b[5] - b[4];  // wraps when the period ends before it starts
    print_line("");
    print_line("Systats:");
    print_load("RT load min:           ", b[1], rt_period);
    print_load("RT load max:           ", b[2], rt_period);
    print_load("RT load avg:           ", b[3], rt_period);
    print_load("Kernel stack load min: ", b[6], b[10]);
    print_load("Kernel stack load max: ", b[7], b[10]);
    print_load("User stack load min:   ", b[8], b[11]);
    print_load("User stack load max:   ", b[9], b[11]);
}

// The acknowledgement of a single server command: one byte, its own code.
void check_ack(const std::vector<char>& a, const char* request, signed char code, const char* ok_line) {
    if (a.size() != 1) {
        print_length_error(a.size(), 1);
    } else if (code_byte(a) != code) {
        print_transmission_error(request, code, code_byte(a));
    } else {
        print_line(ok_line);
    }
}

void check_pair_ack(const std::vector<char>& a, const char* request, signed char first,
                    signed char second, signed char shown, const char* ok_line) {
    if (a.size() != 1) {
        print_length_error(a.size(), 1);
    } else if (code_byte(a) != first && code_byte(a) != second) {
        print_transmission_error(request, shown, code_byte(a));
    } else {
        print_line(ok_line);
    }
}

}  // namespace

void Server::decode_response(std::string command, Server_response response) {
    const std::vector<char>& a = response.first;
    if (a.empty()) return;
    if (serial_connected != 1) {
        print_line("Nop");
        return;
    }

    if (command == "sta" || command == "status") {
        // The code is tested first: a wrong echo is a transmission error
        // whatever the length.
        if (code_byte(a) != 0x40) {
            print_transmission_error("status", 0x40, code_byte(a));
        } else if (a.size() != 4) {
            print_length_error(a.size(), 4);
        } else {
            print_status(a);
        }
    } else if (command == "rust" || command == "runust") {
        check_ack(a, "runust", 0x20, "Server operation ok: runust");
    } else if (command == "sust" || command == "stopust") {
        check_ack(a, "stopust", 0x10, "Server operation ok: stopust");
    } else if (command == "clr" || command == "clear") {
        check_ack(a, "clear", 0x08, "Server operation ok: clear fault and alarm words");
    } else if (command == "sys" || command == "systat") {
        if (code_byte(a) != 0x04) {
            print_transmission_error("systat", 0x04, code_byte(a));
        } else if (a.size() != 12) {
            print_line("Error status response length: " + std::to_string(a.size()) + " != " + std::to_string(12));
        } else {
            print_systat(a);
        }
    } else if (command == "rkst" || command == "runkst") {
        check_ack(a, "runkst", 0x02, "Server operation ok: runkst");
    } else if (command == "skst" || command == "stopkst") {
        check_ack(a, "stopkst", 0x01, "Server operation ok: stopkst");
    } else if (command == "run") {
        // Either code of the pair acknowledges; the line shows both bits.
        check_pair_ack(a, "run", 0x20, 0x02, 0x22, "Server operation ok: run");
    } else if (command == "stop") {
        check_pair_ack(a, "stop", 0x10, 0x01, 0x11, "Server operation ok: stop");
    } else if (command == "ihwmcu") {
        if (a.size() != 4) {
            print_length_error(a.size(), 4);
            return;
        }
        const std::uint8_t maker = static_cast<std::uint8_t>(a[2]);
        const std::uint8_t device = static_cast<std::uint8_t>(a[3]);
        std::lock_guard<std::mutex> lock(names_mutex);
        hardware_name = hw_makers[maker];
        if (maker == 0x30)
            mcu_name = microchip_mcus[device];
        else if (maker == 0x06)
            mcu_name = arduino_boards[device];
    } else if (command[0] == 'g') {
        decode_gpio(command, response);
    } else {
        print_line("Unhandled Decoding: " + command);
        print_line("A response was received from server, but Server::decode_response:");
        print_line("does not know how to interpret it ...");
    }
}

// The answer to a GPIO word: its size decides between the pin's line and
// the length error; pins and written values are shown as typed.
void Server::decode_gpio(std::string command, Server_response response) {
    const std::vector<char>& a = response.first;
    const std::string rest = command.substr(1);
    const std::string dig = leading_digits(rest);
    const std::string instruction = rest.substr(dig.size());

    const std::optional<std::size_t> size = gpio_answer_size(instruction);
    if (!size) {
        const std::string err = "Unhandled command decoder: " + instruction;
        report_error(err, __FILE__, __LINE__);
        return;
    }
    if (a.size() != *size) {
        print_length_error(a.size(), static_cast<int>(*size));
        return;
    }

    static constexpr struct {
        const char* word;
        const char* what;
    } config_rows[] = {
        {"ci", " set as Digital Input."},
        {"co", " set as Digital Output."},
        {"ca", " set as Analog Input."},
        {"cp", " set as PWM Output."},
    };
    for (const auto& row : config_rows) {
        if (instruction == row.word) {
            print_line("Pin " + dig + row.what);
            return;
        }
    }

    if (instruction == "rd") {
        print_line("Pin " + dig + " value: " + std::to_string(ubyte(a, 2)));
    } else if (instruction == "ra") {
        print_line("Pin " + dig + " value: " + std::to_string(ubyte(a, 2) + 256 * ubyte(a, 3)));
    } else if (instruction.compare(0, 2, "wd") == 0) {
        const std::string wd_string_value = instruction.substr(2);
        if (dig.empty() || wd_string_value.empty()) return;
        const std::string wd_dig_val = leading_digits(wd_string_value);
        if (wd_dig_val.empty()) return;
        print_line("Pin " + dig + " value: " + wd_dig_val + " written on port.");
    }
    // "wp": an acknowledged write prints nothing.
}
