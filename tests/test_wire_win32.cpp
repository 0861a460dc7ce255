// Command words to the exact bytes on the wire, in the Windows build and
// through its Win32 serial calls. scripts/windows-test points COM3 at the
// simulated board on the Linux side (sim_board_serve --echo), which answers
// every instruction with exactly the bytes it received for it: each answer
// read here is what went out. A word that sends nothing is followed by a
// known one, whose answer would carry any stray byte.
#include "board_test_support.h"
#include "wire_tables.h"

namespace {

using namespace wire_tables;

constexpr const char* board_port = "COM3";

// `serial_link` open on COM3 and the link flagged up, as after "co com3".
// Opening costs one draining read, so it is done once for the program.
class Com3_board : public testing::Environment {
public:
    void SetUp() override
    {
        const std::string said = stdout_of([] {
            std::lock_guard<std::mutex> lock(link_mutex());
            serial_link.open(board_port);
        });
        ASSERT_EQ(serial_link.get_connection_state().state, 1)
            << "COM3 does not open; it is the echoing board of scripts/windows-test:\n"
            << said;
        serial_connected = 1;
        ui_mode = 0;
    }
    void TearDown() override
    {
        stdout_of([] {
            std::lock_guard<std::mutex> lock(link_mutex());
            serial_link.close();
        });
        serial_connected = 0;
    }
};

struct Sent {
    std::string out;
    Server_response answer;
};

Server_response echo_of(const Bytes& bytes)
{
    Server_response r;
    r.first.assign(bytes.begin(), bytes.end());
    r.second = static_cast<int>(r.first.size());
    return r;
}

class Wire_win32 : public testing::Test {
protected:
    void SetUp() override { serial_connected = 1; }

    static Sent run(const std::string& word)
    {
        Sent s;
        s.out = stdout_of([&] { s.answer = run_server_command(word); });
        return s;
    }

    // A known word's echo is its own bytes and nothing more: what went before
    // left no byte on the line.
    static void expect_line_clean(const std::string& after)
    {
        EXPECT_EQ(run("iping").answer, echo_of({0xE1, 0xFE})) << "after \"" << after << "\"";
    }

    static void expect_decode_report(const std::string& text, const std::string& word)
    {
        const auto lines = lines_of(text);
        ASSERT_EQ(lines.size(), 3u) << word << ": " << text;
        EXPECT_EQ(lines[0], "Not able to decode.") << word;
        EXPECT_EQ(lines[1].rfind("Build: ", 0), 0u) << word;
        EXPECT_NE(lines[2].find("qn_commands.cpp:"), std::string::npos) << word;
    }
};

TEST_F(Wire_win32, ServerWordsGoOutAsTheirOneByte)
{
    for (const Server_word& r : server_words) {
        Sent s = run(r.word);
        EXPECT_EQ(s.out, std::string(r.line) + "\n") << r.word;
        EXPECT_EQ(s.answer, echo_of({r.code})) << r.word;
    }
}

TEST_F(Wire_win32, RunAndStopAnswerTheSecondCodeWithTheLineAfterBoth)
{
    for (const Server_pair_word& r : server_pair_words) {
        Sent s = run(r.word);
        EXPECT_EQ(s.out, std::string(r.line) + "\n") << r.word;
        // The first exchange took its own echo: nothing of it is left over.
        EXPECT_EQ(s.answer, echo_of({r.second_code})) << r.word;
    }
    expect_line_clean("stop");
}

TEST_F(Wire_win32, GpioWordsGoOutAsTheirFrames)
{
    for (const Framed_word& r : gpio_words) {
        Sent s = run(r.word);
        EXPECT_EQ(s.answer, echo_of(r.bytes)) << r.word;
        // The frame sender draws the prompt after the exchange.
        EXPECT_NE(s.out.find("\r["), std::string::npos) << r.word;
        EXPECT_EQ(s.out.find("Not able to decode."), std::string::npos) << r.word;
    }
}

TEST_F(Wire_win32, InformationAndMcuWordsGoOutAsTheirFrames)
{
    for (const Framed_word& r : info_and_mcu_words) {
        EXPECT_EQ(run(r.word).answer, echo_of(r.bytes)) << r.word;
    }
}

TEST_F(Wire_win32, GpioWordsThatSendNothing)
{
    for (const Unsent_gpio_word& r : unsent_gpio_words) {
        Sent s = run(r.word);
        EXPECT_EQ(s.answer, Server_response{}) << r.word;
        EXPECT_EQ(s.out.rfind(r.before_report, 0), 0u) << r.word << ": " << s.out;
        expect_decode_report(s.out.substr(std::string(r.before_report).size()), r.word);
        expect_line_clean(r.word);
    }
}

TEST_F(Wire_win32, WordsOfNoFamilyOrUnknownToTheirFamilySendNothing)
{
    for (const char* word : unsent_words) {
        Sent s = run(word);
        EXPECT_EQ(s.answer, Server_response{}) << word;
        expect_decode_report(s.out, word);
        expect_line_clean(word);
    }
}

TEST_F(Wire_win32, EmptyWordDoesNothing)
{
    Sent s = run("");
    EXPECT_EQ(s.out, "");
    EXPECT_EQ(s.answer, Server_response{});
    expect_line_clean("the empty word");
}

TEST_F(Wire_win32, UnknownServerCodeIsANop)
{
    const std::string out = stdout_of([] { EXPECT_EQ(transcode_server_command(3), Server_response{}); });
    EXPECT_EQ(out, "Halcyr Command Nop: 3\n");
    expect_line_clean("code 3");
}

TEST_F(Wire_win32, LinkDownRefusesWithOneLine)
{
    serial_connected = 0;
    for (const char* word : {"status", "run", "g2wd1", "ihwmcu", "xyz"}) {
        Sent s = run(word);
        EXPECT_EQ(s.out, "Cannot run a server command while not connected.\n") << word;
        EXPECT_EQ(s.answer, Server_response{}) << word;
    }
    serial_connected = 1;
    expect_line_clean("the refusals");
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new Com3_board);
    return RUN_ALL_TESTS();
}
