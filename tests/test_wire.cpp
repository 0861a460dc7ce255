// Command words to the exact bytes on the wire, against the simulated board.
#include "board_test_support.h"

#include <thread>

namespace {

struct Sent {
    std::string out;
    Server_response answer;
    std::vector<Bytes> instructions;
};

class Wire : public testing::Test {
protected:
    void SetUp() override {
        serial_connected = 1;
        Connected_board::sim().clear_received();
    }
    // Runs one word through the dispatcher and collects what went out.
    Sent run(const std::string& word) {
        Sent s;
        s.out = stdout_of([&] { s.answer = run_server_command(word); });
        s.instructions = Connected_board::sim().instructions();
        Connected_board::sim().clear_received();
        return s;
    }
};

TEST_F(Wire, ServerCommandsGoOutAsOneByte) {
    struct Row {
        const char* word;
        const char* line;
        std::uint8_t code;
    };
    const Row rows[] = {
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
    for (const Row& r : rows) {
        Sent s = run(r.word);
        EXPECT_EQ(s.out, std::string(r.line) + "\n") << r.word;
        ASSERT_EQ(s.instructions.size(), 1u) << r.word;
        EXPECT_EQ(s.instructions[0], Bytes{r.code}) << r.word;
        ASSERT_FALSE(s.answer.first.empty()) << r.word;
        EXPECT_EQ(static_cast<std::uint8_t>(s.answer.first[0]), r.code);
        EXPECT_EQ(s.answer.second, static_cast<int>(s.answer.first.size()));
    }
}

TEST_F(Wire, StatusAndSystatAnswersComeBackWhole) {
    Connected_board::sim().set_status(0x90, 0x11, 0x08);
    Sent s = run("sta");
    EXPECT_EQ(s.answer, answer_of({0x40, 0x90, 0x11, 0x08}));
    s = run("systat");
    EXPECT_EQ(s.answer.second, 12);
    EXPECT_EQ(s.answer.first.size(), 12u);
}

TEST_F(Wire, RunAndStopAreTwoExchangesWithTheLineAfterBoth) {
    Sent s = run("run");
    EXPECT_EQ(s.out, "halcyr: Run U-ST User + Kernel scheduled tasks\n");
    ASSERT_EQ(s.instructions.size(), 2u);
    EXPECT_EQ(s.instructions[0], Bytes{0x20});
    EXPECT_EQ(s.instructions[1], Bytes{0x02});
    EXPECT_EQ(s.answer, answer_of({0x02}));

    s = run("stop");
    EXPECT_EQ(s.out, "halcyr: Stop U-ST User + Kernel scheduled tasks\n");
    ASSERT_EQ(s.instructions.size(), 2u);
    EXPECT_EQ(s.instructions[0], Bytes{0x10});
    EXPECT_EQ(s.instructions[1], Bytes{0x01});
    EXPECT_EQ(s.answer, answer_of({0x01}));
}

TEST_F(Wire, GpioWordsToFramedInstructions) {
    struct Row {
        const char* word;
        Bytes bytes;
    };
    const Row rows[] = {
        {"g2wd1", {0xA4, 0x82, 0x81, 0xFE}},
        {"g2co", {0x81, 0x82, 0xFE}},
        {"g12cod", {0x88, 0x8C, 0xFE}},
        {"g0ci", {0x80, 0x80, 0xFE}},
        {"g1ra", {0xA0, 0x81, 0xFE}},
        {"g3cr", {0x87, 0x83, 0xFE}},
        {"g4cpu", {0x89, 0x84, 0xFE}},
        {"g1rd", {0x98, 0x81, 0xFE}},
        {"g65rd", {0x98, 0x81, 0xFE}},
        {"g64rd", {0x98, 0x80, 0xFE}},
        {"g2wd300", {0xA4, 0x82, 0xAC, 0xFE}},
        {"g2wd64", {0xA4, 0x82, 0x80, 0xFE}},
        {"g2147483647rd", {0x98, 0xBF, 0xFE}},
        {"g002rd", {0x98, 0x82, 0xFE}},
        {"g0000000002rd", {0x98, 0x82, 0xFE}},
        {"g2wd1x", {0xA4, 0x82, 0x81, 0xFE}},
    };
    for (const Row& r : rows) {
        Sent s = run(r.word);
        ASSERT_EQ(s.instructions.size(), 1u) << r.word;
        EXPECT_EQ(s.instructions[0], r.bytes) << r.word;
        EXPECT_FALSE(s.answer.first.empty()) << r.word;
        // The frame sender draws the prompt after the exchange.
        EXPECT_NE(s.out.find("\r["), std::string::npos) << r.word;
        EXPECT_EQ(s.out.find("Not able to decode."), std::string::npos) << r.word;
    }
}

TEST_F(Wire, GpioWordsThatSendNothing) {
    struct Row {
        const char* word;
        const char* before_report;  // what the encoder prints itself
    };
    const Row rows[] = {
        {"g8ca", "Not implemented\n"}, {"gca", ""},    {"g2wp", "Not implemented\n"},
        {"gwp", ""},                   {"g2cpd", "Not implemented\n"},
        {"g2cpp", "Not implemented\n"}, {"g2rd16", "Not implemented\n"},
        {"g", "Nop\n"},                {"g2", "Nop\n"}, {"g2xyz", "Nop\n"},
        {"g2rdx", "Nop\n"},            {"g1a2rd", "Nop\n"}, {"gxyz", "Nop\n"},
        {"g2wd", ""},                  {"g2wdx", ""},   {"gwd1", ""},
        {"g2wdp", ""},                 {"gco", ""},     {"grd", ""},
        {"g2wd-1", ""},
        {"g2147483648rd", "Number out of range: 2147483648\n"},
        {"g2wd99999999999", "Number out of range: 99999999999\n"},
        {"g\xb5" "2rd", "Nop\n"},
    };
    for (const Row& r : rows) {
        Sent s = run(r.word);
        EXPECT_TRUE(s.instructions.empty()) << r.word;
        EXPECT_EQ(s.answer, Server_response{}) << r.word;
        EXPECT_EQ(s.out.rfind(r.before_report, 0), 0u) << r.word << ": " << s.out;
        const auto lines = lines_of(s.out.substr(std::string(r.before_report).size()));
        ASSERT_EQ(lines.size(), 3u) << r.word << ": " << s.out;
        EXPECT_EQ(lines[0], "Not able to decode.");
        EXPECT_EQ(lines[1].rfind("Build: ", 0), 0u);
        EXPECT_NE(lines[2].find("qn_commands.cpp:"), std::string::npos);
    }
}

TEST_F(Wire, InformationAndMcuWords) {
    struct Row {
        const char* word;
        Bytes bytes;
    };
    const Row rows[] = {
        {"ihwmcu", {0xE0, 0xFD}},   {"iping", {0xE1, 0xFE}},     {"irtcrd", {0xE2, 0xFE}},
        {"irtcwr", {0xE3, 0xFE}},   {"irtcdevrd", {0xE4, 0xFE}}, {"irtcdevwr", {0xE5, 0xFE}},
        {"ibatt", {0xE6, 0xFE}},    {"isup", {0xE7, 0xFE}},      {"icons", {0xE8, 0xFE}},
        {"csleep", {0xF0, 0xFE}},   {"cwake", {0xF1, 0xFE}},
    };
    for (const Row& r : rows) {
        Sent s = run(r.word);
        ASSERT_EQ(s.instructions.size(), 1u) << r.word;
        EXPECT_EQ(s.instructions[0], r.bytes) << r.word;
    }
    Connected_board::sim().set_identity(0x30, 0x09);
    EXPECT_EQ(run("ihwmcu").answer, answer_of({0, 0, 0x30, 0x09}));
    Connected_board::sim().set_identity(0x06, 0x09);
}

TEST_F(Wire, WordsOfNoFamilyOrUnknownToTheirFamilySendNothing) {
    for (const char* word : {"ihwmcux", "ihw", "iping2", "i", "csleep2", "cstop", "mhead", "m",
                             "exit", "e", "quit", "qq", "http_run", "STA", "xyz", "c"}) {
        Sent s = run(word);
        EXPECT_TRUE(s.instructions.empty()) << word;
        const auto lines = lines_of(s.out);
        ASSERT_EQ(lines.size(), 3u) << word << ": " << s.out;
        EXPECT_EQ(lines[0], "Not able to decode.") << word;
    }
}

TEST_F(Wire, EmptyWordDoesNothingConnectedOrNot) {
    Sent s = run("");
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(s.answer, Server_response{});
    serial_connected = 0;
    s = run("");
    EXPECT_EQ(s.out, "");
}

TEST_F(Wire, LinkDownRefusesWithOneLine) {
    serial_connected = 0;
    for (const char* word : {"status", "g2wd1", "ihwmcu", "xyz"}) {
        Sent s = run(word);
        EXPECT_EQ(s.out, "Cannot run a server command while not connected.\n") << word;
        EXPECT_TRUE(s.instructions.empty());
        EXPECT_EQ(s.answer, Server_response{});
    }
}

TEST_F(Wire, UnknownServerCodeIsANop) {
    std::string out = stdout_of([] { EXPECT_EQ(transcode_server_command(3), Server_response{}); });
    EXPECT_EQ(out, "Halcyr Command Nop: 3\n");
    EXPECT_TRUE(Connected_board::sim().instructions().empty());
}

TEST_F(Wire, OversizedInstructionIsRefusedUnsent) {
    std::vector<std::uint8_t> huge(512, 0x81);
    std::string out = stdout_of([&] { EXPECT_EQ(send_instruction(huge), Server_response{}); });
    EXPECT_EQ(out, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(Connected_board::sim().received().empty());
    // 511 bytes still fit the buffer and go out whole.
    std::vector<std::uint8_t> largest(510, 0x81);
    largest.push_back(0xFE);
    stdout_of([&] { send_instruction(largest); });
    EXPECT_EQ(Connected_board::sim().received().size(), 511u);
}

TEST_F(Wire, ZeroByteInsideAnInstructionEndsWhatIsWritten) {
    stdout_of([] { send_instruction({0x98, 0x81, 0x00, 0xFE}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Connected_board::sim().received(), (Bytes{0x98, 0x81}));
}

TEST_F(Wire, AnswerBytesStayAsTheyCame) {
    Connected_board::sim().script({0xFF, 0x00, 0x80, 0x7F});
    Sent s = run("g1rd");
    ASSERT_EQ(s.answer.first.size(), 4u);
    EXPECT_EQ(s.answer.first[0], static_cast<char>(-1));
    EXPECT_EQ(s.answer.first[1], 0);
    EXPECT_EQ(s.answer.first[2], static_cast<char>(-128));
    EXPECT_EQ(s.answer.second, 4);
}

// Silence costs the whole read time-out; these two cases are worth it once.
TEST_F(Wire, SilentBoardGivesTheEmptyAnswer) {
    Connected_board::sim().script({});  // nothing for the framed instruction
    Sent s = run("g1rd");
    EXPECT_EQ(s.answer, Server_response{});
    EXPECT_NE(s.out.find("\r["), std::string::npos) << "prompt after an unanswered frame";
    EXPECT_NE(s.out.find("Not able to decode."), std::string::npos);

    // "run" answered only to its first code returns the empty second answer.
    Connected_board::sim().script({0x20});
    Connected_board::sim().script({});
    s = run("run");
    EXPECT_EQ(s.answer, Server_response{});
    const auto lines = lines_of(s.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "halcyr: Run U-ST User + Kernel scheduled tasks");
    EXPECT_EQ(lines[1], "Not able to decode.");
}

TEST_F(Wire, ConcurrentExchangesKeepTheirOwnAnswers) {
    // Every thread reads its own pin; the board answers with the pin's own
    // value, so a crossed answer shows as a wrong value.
    for (int pin = 0; pin < 8; ++pin) Connected_board::sim().set_digital(pin, static_cast<std::uint8_t>(10 + pin));
    std::atomic<int> wrong{0}, done{0};
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 12; ++i) {
                Server_response r = run_server_command("g" + std::to_string(t) + "rd");
                if (r.first.size() != 4 || r.first[2] != 10 + t ||
                    static_cast<std::uint8_t>(r.first[1]) != (0x80 | t))
                    ++wrong;
                ++done;
            }
        });
    }
    for (auto& th : threads) th.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(done, 96);
    EXPECT_EQ(wrong, 0);
    Connected_board::sim().clear_received();
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new Connected_board);
    return RUN_ALL_TESTS();
}
