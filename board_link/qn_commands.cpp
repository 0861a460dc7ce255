#include "qn_commands.h"


#include "case_report.h"
#include "class_halcyr_server.h"
#include "halcyr_transcoder.h"

std::atomic<int> ui_mode{1};
std::atomic<int> serial_connected{0};
std::atomic<int> http_stop_request{0};
std::atomic<unsigned int> prompt_counter{0};

namespace {

thread_local Exchange_outcome exchange_outcome = Exchange_outcome::nothing_sent;

// The single-byte server commands, tried in this order; the first row that
// names the word is taken.
struct Server_command_row {
    const char* word;
    const char* alias;
    const char* line;
    int code;
};

constexpr Server_command_row server_commands[] = {
    {"sta", "status", "halcyr: Status", 0x40},
    {"rust", "runust", "halcyr: Run U-ST User scheduled tasks", 0x20},
    {"sust", "stopust", "halcyr: Stop U-ST User scheduled tasks", 0x10},
    {"clr", "clear", "halcyr: Clear Fault and Warning words", 0x08},
    {"sys", "systat", "halcyr: Server systat readback and reset", 0x04},
    {"rkst", "runkst", "halcyr: Run K-ST Kernel scheduled tasks", 0x02},
    {"skst", "stopkst", "halcyr: Stop K-ST Kernel scheduled tasks", 0x01},
};

// "run" and "stop" are two exchanges each; their line follows both.
struct Server_pair_row {
    const char* word;
    const char* line;
    int first_code;
    int second_code;
};

constexpr Server_pair_row server_pairs[] = {
    {"run", "halcyr: Run U-ST User + Kernel scheduled tasks", 0x20, 0x02},
    {"stop", "halcyr: Stop U-ST User + Kernel scheduled tasks", 0x10, 0x01},
};

Server_response run_family(const std::string& command) {
    switch (command[0]) {
    case 'g': return transcode_gpio(command);
    case 'i': return transcode_info(command);
    case 'c': return transcode_mcu(command);
    case 'm': return transcode_frame(command);
    case 'e': return transcode_extended(command);
    default: return {};
    }
}

}  // namespace

Exchange_outcome last_exchange_outcome() { return exchange_outcome; }

void record_exchange_outcome(Exchange_outcome outcome) { exchange_outcome = outcome; }

Server_response run_server_command(std::string command) {
    Server_response server_response{};
    // Until a sender says otherwise, nothing went out for this word.
    record_exchange_outcome(Exchange_outcome::nothing_sent);
    if (command.empty()) return server_response;

    if (serial_connected != 1) {
        record_exchange_outcome(Exchange_outcome::not_connected);
        print_line("Cannot run a server command while not connected.");
        return server_response;
    }

    bool matched = false;
    for (const auto& row : server_commands) {
        if (command == row.word || command == row.alias) {
            print_line(row.line);
            server_response = transcode_server_command(row.code);
            matched = true;
            break;
        }
    }
    if (!matched) {
        for (const auto& row : server_pairs) {
            if (command == row.word) {
                server_response = transcode_server_command(row.first_code);
                server_response = transcode_server_command(row.second_code);
                print_line(row.line);
                matched = true;
                break;
            }
        }
    }
    if (!matched) server_response = run_family(command);

    // Work called off by a stop sent nothing and has nothing to decode.
    if (server_response.first.empty() && server_response.second == 0 &&
        last_exchange_outcome() != Exchange_outcome::called_off)
        report_error("Not able to decode.", __FILE__, __LINE__);
    return server_response;
}

void handle_http_command(std::string command) {
    if (command == "http_run") {
        http_stop_request = 0;
    } else if (command == "http_stop") {
        http_stop_request = 1;
    } else {
        print_line("Nop");
    }
}

namespace {

// The prompt's text; taking it advances the counter.
std::string next_prompt() {
    std::string prompt;
    if (serial_connected == 1)
        prompt = "[" + serial_link.get_port_name() + "]";
    else
        prompt = "[Disconnected]";

    const int mode = ui_mode;
    if (mode == 0) {
        auto [hardware, mcu] = board.get_names();
        prompt += " [" + hardware + ":" + mcu + "] " + "[Server]";
    } else if (mode == 1) {
        prompt += std::string(" ") + "[local]" + " " + "[Client]";
    } else {
        prompt += "[]";
    }

    const unsigned int count = prompt_counter.fetch_add(1);
    prompt += " [" + std::to_string(count) + "]" + " > ";
    return prompt;
}

}  // namespace

// Written at once, so a prompt drawn on a worker thread is not cut by
// another thread's line.
void print_prompt() { print_whole(next_prompt()); }

void print_return_and_prompt() { print_whole("\r" + next_prompt()); }
