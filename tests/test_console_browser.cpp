// The browser launcher seen from outside: one start of the opener, a second
// after the first Server mode, never after an early quit, a quit that does
// not wait for the browser, an opener detached from the program's session
// and signals, and a launcher that waits without burning a processor core.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "console_session.h"
#include "program_driver.h"

using namespace console_test;
using Clock = std::chrono::steady_clock;

namespace {

const std::string start_page = "1|http://localhost:8088/arduino_uno_r4_analog.html";
// Long enough for a loaded machine: the launcher's own wait is one second.
constexpr auto browser_deadline = std::chrono::seconds(20);

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// An opener without a desktop runs the browser itself and stays as long as
// the operator browses; the fake one stays far longer than any bound below.
Program_driver::Options lingering_browser()
{
    Program_driver::Options options;
    options.browser_stay = std::chrono::seconds(25);
    return options;
}

// The program is no parent of the browser: it has no child left, not even a
// zombie, while it runs on.
::testing::AssertionResult comes_to_have_no_children(const Program_driver& program)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!program.children().empty()) {
        if (Clock::now() >= deadline) {
            return ::testing::AssertionFailure() << program.children().size() << " child processes remain";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ::testing::AssertionSuccess();
}

TEST(Console_browser, StartsOnceOneSecondAfterAServerModeHoweverBriefAndTheQuitDoesNotWaitForIt)
{
    // Started as the background job of a script would be, with signals
    // ignored and blocked that are the program's business, not the browser's.
    Program_driver::Options options = lingering_browser();
    options.ignored_signals = {SIGINT, SIGQUIT, SIGPIPE};
    options.blocked_signals = {SIGHUP, SIGTERM, SIGUSR1};
    Program_driver program(options);
    ASSERT_TRUE(shows(program, client_prompt(0)));
    // Client mode alone starts nothing. A start that never comes can only be
    // watched for a while; this window is longer than the launcher's second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_TRUE(program.browser_calls().empty());

    // Server mode left again on the same line, and no quit: the start must
    // come on its own.
    const auto entered = Clock::now();
    program.send_line("s c");
    ASSERT_TRUE(shows(program, "Client Mode.\n" + client_prompt(2)));
    ASSERT_TRUE(program.wait_browser_calls(1, browser_deadline));
    EXPECT_GE(seconds_since(entered), 1.0);
    EXPECT_TRUE(comes_to_have_no_children(program));
    // The browser is out of the program's session, so the terminal's
    // hang-up and job control reach the program alone, and it starts with
    // every signal at its default and none blocked.
    const auto opener = program.browser_process();
    ASSERT_TRUE(opener);
    EXPECT_NE(opener->session, ::getsid(program.pid()));
    EXPECT_EQ(opener->ignored, 0u) << "SigIgn " << std::hex << opener->ignored;
    EXPECT_EQ(opener->blocked, 0u) << "SigBlk " << std::hex << opener->blocked;

    // Later entries into Server mode start nothing more, and the quit does
    // not wait for the browser that is still open.
    program.send_line("server");
    ASSERT_TRUE(shows(program, server_prompt(3)));
    const auto quit = Clock::now();
    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(), 0);
    // About 0.1 s; the bound leaves room for a loaded machine and the
    // sanitizers, and an opener waited for would hold the quit 25 s.
    EXPECT_LT(seconds_since(quit), 3.0);
    EXPECT_EQ(program.browser_calls(), std::vector<std::string>{start_page});
}

TEST(Console_browser, QuitBeforeServerModeStartsNothing)
{
    Program_driver program;
    ASSERT_TRUE(shows(program, client_prompt(0)));
    const auto quit = Clock::now();
    program.send_line("quit");
    EXPECT_EQ(program.wait_exit(), 0);
    EXPECT_LT(seconds_since(quit), 0.95);  // nobody waited out the launcher's second
    EXPECT_TRUE(program.browser_calls().empty());
}

TEST(Console_browser, QuitWhileTheLauncherSleepsStillStartsTheBrowser)
{
    Program_driver program(lingering_browser());
    ASSERT_TRUE(shows(program, client_prompt(0)));

    const auto entered = Clock::now();
    program.send_line("s qq");
    EXPECT_EQ(program.wait_exit(), 0);
    // The program ended once it had started the browser, after the
    // launcher's second, and did not wait for the browser to close.
    const double ended = seconds_since(entered);
    EXPECT_GE(ended, 1.0);
    EXPECT_LT(ended, 4.0);
    EXPECT_TRUE(program.wait_browser_calls(1, browser_deadline));
    EXPECT_EQ(program.browser_calls(), std::vector<std::string>{start_page});
    EXPECT_EQ(program.pending(), "Server Mode.\n" + server_prompt(1) +
                                     "Cannot run a server command while not connected.\n" + server_prompt(2));
}

TEST(Console_browser, FailedConnectStartsTheBrowserAllTheSame)
{
    Program_driver program;
    ASSERT_TRUE(shows(program, client_prompt(0)));
    program.send_line("co " + program.work_dir() + "/absent");
    ASSERT_TRUE(shows(program, server_prompt(1)));
    EXPECT_TRUE(program.wait_browser_calls(1, browser_deadline));
    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(), 0);
    EXPECT_EQ(program.browser_calls().size(), 1u);
}

// A generous bound: a launcher (or any loop) that spins while the operator
// thinks would use a whole core here. The benchmark measures it finely.
TEST(Console_idle, WaitingInClientModeUsesAlmostNoProcessor)
{
    Program_driver program;
    ASSERT_TRUE(shows(program, client_prompt(0)));
    const double before = program.cpu_seconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const double used = program.cpu_seconds() - before;
    EXPECT_LT(used, 0.3) << "CPU seconds used in 1.5 s of waiting";
    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(), 0);
}

}  // namespace
