// The GPIO HTTP API: each request becomes the same GPIO command word an
// operator would type ("g5rd", "g2wd1", "g2co") and goes to the board through
// the console's own road, run_server_command, one exchange per request.
#include <climits>
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "board_link/qn_commands.h"
#include "web_server.h"

using json = nlohmann::json;

namespace {

constexpr const char* json_type = "application/json";

constexpr int first_pin = 0;
constexpr int last_pin = 63;

bool valid_pin(int pin) { return pin >= first_pin && pin <= last_pin; }

// Leading zeros of the path ("007") never reach the board. A digit run
// beyond int throws out of the handler; the library answers that with its
// own 500.
int path_pin(const httplib::Request& req) { return std::stoi(req.matches[1].str(), nullptr, 10); }

void answer(httplib::Response& res, int status, const json& body)
{
    res.status = status;
    res.set_content(body.dump(), json_type);
}

void answer_ok(httplib::Response& res, const json& body) { res.set_content(body.dump(), json_type); }

// The digital value is the board's byte 2 as a signed number: 0xFF reads -1.
int digital_value(const std::vector<char>& answer)
{
    return answer.size() >= 3 ? static_cast<std::int8_t>(answer[2]) : 0;
}

// The analog value is unsigned 16 bits, low byte first, in bytes 2 and 3.
int analog_value(const std::vector<char>& answer)
{
    if (answer.size() < 4) return 0;
    return static_cast<unsigned char>(answer[2]) + 256 * static_cast<unsigned char>(answer[3]);
}

// Both reads: "g" + pin + operation to the board, the value from its answer
// (0 when the answer is too short or the link is down).
void handle_gpio_read(const httplib::Request& req, httplib::Response& res, const char* operation,
                      int (*value_of)(const std::vector<char>&))
{
    int pin = path_pin(req);
    if (!valid_pin(pin)) {
        answer(res, 400, json{{"error", "Invalid pin"}});
        return;
    }
    std::string mcu_pin_adr = std::to_string(pin);
    std::string qvl_serial_write = "g" + mcu_pin_adr + operation;

    Server_response server_response = run_server_command(qvl_serial_write);
    int pin_value = value_of(server_response.first);
    answer_ok(res, json{{"pin", pin}, {"value", pin_value}});
}

// The written value as an int: integers as they are, fractions cut toward
// zero, true 1, false 0. A number that an int cannot hold is a bad body: the
// JSON library would wrap it, or for a large fraction have undefined results,
// and the board would get a value nobody asked for.
int value_as_int(const json& value)
{
    if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT_MAX))
            throw std::out_of_range("value does not fit an int");
    } else if (value.is_number_integer()) {
        auto n = value.get<std::int64_t>();
        if (n < INT_MIN || n > INT_MAX) throw std::out_of_range("value does not fit an int");
    } else if (value.is_number_float()) {
        double d = value.get<double>();
        if (!(d > static_cast<double>(INT_MIN) - 1.0 && d < static_cast<double>(INT_MAX) + 1.0))
            throw std::out_of_range("value does not fit an int");
    }
    return value.get<int>();
}

struct Pin_mode {
    const char* mode;    // as the page sends it, compared byte for byte
    const char* suffix;  // the console's mode letters after "c"
    bool ok_body;        // {"status":"ok"}, or an empty answer
};

constexpr Pin_mode pin_modes[] = {
    {"input", "i", true},      {"output", "o", true},    {"opendrain", "od", false},
    {"pullup", "pu", false},   {"pulldown", "pd", false}, {"pushpull", "pp", false},
};

const Pin_mode* find_mode(const std::string& mode)
{
    for (const auto& m : pin_modes)
        if (mode == m.mode) return &m;
    return nullptr;
}

// Cross-site defence. A page on any other site that the operator's browser
// opens may send a "simple" POST to localhost, and a DNS-rebinding page may
// read answers under its own host name. Browsers always send the Host they
// aimed at, and an Origin on every cross-site POST; tools without a browser
// send our own Host and no Origin, so they pass.
bool is_own_host(std::string host)
{
    for (auto& c : host)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const char* name : {"localhost", "127.0.0.1", "[::1]"}) {
        std::string n = name;
        if (host == n || host == n + ":8088") return true;
    }
    return false;
}

bool is_own_origin(const std::string& origin)
{
    return origin == "http://localhost:8088" || origin == "http://127.0.0.1:8088" ||
           origin == "http://[::1]:8088";
}

}  // namespace

httplib::Server::HandlerResponse refuse_cross_site_request(const httplib::Request& req,
                                                           httplib::Response& res)
{
    bool foreign_host = !req.has_header("Host") || !is_own_host(req.get_header_value("Host"));
    bool foreign_origin = req.method == "POST" && req.has_header("Origin") &&
                          !is_own_origin(req.get_header_value("Origin"));
    if (!foreign_host && !foreign_origin) return httplib::Server::HandlerResponse::Unhandled;
    answer(res, 403, json{{"error", "Forbidden"}});
    return httplib::Server::HandlerResponse::Handled;
}

void handle_gpio_read_digital(const httplib::Request& req, httplib::Response& res)
{
    handle_gpio_read(req, res, "rd", digital_value);
}

void handle_gpio_read_analog(const httplib::Request& req, httplib::Response& res)
{
    handle_gpio_read(req, res, "ra", analog_value);
}

void handle_gpio_write_digital(const httplib::Request& req, httplib::Response& res)
{
    int pin = path_pin(req);
    try {
        json j_data = json::parse(req.body);
        int value = value_as_int(j_data["value"]);
        if (!valid_pin(pin)) {
            answer(res, 400, json{{"error", "Invalid pin"}});
            return;
        }
        answer_ok(res, json{{"status", "ok"}});
        std::cout << "Pin Update: " << pin << std::endl;

        std::string mcu_pin_adr = std::to_string(pin);
        std::string mcu_pin_val = std::to_string(value);
        std::string qvl_serial_write = "g" + mcu_pin_adr + "wd" + mcu_pin_val;
        run_server_command(qvl_serial_write);
    } catch (...) {
        answer(res, 500, json{{"error", "Bad request"}});
    }
}

void handle_gpio_config(const httplib::Request& req, httplib::Response& res)
{
    int pin = path_pin(req);
    try {
        json j_data = json::parse(req.body);
        std::string mode = j_data["mode"].get<std::string>();
        const Pin_mode* pin_mode = find_mode(mode);
        if (!valid_pin(pin) || pin_mode == nullptr) {
            answer(res, 400, json{{"error", "Invalid pin or mode"}});
            return;
        }
        std::string mcu_pin_adr = std::to_string(pin);
        std::string mcu_pin_mode = pin_mode->suffix;
        std::string qvl_serial_write = "g" + mcu_pin_adr + "c" + mcu_pin_mode;
        run_server_command(qvl_serial_write);
        // The modes beyond input and output answer 200 with no body at all.
        if (pin_mode->ok_body) answer_ok(res, json{{"status", "ok"}});
    } catch (...) {
        answer(res, 500, json{{"error", "Bad request"}});
    }
}
