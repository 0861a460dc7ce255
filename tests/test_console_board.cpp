// The console with the simulated board on a real pseudo-terminal: connect,
// identification, board words and their prompts, disconnect, quitting with
// a link up and the end of input.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <thread>

#include "console_session.h"
#include "raw_http.h"
#include "program_driver.h"
#include "sim_board.h"

using namespace console_test;

namespace {

const std::string not_connected = "Cannot run a server command while not connected.\n";
const std::string board_names = "Arduino:Uno_R4_Minima";
const Bytes identification = {0xE0, 0xFD};
const std::string web_start_line = "\n[Qorvel] Server running on http://localhost:8088\n";
const std::string web_quit_line = "\n[Qorvel] Webserver quit.\n";

std::string upper(std::string s)
{
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

bool ends_with(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::size_t count(const std::string& text, const std::string& piece)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++n;
    }
    return n;
}

class Console_board : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(shows(program, client_prompt(0))); }

    // Waits until the web server, which prints from its own thread, has
    // printed `line` (its start or quit line) and the output has come to
    // rest at a prompt after it; returns the next prompt number.
    unsigned after_web_line(const std::string& line)
    {
        std::string all;
        const bool rested = program.wait_output([&](const std::string& out) {
            all = out;
            return out.find(line) != std::string::npos && ends_with(out, "] > ");
        });
        EXPECT_TRUE(rested) << "waited for \"" << line << "\" and a prompt; output:\n" << all;
        program.take_pending();
        const std::size_t end = all.rfind("] > ");
        const std::size_t start = all.rfind('[', end);
        if (!rested || end == std::string::npos || start == std::string::npos) {
            return 0;
        }
        return static_cast<unsigned>(std::stoul(all.substr(start + 1, end - start - 1))) + 1;
    }
    unsigned web_started() { return after_web_line(web_start_line); }
    unsigned web_quit() { return after_web_line(web_quit_line); }

    // Connects to the simulated board and waits for Server mode.
    void connect()
    {
        program.send_line("co " + sim.device_path());
        ASSERT_TRUE(shows(program, "[" + port + "] [" + board_names + "] [Server] [")) << sim.device_path();
    }

    Sim_board sim;
    Program_driver program;
    const std::string port = upper(sim.device_path());
};

TEST_F(Console_board, ConnectOnOneLineIdentifiesTheBoard)
{
    // Capitals in the command word; the port name is upper-cased for the link.
    program.send_line("CO " + sim.device_path());
    std::string taken;
    ASSERT_TRUE(shows(program, "Connect ...\n"));
    ASSERT_TRUE(shows(program, "Connect to port (eg. COM1): \n", &taken));
    const auto lines = full_lines(taken);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("  Port: ", 0), 0u) << lines[i];
    }
    ASSERT_TRUE(shows(program, "Serial_win::clear() " + port + " port\n"));
    // Each identification is a framed exchange: its own prompt, still in
    // the mode from before "co".
    ASSERT_TRUE(shows(program, "\r[" + port + "]" + client_tail + " ["));
    ASSERT_TRUE(shows(program, "\r[" + port + "]" + client_tail + " ["));
    ASSERT_TRUE(shows(program, "[" + port + "] [" + board_names + "] [Server] ["));

    const auto sent = sim.instructions();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], identification);
    EXPECT_EQ(sent[1], identification);
    EXPECT_EQ(program.err(), "");

    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(), 0) << program.err();
}

TEST_F(Console_board, FramedCommandShowsTwoPromptsAndServerCommandOne)
{
    connect();
    unsigned n = web_started();
    sim.clear_received();

    const std::string link = "[" + port + "]";
    std::string taken;
    program.send_line("g2wd1");
    ASSERT_TRUE(shows(program, server_prompt(n + 1, link, board_names), &taken));
    EXPECT_EQ(taken, "\r" + server_prompt(n, link, board_names) + "Pin 2 value: 1 written on port.\n" +
                         server_prompt(n + 1, link, board_names));
    ASSERT_EQ(sim.instructions().size(), 1u);
    EXPECT_EQ(sim.instructions()[0], (Bytes{0xA4, 0x82, 0x81, 0xFE}));

    // A single-byte server command: its lines and the console's prompt only.
    program.send_line("STA");
    ASSERT_TRUE(shows(program, server_prompt(n + 2, link, board_names), &taken));
    EXPECT_EQ(taken.rfind("halcyr: Status\n", 0), 0u) << taken;
    EXPECT_EQ(count(taken, "] > "), 1u) << taken;
    EXPECT_EQ(sim.received(), (Bytes{0xA4, 0x82, 0x81, 0xFE, 0x40}));

    // A number too large for the board is answered, and the session goes on.
    program.send_line("g99999999999999rd");
    program.send_line("c");
    EXPECT_TRUE(shows(program, "Client Mode.\n"));
    EXPECT_EQ(sim.received().size(), 5u);

    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(), 0) << program.err();
}

TEST_F(Console_board, DisconnectClosesTheLinkAndForgetsTheBoard)
{
    connect();
    web_started();

    program.send_line("di");
    ASSERT_TRUE(shows(program, "Disconnect ...\nClosed " + port + " port\n"));
    ASSERT_TRUE(shows(program, disconnected + client_tail + " ["));
    const unsigned n = web_quit();

    program.send_line("s");
    EXPECT_TRUE(shows(program, "Server Mode.\n" + server_prompt(n)));
    program.send_line("sta");
    EXPECT_TRUE(shows(program, not_connected + server_prompt(n + 1)));
    program.send_line("di");
    EXPECT_TRUE(shows(program, "Disconnect ...\nNot connected.\n" + client_prompt(n + 2)));

    program.send_line("quit");
    EXPECT_EQ(program.wait_exit(), 0) << program.err();
    // The port was closed by "di"; the exit closes nothing more.
    EXPECT_EQ(count(program.out(), "Closed " + port + " port"), 1u);
}

TEST_F(Console_board, QuitWithLinkUpIsReportedAndTheExitClosesThePort)
{
    connect();
    const unsigned n = web_started();

    program.send_line("Quit");
    EXPECT_TRUE(shows(program, "Not able to decode.\n"));
    EXPECT_TRUE(shows(program, server_prompt(n, "[" + port + "]", board_names)));
    EXPECT_EQ(program.wait_exit(), 0) << program.err();
    EXPECT_EQ(sim.instructions().size(), 2u);  // the identifications only
    EXPECT_TRUE(ends_with(program.out(), "Closed " + port + " port\n")) << program.out();
}

TEST_F(Console_board, EndOfInputRunsTheWordsThenExitsClosingThePort)
{
    program.send("co " + sim.device_path() + "\nsta\n");
    program.close_input();
    EXPECT_EQ(program.wait_exit(), 0) << program.err();

    const std::string all = program.out();
    EXPECT_NE(all.find("halcyr: Status\n"), std::string::npos) << all;
    EXPECT_TRUE(ends_with(all, "Closed " + port + " port\n")) << all;
    EXPECT_EQ(count(all, "Closed "), 1u);
    EXPECT_EQ(sim.received().back(), 0x40);
}

TEST_F(Console_board, ConnectWhileConnectedMovesTheLinkToTheNamedPort)
{
    connect();
    web_started();

    // The same port again: the link stays up.
    program.send_line("co " + sim.device_path());
    ASSERT_TRUE(shows(program, "Serial_win::clear() " + port + " port\n"));
    EXPECT_TRUE(shows(program, "[" + port + "] [" + board_names + "] [Server] ["));

    // Another board: the old port is let go once the new one is ready.
    Sim_board other;
    other.set_identity(0x30, 0x09);
    const std::string other_port = upper(other.device_path());
    program.send_line("co " + other.device_path());
    ASSERT_TRUE(shows(program, "Closed " + port + " port\nSerial_win::clear() " + other_port + " port\n"));
    EXPECT_TRUE(shows(program, "[" + other_port + "] [Microchip:PIC16F628] [Server] ["));

    // ... and unlocked: it can be had again.
    program.send_line("co " + sim.device_path());
    ASSERT_TRUE(shows(program, "Closed " + other_port + " port\nSerial_win::clear() " + port + " port\n"));
    EXPECT_TRUE(shows(program, "[" + port + "] [" + board_names + "] [Server] ["));
    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(), 0) << program.err();
    EXPECT_TRUE(ends_with(program.out(), "Closed " + port + " port\n")) << program.out();
}

TEST_F(Console_board, SilentBoardLeavesTheNamesUnknown)
{
    sim.set_silent(true);
    program.send_line("co " + sim.device_path());
    std::string taken;
    ASSERT_TRUE(shows(program, "[" + port + "] [-:-] [Server] [", &taken, std::chrono::seconds(20)));
    EXPECT_EQ(count(taken, "Not able to decode.\n"), 2u) << taken;
    EXPECT_EQ(sim.instructions().size(), 2u);
    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(std::chrono::seconds(15)), 0);
}

TEST_F(Console_board, BoardHangingUpLeavesAConsoleThatAnswersAndQuits)
{
    connect();
    const unsigned n = web_started();
    const std::string link = "[" + port + "]";

    // The board's side of the line goes away mid-session (a cable pulled).
    sim.hang_up();

    // A board word fails at once, says so, and the prompt comes back.
    program.send_line("sta");
    std::string taken;
    ASSERT_TRUE(shows(program, server_prompt(n, link, board_names), &taken));
    EXPECT_EQ(taken.rfind("halcyr: Status\nNot able to decode.\n", 0), 0u) << taken;
    EXPECT_TRUE(program.wait_err("Error: Failed to write to COM port\n")) << program.err();
    EXPECT_TRUE(program.wait_err("Error: Failed to read from COM port\n")) << program.err();

    // Nothing keeps it busy with the dead line. Not spinning has no event to
    // wait for, so this watches a window with the console idle: a spinning
    // thread would take most of a core's time in it; the bound leaves room
    // for a loaded machine and the sanitizers.
    const double cpu_before = program.cpu_seconds();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(program.cpu_seconds() - cpu_before, 0.5);

    // The console's own words still work.
    program.send_line("c");
    EXPECT_TRUE(shows(program, "Client Mode.\n" + client_prompt(n + 1, link)));

    program.send_line("di");
    EXPECT_TRUE(shows(program, "Disconnect ...\nClosed " + port + " port\n"));
    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(), 0) << program.err();
}

// Whether the port at `path` is still held for one program alone: its
// exclusive mode is on (read back as root, whom it does not stop) or an open
// is refused as busy.
bool held_exclusively(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY;
    int exclusive = 0;
    const bool known = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    ::close(fd);
    return !known || exclusive != 0;
}

// Whether the process has ended: gone, or a zombie, whose descriptors the
// kernel has closed.
bool process_gone(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const std::size_t close = line.rfind(')');
    return close == std::string::npos || line.compare(close + 1, 3, " Z ") == 0;
}

// A program connected to the simulated board, whose web server is up, and
// an exchange that waits on the silent board: a typed word's, with more
// words queued behind it, or an HTTP request's.
struct Waiting_program {
    explicit Waiting_program(Program_driver::Options options = {}) : program(std::move(options)) {}
    ~Waiting_program()
    {
        if (request.joinable()) request.join();
    }

    void connect()
    {
        program.send_line("co " + sim.device_path());
        ASSERT_TRUE(shows(program, "[" + port + "] [" + board_names + "] [Server] ["));
        ASSERT_TRUE(program.wait_output([](const std::string& out) { return count(out, web_start_line) == 1; }));
        ASSERT_TRUE(held_exclusively(sim.device_path()));
        before = sim.instructions().size();
        sim.set_silent(true);
    }

    void connect_and_wait_on_the_board()
    {
        connect();
        if (::testing::Test::HasFatalFailure()) return;
        program.send_line("sta sta sta sta sta");
        ASSERT_TRUE(sim.wait_for_instructions(before + 1));
    }

    // A read from the web UI, under way at the board when this returns.
    void request_waits_on_the_board()
    {
        const std::size_t sent = sim.instructions().size();
        request = std::thread([] { web_test::raw_exchange("GET /api/gpio/grd/2 HTTP/1.1\r\nHost: localhost:8088\r\n\r\n"); });
        ASSERT_TRUE(sim.wait_for_instructions(sent + 1));
    }

    // Once the end has begun, the web server stops at once: it has no
    // request under way.
    ::testing::AssertionResult end_has_begun()
    {
        if (program.wait_output([](const std::string& out) { return count(out, web_quit_line) == 1; }))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no web server quit; output:\n" << program.out();
    }

    Sim_board sim;
    Program_driver program;
    const std::string port = upper(sim.device_path());
    std::size_t before = 0;
    std::thread request;
};

class Console_end : public ::testing::Test, protected Waiting_program {};

struct End_case {
    const char* how;
    std::vector<int> signals;  // each after the one before has begun the end
    int status;                // the signal the program ends with
    bool orderly;              // waited for the exchange under way, said "Closed"
};

// Ctrl-C, a closed terminal window and a termination request end the program
// as "qq" does: only the exchange under way is waited for, the port is
// released, and the shell sees the signal's status. A second Ctrl-C or
// termination request ends it at once, and a SIGHUP after the end began (a
// closed window sends two) changes nothing; the port is released every time.
TEST(Console_end_signals, EveryEndReleasesThePort)
{
    const End_case cases[] = {
        {"Ctrl-C", {SIGINT}, SIGINT, true},
        {"termination request", {SIGTERM}, SIGTERM, true},
        {"closed terminal", {SIGHUP}, SIGHUP, true},
        {"closed window: the shell's SIGHUP, then the kernel's", {SIGHUP, SIGHUP}, SIGHUP, true},
        {"termination request, then the window closed", {SIGTERM, SIGHUP}, SIGTERM, true},
        {"Ctrl-C twice", {SIGINT, SIGINT}, SIGINT, false},
        {"Ctrl-C, then a termination request", {SIGINT, SIGTERM}, SIGTERM, false},
    };
    for (const End_case& c : cases) {
        SCOPED_TRACE(c.how);
        Waiting_program run;
        run.connect_and_wait_on_the_board();
        if (::testing::Test::HasFatalFailure()) return;
        Program_driver& program = run.program;

        const auto sent = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < c.signals.size(); ++i) {
            if (i > 0) {
                ASSERT_TRUE(run.end_has_begun());
            }
            ASSERT_EQ(::kill(program.pid(), c.signals[i]), 0);
        }
        const auto code = program.wait_exit(std::chrono::seconds(20));
        const auto took = std::chrono::steady_clock::now() - sent;
        ASSERT_TRUE(code.has_value()) << "the program did not end";
        EXPECT_EQ(*code, -c.status) << program.err();
        // About 2.2 s at most; the bound allows for a busy machine, and an
        // end that waited for the queued words would take over 8 s.
        EXPECT_LT(took, std::chrono::seconds(5));
        EXPECT_EQ(run.sim.instructions().size(), run.before + 1) << "instructions went out after the signal";
        EXPECT_FALSE(held_exclusively(run.sim.device_path()));
        EXPECT_EQ(count(program.out(), "Closed " + run.port + " port\n"), c.orderly ? 1u : 0u) << program.out();
    }
}

// The window closed under an interactive shell: the shell passes its
// SIGHUP on to the program, and the kernel sends its own as the shell
// exits. The port is released all the same.
TEST(Console_end_signals, ClosedWindowUnderAShellReleasesThePort)
{
    Program_driver::Options options;
    options.binary = "/bin/bash";
    options.arguments = {"--norc", "--noprofile", "-i"};
    options.on_terminal = true;
    Waiting_program run(options);
    Program_driver& shell = run.program;
    shell.send_line(std::string("'") + QORVEL_BINARY + "'");
    ASSERT_TRUE(shows(shell, client_prompt(0)));
    const auto children = shell.children();
    ASSERT_EQ(children.size(), 1u) << "the shell runs the program and nothing else";
    const pid_t qorvel = children.front();
    run.connect_and_wait_on_the_board();
    if (::testing::Test::HasFatalFailure()) return;

    shell.hang_up();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!process_gone(qorvel) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(process_gone(qorvel)) << "the program outlived its window";
    EXPECT_FALSE(held_exclusively(run.sim.device_path()));
    EXPECT_EQ(run.sim.instructions().size(), run.before + 1) << "instructions went out after the window closed";
}

// A console that takes no output (a paused pager, a pipe nobody reads) does
// not keep the port when the end comes, nor the program running.
TEST(Console_end_signals, OutputNobodyReadsDoesNotKeepThePort)
{
    Sim_board sim;
    Program_driver::Options options;
    options.output_unread = true;
    Program_driver program(options);
    program.send_line("co " + sim.device_path());
    ASSERT_TRUE(sim.wait_for_instructions(2)) << "the board was not identified";
    // The help's text, over and over, until the pipe is full and the
    // console waits for it to drain.
    for (int i = 0; i < 60; ++i) program.send_line("h");
    const auto filling = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (program.unread_output() < 60 * 1024 && std::chrono::steady_clock::now() < filling)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(program.unread_output(), 60 * 1024u) << "the output did not fill up";
    ASSERT_TRUE(held_exclusively(sim.device_path()));

    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(program.pid(), SIGTERM), 0);
    const auto code = program.wait_exit(std::chrono::seconds(20));
    const auto took = std::chrono::steady_clock::now() - sent;
    ASSERT_TRUE(code.has_value()) << "the program did not end while its output stood still";
    EXPECT_EQ(*code, -SIGTERM);
    // About 1 s; the bound allows for a busy machine.
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_FALSE(held_exclusively(sim.device_path()));
}

// A signal that the program was started with ignored (nohup, a background
// job) stays ignored: the program goes on and quits as asked.
TEST(Console_end_signals, SignalIgnoredAtStartStaysIgnored)
{
    Program_driver::Options options;
    options.ignored_signals = {SIGHUP};
    Program_driver program(options);
    ASSERT_TRUE(shows(program, client_prompt(0)));
    std::ifstream status("/proc/" + std::to_string(program.pid()) + "/status");
    unsigned long long ignored = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigIgn:", 0) == 0) ignored = std::stoull(line.substr(7), nullptr, 16);
    EXPECT_NE(ignored & (1ull << (SIGHUP - 1)), 0u) << "SIGHUP is no longer ignored";
    ASSERT_EQ(::kill(program.pid(), SIGHUP), 0);
    program.send_line("c");
    EXPECT_TRUE(shows(program, "Client Mode.\n" + client_prompt(1)));
    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(), 0) << "the ignored signal ended the program";
}

// Once the end has begun, what the console reads is not acted on: a port
// named afterwards is never opened (an open raises DTR, which resets many
// boards), and a "di" that finishes afterwards brings no mode back.
TEST_F(Console_end, WhatTheConsoleReadsAfterTheEndBeganIsNotActedOn)
{
    Sim_board second;
    connect();
    program.send_line("co");
    ASSERT_TRUE(shows(program, "Connect to port (eg. COM1): "));
    request_waits_on_the_board();
    ASSERT_EQ(::kill(program.pid(), SIGTERM), 0);
    // The web server stops listening at once; the end still waits for the
    // exchange under way, and the console is at its read meanwhile.
    const auto stopping = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int fd; (fd = web_test::connect_loopback()) >= 0 && std::chrono::steady_clock::now() < stopping;) {
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    program.send_line(second.device_path());
    const auto code = program.wait_exit(std::chrono::seconds(20));
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, -SIGTERM);
    EXPECT_EQ(count(program.out(), "Serial_win::clear() " + upper(second.device_path())), 0u) << program.out();
    EXPECT_TRUE(second.instructions().empty());
    EXPECT_FALSE(held_exclusively(second.device_path()));
    EXPECT_FALSE(held_exclusively(sim.device_path()));
}

TEST_F(Console_end, DisconnectUnderWayWhenTheEndBeginsBringsNoModeBack)
{
    connect();
    request_waits_on_the_board();
    program.send_line("di");
    ASSERT_TRUE(shows(program, "Disconnect ...\n"));
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(program.pid(), SIGINT), 0);
    const auto code = program.wait_exit(std::chrono::seconds(20));
    const auto took = std::chrono::steady_clock::now() - sent;
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, -SIGINT);
    // The exchange under way, then the web server's stop: about 2.2 s, as
    // without the "di"; one that waited out the web server's whole limit
    // as well takes a second more. The bound allows for a busy machine.
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(count(program.pending(), client_tail), 0u) << program.pending();
    EXPECT_FALSE(held_exclusively(sim.device_path()));
}

}  // namespace
