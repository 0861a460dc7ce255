// The console as an operator meets it without a board: banner, prompts,
// modes, help pages, word handling, quitting and the end of input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "console_session.h"
#include "program_driver.h"

using namespace console_test;

namespace {

const std::string banner_body =
    "\n"
    "Console commands and help:\n"
    "  ? or h: help, command lists\n"
    "  co: connect.\n"
    "  qq or quit: exit.\n"
    "\n"
    "Connect to a Hardware listed below for example\n"
    "  > co COM3\n"
    "\n"
    "Discovered serial ports:\n";

const std::string not_connected = "Cannot run a server command while not connected.\n";

// The build stamp the banner shows, in the compiler's forms, e.g.
// "Dec  4 2025 19:40:09"; empty when the banner shows none such.
std::string build_stamp(const std::string& startup)
{
    const std::string label = "\n  Build ";
    const std::size_t at = startup.find(label);
    if (at == std::string::npos) {
        return {};
    }
    const std::string stamp = startup.substr(at + label.size(), 20);
    const std::string shape = "Aaa 00 0000 00:00:00";  // A upper, a lower, 0 digit
    if (stamp.size() != shape.size() || startup.compare(at + label.size() + 20, 1, "\n") != 0) {
        return {};
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(stamp[i]);
        const bool fits = shape[i] == 'A'   ? std::isupper(c)
                          : shape[i] == 'a' ? std::islower(c)
                          : shape[i] == '0' ? std::isdigit(c) || (i == 4 && c == ' ')
                                            : c == static_cast<unsigned char>(shape[i]);
        if (!fits) {
            return {};
        }
    }
    return stamp;
}

class Console_session : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(shows(program, client_prompt(0), &startup)); }

    // Types one line and returns what came up to the given prompt.
    std::string answer(const std::string& line, const std::string& until)
    {
        program.send_line(line);
        std::string taken;
        EXPECT_TRUE(shows(program, until, &taken));
        return taken;
    }

    void quit_cleanly()
    {
        program.send_line("qq");
        EXPECT_EQ(program.wait_exit(), 0) << program.err();
    }

    Program_driver program;
    std::string startup;
};

TEST_F(Console_session, StartsWithBannerPortListAndFirstPrompt)
{
    // The serial link may speak before the banner (no port found).
    const std::size_t welcome = startup.find("Welcome to Micro Tarvenor ! \n  Version 1.1.0\n  Build ");
    ASSERT_NE(welcome, std::string::npos) << startup;
    const std::string before = startup.substr(0, welcome);
    EXPECT_TRUE(before.empty() || before == "No serial port in Vector.\n") << before;

    const std::string stamp = build_stamp(startup);
    ASSERT_FALSE(stamp.empty()) << startup;
    const std::size_t body = startup.find(banner_body);
    ASSERT_NE(body, std::string::npos) << startup;

    // Then one "  Port: " line per port, an empty line and the prompt.
    const std::string listing = startup.substr(body + banner_body.size());
    const auto lines = full_lines(listing);
    ASSERT_FALSE(lines.empty());
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("  Port: ", 0), 0u) << lines[i];
    }
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(listing.substr(listing.size() - client_prompt(0).size()), client_prompt(0));
    if (before == "No serial port in Vector.\n") {
        EXPECT_EQ(lines.size(), 1u);
    }

    // Nothing more until the operator types. No event marks a program that
    // stays silent; with no board and in Client mode only the web-server
    // loop runs on its own, and this window holds two of its passes (150 ms
    // each). The check after the quit covers the rest of the run.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // The stamp is the build's, not the run's.
    Program_driver second;
    std::string second_startup;
    ASSERT_TRUE(shows(second, client_prompt(0), &second_startup));
    EXPECT_EQ(build_stamp(second_startup), stamp);
    second.close_input();
    EXPECT_EQ(second.wait_exit(), 0) << second.err();

    // All the program printed after its first prompt is its answer to "qq".
    quit_cleanly();
    EXPECT_EQ(program.pending(), "Nop\n" + client_prompt(1));
}

TEST_F(Console_session, ModeWordsInAnyCaseSwitchModesAndPrompts)
{
    EXPECT_EQ(answer("s", server_prompt(1)), "Server Mode.\n" + server_prompt(1));
    EXPECT_EQ(answer("S:", server_prompt(2)), "Server Mode.\n" + server_prompt(2));
    EXPECT_EQ(answer("c", client_prompt(3)), "Client Mode.\n" + client_prompt(3));
    EXPECT_EQ(answer("cli", client_prompt(4)), "Client Mode.\n" + client_prompt(4));
    EXPECT_EQ(answer("SeR", server_prompt(5)), "Server Mode.\n" + server_prompt(5));
    EXPECT_EQ(answer("Client", client_prompt(6)), "Client Mode.\n" + client_prompt(6));
    EXPECT_EQ(answer("SERVER", server_prompt(7)), "Server Mode.\n" + server_prompt(7));
    EXPECT_EQ(answer("C:", client_prompt(8)), "Client Mode.\n" + client_prompt(8));
    quit_cleanly();
}

TEST_F(Console_session, HelpAndListPagesFollowTheMode)
{
    // Client mode: the general part and the Client page, 17 lines.
    auto lines = full_lines(answer("?", client_prompt(1)));
    ASSERT_EQ(lines.size(), 17u);
    EXPECT_EQ(lines.front(), "");
    EXPECT_EQ(lines[1], "Help");
    EXPECT_EQ(lines[5], "  qq, exit, quit: Close connection and quit application");
    EXPECT_EQ(lines[9], "  di: Disconnect from server");
    EXPECT_EQ(lines[11], "Terminal (client) commands");
    EXPECT_EQ(lines[14], "  http_run");
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(full_lines(answer("H", client_prompt(2))), lines);

    EXPECT_EQ(answer("l", client_prompt(3)), "\n" + client_prompt(3));
    EXPECT_EQ(answer("LS", client_prompt(4)), "\n" + client_prompt(4));

    // Server mode: the general part and the 57 lines of the Server page.
    answer("s", server_prompt(5));
    lines = full_lines(answer("h", server_prompt(6)));
    ASSERT_EQ(lines.size(), 67u);
    EXPECT_EQ(lines[9], "  di: Disconnect from server");
    EXPECT_EQ(lines[11], "Server (MCU board) commands");
    EXPECT_EQ(lines[15], "  run           Run all tasks");
    EXPECT_EQ(lines[22], "  sta, status:  Server status (Status, Alarm and Fault words)");
    EXPECT_EQ(lines[28], "  g[n]c[m]: GPIO n configuration where n is the GPIO number and m the mode");
    EXPECT_EQ(lines[44], "  g[n]wd[v]: write value v to GPIO n ");  // the blank at the end is kept
    EXPECT_EQ(lines[57], "                                  for User function [n] Parameter [m] Value [v]");
    EXPECT_EQ(lines[65], "  f1p1r           Reads value of parameter 1 in user function 1");
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(full_lines(answer("?", server_prompt(7))), lines);

    const std::string list = "\nsta clr sys run stop\nrust rkst sust skst\n";
    EXPECT_EQ(answer("l", server_prompt(8)), list + server_prompt(8));
    EXPECT_EQ(answer("ls", server_prompt(9)), list + server_prompt(9));
    quit_cleanly();
}

TEST_F(Console_session, SeveralWordsOnOneLineEachGetTheirPrompt)
{
    program.send_line("s  c\tls ?");
    std::string taken;
    ASSERT_TRUE(shows(program, client_prompt(4), &taken));
    EXPECT_EQ(taken.find("Server Mode.\n" + server_prompt(1) + "Client Mode.\n" + client_prompt(2) + "\n" +
                         client_prompt(3) + "\nHelp\n"),
              0u)
        << taken;

    // Blank lines and blanks alone produce no prompt and no answer.
    program.send("\n   \n\t\n");
    program.send_line("c");
    EXPECT_EQ(answer("", client_prompt(5)), "Client Mode.\n" + client_prompt(5));
    quit_cleanly();
}

TEST_F(Console_session, WordsGoWhereTheModeSendsThem)
{
    // Client mode knows only http_run and http_stop; board words get "Nop".
    EXPECT_EQ(answer("sta", client_prompt(1)), "Nop\n" + client_prompt(1));
    EXPECT_EQ(answer("G2WD1", client_prompt(2)), "Nop\n" + client_prompt(2));
    EXPECT_EQ(answer("http_stop", client_prompt(3)), client_prompt(3));
    EXPECT_EQ(answer("HTTP_RUN", client_prompt(4)), client_prompt(4));

    // Server mode without a link: every board word is refused, also those
    // that begin like a general command.
    answer("s", server_prompt(5));
    EXPECT_EQ(answer("sta", server_prompt(6)), not_connected + server_prompt(6));
    EXPECT_EQ(answer("CSLEEP", server_prompt(7)), not_connected + server_prompt(7));
    EXPECT_EQ(answer("g2co", server_prompt(8)), not_connected + server_prompt(8));
    quit_cleanly();
}

TEST_F(Console_session, DisconnectWithoutLinkReturnsToClientMode)
{
    answer("s", server_prompt(1));
    EXPECT_EQ(answer("di", client_prompt(2)), "Disconnect ...\nNot connected.\n" + client_prompt(2));
    EXPECT_EQ(answer("DI", client_prompt(3)), "Disconnect ...\nNot connected.\n" + client_prompt(3));
    quit_cleanly();
}

TEST_F(Console_session, QuitInClientModeIsHandledThenEndsTheProgram)
{
    program.send_line("QuIt");
    EXPECT_EQ(program.wait_exit(), 0) << program.err();
    EXPECT_EQ(program.pending(), "Nop\n" + client_prompt(1));
    EXPECT_EQ(program.err(), "");
}

TEST_F(Console_session, QuitInServerModeWithoutLinkIsRefusedThenEnds)
{
    answer("s", server_prompt(1));
    program.send_line("EXIT");
    EXPECT_EQ(program.wait_exit(), 0) << program.err();
    EXPECT_EQ(program.pending(), not_connected + server_prompt(2));
}

TEST_F(Console_session, WordsAfterTheQuitWordAreNotRead)
{
    program.send_line("c qq s");
    EXPECT_EQ(program.wait_exit(), 0) << program.err();
    EXPECT_EQ(program.pending(), "Client Mode.\n" + client_prompt(1) + "Nop\n" + client_prompt(2));
}

TEST_F(Console_session, EndOfInputEndsTheSessionWithoutAWord)
{
    program.send("c\ns");  // the last word has no line end
    program.close_input();
    EXPECT_EQ(program.wait_exit(), 0) << program.err();
    EXPECT_EQ(program.pending(), "Client Mode.\n" + client_prompt(1) + "Server Mode.\n" + server_prompt(2));
}

TEST_F(Console_session, ConnectToAPortThatCannotBeOpenedStillEntersServerMode)
{
    const std::string port = program.work_dir() + "/no-such-port";
    program.send_line("co " + port);
    std::string taken;
    ASSERT_TRUE(shows(program, server_prompt(1), &taken));
    EXPECT_EQ(taken.rfind("Connect ...\n", 0), 0u) << taken;
    const std::size_t question = taken.find("Connect to port (eg. COM1): \n");
    ASSERT_NE(question, std::string::npos) << taken;
    // The link's refusal, then the two identifications refused.
    const std::string after = taken.substr(question + 29);
    const auto lines = full_lines(after);
    ASSERT_GE(lines.size(), 3u) << after;
    EXPECT_EQ(lines[0], "Error: Cannot open " + program.work_dir() + "/NO-SUCH-PORT: No such file or directory");
    EXPECT_EQ(after.substr(after.size() - (2 * not_connected.size() + server_prompt(1).size())),
              not_connected + not_connected + server_prompt(1));

    // No link came up: "di" finds none.
    EXPECT_EQ(answer("di", client_prompt(2)), "Disconnect ...\nNot connected.\n" + client_prompt(2));
    quit_cleanly();
}

TEST_F(Console_session, ConnectWaitsForThePortNameOnTheNextLine)
{
    program.send_line("co");
    ASSERT_TRUE(shows(program, "Connect to port (eg. COM1): "));
    // The console waits for the name without a word: all that follows the
    // question is the refusal of the name given on the next line. A console
    // that went on without it would have refused another name, or none.
    program.send_line(program.work_dir() + "/absent");
    std::string taken;
    ASSERT_TRUE(shows(program, server_prompt(1), &taken));
    EXPECT_EQ(taken, "\nError: Cannot open " + program.work_dir() + "/ABSENT: No such file or directory\n" +
                         not_connected + not_connected + server_prompt(1));
    quit_cleanly();
}

TEST_F(Console_session, EndOfInputAtThePortQuestionOpensNothing)
{
    program.send_line("co");
    ASSERT_TRUE(shows(program, "Connect to port (eg. COM1): "));
    program.close_input();
    EXPECT_EQ(program.wait_exit(), 0) << program.err();
    EXPECT_EQ(program.pending(), "\n" + client_prompt(1));
    EXPECT_TRUE(program.browser_calls().empty());
}

termios settings_of(const std::string& terminal)
{
    termios t{};
    const int fd = ::open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << terminal;
    EXPECT_EQ(::tcgetattr(fd, &t), 0) << terminal;
    ::close(fd);
    return t;
}

// The terminal the program runs in, named at "co" by its own path or as
// /dev/tty, is no board: it is refused before anything on it changes, and
// the operator's keys still reach the console. Without a controlling
// terminal (started detached, its streams on a terminal) only the streams
// tell it which terminal is its own.
TEST(Console_terminal, OwnTerminalIsRefusedAndLeftAsItWas)
{
    for (const bool controlling : {true, false}) {
        SCOPED_TRACE(controlling ? "controlling terminal" : "no controlling terminal");
        Program_driver::Options on_terminal;
        on_terminal.on_terminal = true;
        on_terminal.controlling_terminal = controlling;
        Program_driver program(on_terminal);
        ASSERT_TRUE(shows(program, client_prompt(0)));
        const termios before = settings_of(program.terminal_path());

        std::vector<std::string> names = {program.terminal_path()};
        if (controlling) names.push_back("/dev/tty");
        unsigned n = 1;
        for (const std::string& name : names) {
            program.send_line("co " + name);
            std::string taken;
            ASSERT_TRUE(shows(program, server_prompt(n), &taken));
            EXPECT_NE(taken.find("\nError: Cannot open " + name + ": it is the terminal this program runs in\n" +
                                 not_connected + not_connected + server_prompt(n)),
                      std::string::npos)
                << taken;
            EXPECT_EQ(taken.find("Serial_win::clear()"), std::string::npos) << taken;
            ++n;
        }

        program.send_line("qq");
        EXPECT_EQ(program.wait_exit(), 0) << program.out();
        const termios after = settings_of(program.terminal_path());
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
        EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc), 0);
    }
}

}  // namespace
