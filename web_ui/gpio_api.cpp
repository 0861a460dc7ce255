// The GPIO HTTP API: each request becomes the same GPIO command word an
// operator would type ("g5rd", "g2wd1", "g2co") and goes to the board through
// the console's own road, run_server_command, one exchange per request.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "board_link/case_report.h"
#include "board_link/gpio_answer.h"
#include "board_link/qn_commands.h"
#include "web_address.h"
#include "web_server.h"

using json = nlohmann::json;

namespace {

constexpr const char* json_type = "application/json";

constexpr int first_pin = 0;
constexpr int last_pin = 63;
constexpr int last_value = 63;

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

// Answers a request whose word did not get an answer from the board, and
// says so; false when the board answered. Every route needs the board's
// answer: a value, or the board's word that it took the instruction. A link
// that is down, hung up or unplugged is one case for the client: the board
// cannot be reached; so is a web server that stopped while the request
// waited for the link.
bool answer_failed_exchange(httplib::Response& res, const char* unsent_error)
{
    switch (last_exchange_outcome()) {
    case Exchange_outcome::answered:
        return false;
    case Exchange_outcome::no_answer:
        answer(res, 504, json{{"error", "No answer from board"}});
        return true;
    case Exchange_outcome::not_connected:
    case Exchange_outcome::link_failed:
    case Exchange_outcome::called_off:
        answer(res, 503, json{{"error", "Not connected"}});
        return true;
    case Exchange_outcome::nothing_sent:
        break;
    }
    // The board link has no instruction for the word.
    answer(res, 501, json{{"error", unsent_error}});
    return true;
}

void answer_bad_answer(httplib::Response& res) { answer(res, 502, json{{"error", "Bad answer from board"}}); }

// True when the board's answer to the operation word has the size that the
// console's decoder checks for; a word whose answer the decoder does not
// know (open drain, pull-up) takes any answer.
bool is_board_answer(const Server_response& response, const std::string& operation)
{
    const std::optional<std::size_t> size = gpio_answer_size(operation);
    return !size || response.first.size() == *size;
}

// The digital value is the board's byte 2 as a signed number: 0xFF reads -1.
int digital_value(const std::vector<char>& answer) { return static_cast<std::int8_t>(answer[2]); }

// The analog value is unsigned 16 bits, low byte first, in bytes 2 and 3.
int analog_value(const std::vector<char>& answer)
{
    return static_cast<unsigned char>(answer[2]) + 256 * static_cast<unsigned char>(answer[3]);
}

// Both reads: "g" + pin + operation to the board, the value from its answer.
// A value is given only from an answer that the console accepts too.
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
    if (answer_failed_exchange(res, "Not implemented")) return;
    if (!is_board_answer(server_response, operation)) {
        answer_bad_answer(res);
        return;
    }
    answer_ok(res, json{{"pin", pin}, {"value", value_of(server_response.first)}});
}

// The written value: numbers cut toward zero (1.9 is 1), true 1, false 0;
// nothing when that is not 0 to 63, which is all that a pin's operand can
// carry. Any other type throws: the body is no request at all.
std::optional<int> written_value(const json& value)
{
    if (!value.is_number()) return value.get<int>();
    const double cut = std::trunc(value.get<double>());
    if (cut < 0 || cut > last_value) return std::nullopt;
    return static_cast<int>(cut);
}

struct Pin_mode {
    const char* mode;    // as the page sends it, compared byte for byte
    const char* suffix;  // the console's mode letters after "c"
    bool ok_body;        // {"status":"ok"}, or an empty answer
};

constexpr Pin_mode pin_modes[] = {
    {"input", "i", true},
    {"output", "o", true},
    {"opendrain", "od", false},
    {"pullup", "pu", false},
    {"pulldown", "pd", false},
    {"pushpull", "pp", false},
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
    const std::string port = ":" + std::to_string(web_address::port);
    for (std::string_view name : web_address::loopback_names) {
        if (host == name || host == std::string(name) + port) return true;
    }
    return false;
}

bool is_own_origin(const std::string& origin)
{
    const std::string port = ":" + std::to_string(web_address::port);
    for (std::string_view name : web_address::loopback_names) {
        if (origin == "http://" + std::string(name) + port) return true;
    }
    return false;
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
        const std::optional<int> value = written_value(j_data["value"]);
        if (!valid_pin(pin)) {
            answer(res, 400, json{{"error", "Invalid pin"}});
            return;
        }
        if (!value) {
            answer(res, 400, json{{"error", "Invalid value"}});
            return;
        }
        print_line("Pin Update: " + std::to_string(pin));

        std::string mcu_pin_adr = std::to_string(pin);
        std::string mcu_pin_val = std::to_string(*value);
        std::string qvl_serial_write = "g" + mcu_pin_adr + "wd" + mcu_pin_val;
        const Server_response server_response = run_server_command(qvl_serial_write);
        // "ok" only when the board acknowledged the write as the console
        // expects it to.
        if (answer_failed_exchange(res, "Not implemented")) return;
        if (!is_board_answer(server_response, "wd" + mcu_pin_val)) {
            answer_bad_answer(res);
            return;
        }
        answer_ok(res, json{{"status", "ok"}});
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
        const Server_response server_response = run_server_command(qvl_serial_write);
        // A mode that the board link has no instruction for (pull-down,
        // push-pull) sends nothing: 501, not a success.
        if (answer_failed_exchange(res, "Mode not implemented")) return;
        if (!is_board_answer(server_response, "c" + mcu_pin_mode)) {
            answer_bad_answer(res);
            return;
        }
        // The modes beyond input and output answer 200 with no body at all.
        if (pin_mode->ok_body) answer_ok(res, json{{"status", "ok"}});
    } catch (...) {
        answer(res, 500, json{{"error", "Bad request"}});
    }
}
