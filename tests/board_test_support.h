#pragma once
// Helpers shared by the board-link tests: captured console output and a
// simulated board that the process-wide serial link is connected to.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board_link/class_halcyr_server.h"
#include "board_link/halcyr_transcoder.h"
#include "board_link/qn_commands.h"
#include "sim_board.h"

// Everything `action` prints on standard output.
inline std::string stdout_of(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

inline Server_response answer_of(std::initializer_list<int> bytes) {
    Server_response r;
    for (int b : bytes) r.first.push_back(static_cast<char>(b));
    r.second = static_cast<int>(r.first.size());
    return r;
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

inline std::size_t occurrences(const std::string& text, const std::string& piece) {
    std::size_t n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

// One simulated board per test program, with `serial_link` open on it and
// the link flagged up, as after a successful "co". Opening costs one
// draining read of the silent line (about 2 s), so it is done once.
class Connected_board : public testing::Environment {
public:
    static Sim_board& sim() { return *holder(); }

    void SetUp() override {
        holder() = std::make_unique<Sim_board>();
        testing::internal::CaptureStdout();
        {
            std::lock_guard<std::mutex> lock(link_mutex());
            serial_link.open(holder()->device_path());
        }
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(serial_link.get_connection_state().state, 1);
        serial_connected = 1;
        ui_mode = 0;
    }
    void TearDown() override {
        testing::internal::CaptureStdout();
        {
            std::lock_guard<std::mutex> lock(link_mutex());
            serial_link.close();
        }
        testing::internal::GetCapturedStdout();
        serial_connected = 0;
        holder().reset();
    }

private:
    // A function-local holder, so that programs that include this header
    // without connecting a board (the Windows build has no pseudo-terminals)
    // do not need the simulated board's code.
    static std::unique_ptr<Sim_board>& holder() {
        static std::unique_ptr<Sim_board> sim;
        return sim;
    }
};
