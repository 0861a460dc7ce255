// Command words to the exact bytes on the wire, against the simulated board.
#include "board_test_support.h"
#include "wire_tables.h"

#include <unistd.h>

#include <fstream>
#include <thread>

namespace {

using namespace wire_tables;

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
    for (const Server_word& r : server_words) {
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
    for (const Server_pair_word& r : server_pair_words) {
        Sent s = run(r.word);
        EXPECT_EQ(s.out, std::string(r.line) + "\n");
        ASSERT_EQ(s.instructions.size(), 2u) << r.word;
        EXPECT_EQ(s.instructions[0], Bytes{r.first_code}) << r.word;
        EXPECT_EQ(s.instructions[1], Bytes{r.second_code}) << r.word;
        EXPECT_EQ(s.answer, answer_of({r.second_code})) << r.word;
    }
}

TEST_F(Wire, GpioWordsToFramedInstructions) {
    for (const Framed_word& r : gpio_words) {
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
    for (const Unsent_gpio_word& r : unsent_gpio_words) {
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
    for (const Framed_word& r : info_and_mcu_words) {
        Sent s = run(r.word);
        ASSERT_EQ(s.instructions.size(), 1u) << r.word;
        EXPECT_EQ(s.instructions[0], r.bytes) << r.word;
    }
    Connected_board::sim().set_identity(0x30, 0x09);
    EXPECT_EQ(run("ihwmcu").answer, answer_of({0, 0, 0x30, 0x09}));
    Connected_board::sim().set_identity(0x06, 0x09);
}

TEST_F(Wire, WordsOfNoFamilyOrUnknownToTheirFamilySendNothing) {
    for (const char* word : unsent_words) {
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
    // 511 bytes still fit the buffer and go out whole. Its answer has come
    // back, so the board has every byte that went out before it: had any of
    // the refused one gone out, the line would hold more.
    std::vector<std::uint8_t> largest(510, 0x81);
    largest.push_back(0xFE);
    Server_response answer;
    stdout_of([&] { answer = send_instruction(largest); });
    EXPECT_FALSE(answer.first.empty());
    EXPECT_EQ(Connected_board::sim().received(), largest);
}

TEST_F(Wire, ZeroByteInsideAnInstructionEndsWhatIsWritten) {
    stdout_of([] { send_instruction({0x98, 0x81, 0x00, 0xFE}); });
    // A lone terminator completes the cut instruction at the board; once it
    // is answered, everything written before it is there, and the 0x00 and
    // 0xFE of the first must not be.
    Server_response answer;
    stdout_of([&] { answer = send_instruction({0xFE}); });
    EXPECT_FALSE(answer.first.empty());
    EXPECT_EQ(Connected_board::sim().received(), (Bytes{0x98, 0x81, 0xFE}));
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

// An answer that comes after its exchange gave up waiting is still on the
// line when the next instruction goes out; it must not be read as that
// instruction's answer.
TEST_F(Wire, LateAnswerIsNotTakenForTheNextInstructions) {
    Sim_board& sim = Connected_board::sim();
    sim.set_digital(6, 0);
    sim.set_digital(5, 1);
    sim.set_answer_delay(std::chrono::milliseconds(2300));
    Server_response late;
    stdout_of([&] { late = run_server_command("g6rd"); });
    sim.set_answer_delay(std::chrono::milliseconds(0));
    EXPECT_EQ(late, Server_response{});
    // The board records an instruction once its answer is on the line.
    ASSERT_TRUE(sim.wait_for_instructions(1));

    EXPECT_EQ(run("g5rd").answer, answer_of({0x98, 0x85, 0x01, 0xFE}));
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

// The scheduling state of one of this process's threads, from /proc: 'S'
// while it sleeps, as on a lock that another thread holds.
char thread_state(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto name_end = stat.rfind(") ");
    return name_end == std::string::npos || name_end + 2 >= stat.size() ? '?' : stat[name_end + 2];
}

// "di" closes the link while an exchange waits for it (the link's lock is
// not fair, so "di" may get it first): the exchange that then takes the
// link finds it closed and sends nothing, as one called off, with no failed
// write or read on standard error and nothing to decode.
TEST_F(Wire, ExchangeThatWaitedWhileTheLinkClosedIsCalledOff) {
    Sim_board& sim = Connected_board::sim();
    std::atomic<pid_t> waiter{0};
    Server_response answer = answer_of({1});
    Exchange_outcome outcome = Exchange_outcome::answered;
    bool waited = false;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::thread exchange;
    {
        auto lock = take_link_ahead_of_exchanges();
        exchange = std::thread([&] {
            waiter = ::gettid();
            answer = run_server_command("sta");
            outcome = last_exchange_outcome();
        });
        // The word has passed the link's flag and sleeps on the lock.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!(waited = waiter != 0 && thread_state(waiter) == 'S') && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        serial_link.close();
    }
    exchange.join();
    const std::string errors = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    stdout_of([&] {
        std::lock_guard<std::mutex> lock(link_mutex());
        serial_link.open(sim.device_path());
    });
    ASSERT_EQ(serial_link.get_connection_state().state, 1);

    EXPECT_TRUE(waited) << "the word did not wait for the link";
    EXPECT_EQ(outcome, Exchange_outcome::called_off);
    EXPECT_EQ(answer, Server_response{});
    EXPECT_EQ(errors, "");
    EXPECT_EQ(out.find("Not able to decode."), std::string::npos) << out;
    EXPECT_TRUE(sim.received().empty());
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new Connected_board);
    return RUN_ALL_TESTS();
}
