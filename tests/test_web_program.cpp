// The web server in the whole program, driven as an operator would with the
// simulated board on a pseudo-terminal: it starts with the link, follows
// "http_stop", "http_run" and "di", serves the board while the console runs,
// and ends with the program on a quit.
#include "web_test_support.h"

#include "program_driver.h"
#include "sim_board.h"

using namespace web_test;

namespace {

std::string upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

class Web_program : public testing::Test {
protected:
    // Waits until `text` has been printed at least `n` times in all; how long
    // that took.
    std::optional<milliseconds> printed(const std::string& text, std::size_t n, milliseconds limit)
    {
        return wait_for([&] { return count_of(program.out(), text) >= n; }, limit);
    }
    void connect()
    {
        program.send_line("co " + sim.device_path());
        ASSERT_TRUE(printed("[Server] [", 1, milliseconds(10000))) << program.out();
    }
    // The quit line's prompt once the console has gone: "[]" for the mode.
    std::string quitting_prompt_start() const { return "[" + port + "][] ["; }

    Sim_board sim;
    Program_driver program;
    const std::string port = upper(sim.device_path());
};

TEST_F(Web_program, ServerFollowsTheLinkAndTheStopRequest)
{
    // Asked to stay down before any board is there.
    program.send_line("http_stop");
    connect();
    // A server that stays down gives no sign to wait for; the window covers
    // several passes of the web-server thread, which would have started it.
    std::this_thread::sleep_for(milliseconds(400));
    EXPECT_EQ(count_of(program.out(), start_line), 0u);
    EXPECT_FALSE(accepts_connections());

    program.send_line("client");
    ASSERT_TRUE(printed("Client Mode.\n", 1, milliseconds(2000)));
    program.send_line("http_run");
    auto took = printed(start_line, 1, milliseconds(1500));
    ASSERT_TRUE(took) << program.out();
    // The start line comes just before the server takes its port.
    ASSERT_TRUE(server_answers());

    // The board answers the browser while the console is in Client mode.
    sim.set_digital(2, 1);
    auto r = client()->Get("/api/gpio/grd/2");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, R"({"pin":2,"value":1})");
    r = client("localhost")->Post("/api/gpio/gwd/3", R"({"value":1})", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, R"({"status":"ok"})");
    EXPECT_TRUE(printed("Pin Update: 3\n", 1, milliseconds(3000)));
    EXPECT_EQ(sim.digital(3), 1);

    program.send_line("http_stop");
    took = printed(quit_line, 1, milliseconds(3000));
    ASSERT_TRUE(took) << program.out();
    EXPECT_LT(*took, milliseconds(1500));
    EXPECT_FALSE(accepts_connections());

    program.send_line("http_run");
    ASSERT_TRUE(printed(start_line, 2, milliseconds(3000)));
    ASSERT_TRUE(server_answers());

    program.send_line("di");
    took = printed(quit_line, 2, milliseconds(3000));
    ASSERT_TRUE(took) << program.out();
    EXPECT_LT(*took, milliseconds(1500));
    EXPECT_FALSE(accepts_connections());
    // Nor does it come back on its own: a window of several of its passes.
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(count_of(program.out(), start_line), 2u);

    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(std::chrono::seconds(5)), 0);
    EXPECT_EQ(count_of(program.out(), quit_line), 2u) << "a quit line for a server that was not running";
    EXPECT_EQ(program.err(), "");
}

// A mistyped port at "co" costs nothing: the board that was connected stays
// the link, with its names, its web server and its answers.
TEST_F(Web_program, FailedConnectKeepsTheConnectedBoard)
{
    connect();
    ASSERT_TRUE(printed(start_line, 1, milliseconds(3000))) << program.out();
    ASSERT_TRUE(server_answers());
    const std::size_t identifications = sim.instructions().size();

    program.take_pending();
    program.send_line("co " + program.work_dir() + "/absent");
    const auto seen = program.read_until("[" + port + "] [Arduino:Uno_R4_Minima] [Server] [");
    ASSERT_TRUE(seen) << program.pending();
    EXPECT_NE(seen->find("Error: Cannot open " + program.work_dir() + "/ABSENT: No such file or directory\n"),
              std::string::npos)
        << *seen;
    EXPECT_EQ(seen->find("Closed "), std::string::npos) << *seen;
    // The identification went to the board that stayed.
    EXPECT_TRUE(sim.wait_for_instructions(identifications + 2));

    program.send_line("sta");
    EXPECT_TRUE(program.read_until("halcyr: Status\n\nbs_status: 00010001\n"));
    sim.set_digital(2, 1);
    auto r = client()->Get("/api/gpio/grd/2");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, R"({"pin":2,"value":1})");

    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(std::chrono::seconds(5)), 0);
    EXPECT_EQ(count_of(program.out(), quit_line), 1u) << "the server went down on the failed connect";
    EXPECT_EQ(count_of(program.out(), "Closed " + port + " port\n"), 1u);
}

TEST_F(Web_program, QuitWhileListeningEndsTheProgram)
{
    connect();
    ASSERT_TRUE(printed(start_line, 1, milliseconds(3000))) << program.out();
    ASSERT_TRUE(server_answers());

    program.send_line("qq");
    auto code = program.wait_exit(std::chrono::seconds(5));
    ASSERT_TRUE(code.has_value()) << "the program did not end:\n" << program.out();
    EXPECT_EQ(*code, 0) << program.err();
    EXPECT_FALSE(accepts_connections());

    const std::string out = program.out();
    const auto quit_at = out.find(quit_line);
    ASSERT_NE(quit_at, std::string::npos) << out;
    EXPECT_EQ(out.compare(quit_at + quit_line.size(), quitting_prompt_start().size(), quitting_prompt_start()), 0)
        << out.substr(quit_at);
    // The link closes after every thread has ended.
    EXPECT_NE(out.find("Closed " + port + " port", quit_at), std::string::npos) << out.substr(quit_at);
}

}  // namespace
