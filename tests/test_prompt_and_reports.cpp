// The prompt in every mode, the Client-mode words, case conversion and the
// error reporter. No board is connected here.
#include "board_test_support.h"

#include <cctype>
#include <chrono>
#include <iostream>
#include <set>
#include <thread>

#include "board_link/case_report.h"

namespace {

std::string prompt() { return stdout_of([] { print_prompt(); }); }

class Prompt : public testing::Test {
protected:
    void SetUp() override {
        serial_connected = 0;
        ui_mode = 1;
        board.set_names("-", "-");
    }
    void TearDown() override {
        serial_connected = 0;
        ui_mode = 1;
        board.set_names("-", "-");
    }
};

TEST_F(Prompt, EveryModeAndTheCounter) {
    prompt_counter = 0;
    EXPECT_EQ(prompt(), "[Disconnected] [local] [Client] [0] > ");
    EXPECT_EQ(prompt(), "[Disconnected] [local] [Client] [1] > ");
    ui_mode = 0;
    EXPECT_EQ(prompt(), "[Disconnected] [-:-] [Server] [2] > ");
    board.set_names("Arduino", "Uno_R4_Minima");
    EXPECT_EQ(prompt(), "[Disconnected] [Arduino:Uno_R4_Minima] [Server] [3] > ");
    ui_mode = 2;
    EXPECT_EQ(prompt(), "[Disconnected][] [4] > ");
}

TEST_F(Prompt, CounterWrapsAfterItsLargestValue) {
    prompt_counter = 4294967295u;
    EXPECT_EQ(prompt(), "[Disconnected] [local] [Client] [4294967295] > ");
    EXPECT_EQ(prompt(), "[Disconnected] [local] [Client] [0] > ");
}

TEST_F(Prompt, PromptsFromManyThreadsNeverShareANumber) {
    prompt_counter = 1000;
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 250; ++i) print_prompt();
        });
    for (auto& th : threads) th.join();
    const std::string out = testing::internal::GetCapturedStdout();
    // Every prompt must come out whole: count them and collect their numbers.
    const std::string head = "[Disconnected] [local] [Client] [";
    std::set<unsigned> seen;
    std::size_t prompts = 0;
    for (std::size_t at = out.find(head); at != std::string::npos; at = out.find(head, at + 1)) {
        const std::size_t digits = at + head.size();
        const std::size_t close = out.find("] > ", digits);
        ASSERT_NE(close, std::string::npos);
        seen.insert(static_cast<unsigned>(std::stoul(out.substr(digits, close - digits))));
        ++prompts;
    }
    EXPECT_EQ(prompts, 2000u);
    EXPECT_EQ(out.size(), 2000 * (head.size() + 4 + std::string("] > ").size()));
    EXPECT_EQ(seen.size(), 2000u);
    EXPECT_EQ(*seen.begin(), 1000u);
    EXPECT_EQ(*seen.rbegin(), 2999u);
}

TEST(ClientWords, HttpRunAndStopAreSilentOthersNop) {
    http_stop_request = 0;
    EXPECT_EQ(stdout_of([] { handle_http_command("http_stop"); }), "");
    EXPECT_EQ(http_stop_request, 1);
    EXPECT_EQ(stdout_of([] { handle_http_command("http_run"); }), "");
    EXPECT_EQ(http_stop_request, 0);
    EXPECT_EQ(stdout_of([] { handle_http_command("sta"); }), "Nop\n");
    EXPECT_EQ(stdout_of([] { handle_http_command("HTTP_RUN"); }), "Nop\n");
    EXPECT_EQ(http_stop_request, 0);
}

TEST(CaseConversion, OnlyAsciiLettersChange) {
    EXPECT_EQ(to_lower("G2WD1"), "g2wd1");
    EXPECT_EQ(to_lower(""), "");
    EXPECT_EQ(to_upper("com3"), "COM3");
    EXPECT_EQ(to_lower("HTTP_RUN"), "http_run");
    EXPECT_EQ(to_lower("\xC9\xE9" "Ab"), "\xC9\xE9" "ab");
    EXPECT_EQ(to_upper("\xC9\xE9" "zZ/dev/pts/3"), "\xC9\xE9" "ZZ/DEV/PTS/3");
    std::string original = "MiXeD";
    EXPECT_EQ(to_lower(original), "mixed");
    EXPECT_EQ(original, "MiXeD");
}

TEST(ErrorReport, ThreeLinesWithStampAndPlace) {
    const std::string out = stdout_of([] { report_error("", "/src/unit.cpp", 183); });
    const auto lines = lines_of(out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "");
    // "Build: Mmm dd yyyy at hh:mm:ss", the day blank-padded.
    const std::string& stamp = lines[1];
    ASSERT_EQ(stamp.size(), std::string("Build: Dec  8 2026 at 20:38:49").size()) << stamp;
    EXPECT_EQ(stamp.substr(0, 7), "Build: ");
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(stamp[7])) && std::islower(static_cast<unsigned char>(stamp[8])));
    EXPECT_EQ(stamp.substr(18, 4), " at ") << stamp;
    EXPECT_EQ(stamp[24], ':');
    EXPECT_EQ(stamp[27], ':');
    EXPECT_EQ(lines[2], "File: /src/unit.cpp:183");
    EXPECT_EQ(stdout_of([] { report_error("Not able to decode.", "f", 7); }).rfind("Not able to decode.\n", 0), 0u);
}

// The transmission-error line shows its codes in hexadecimal while other
// threads print numbers through the same standard output (a web client's
// "Pin Update: " line, a prompt). For a fraction of a second one thread
// writes that line over and over and another writes a decimal number: no
// number may come out in hexadecimal, and no error line may be cut.
TEST(OutputFromThreads, TransmissionErrorKeepsItsNumberBaseToItself) {
    const std::string error_line =
        "Error on transmission. The Request was: status (0x40) but reaback from server was 0xffffff9a\n";
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    std::size_t errors = 0;
    std::size_t numbers = 0;
    testing::internal::CaptureStdout();
    std::thread error_writer([&] {
        while (std::chrono::steady_clock::now() < until) {
            print_transmission_error("status", 0x40, static_cast<signed char>(0x9A));
            ++errors;
        }
    });
    while (std::chrono::steady_clock::now() < until) {
        std::cout << 12345678 << '\n';  // 0xbc614e
        ++numbers;
    }
    error_writer.join();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(occurrences(out, "bc614e"), 0u);
    EXPECT_EQ(occurrences(out, "12345678"), numbers);
    EXPECT_EQ(occurrences(out, error_line), errors);
    EXPECT_GT(errors, 0u);
    EXPECT_GT(numbers, 0u);
}

}  // namespace
