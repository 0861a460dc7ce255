// The web server in the whole program, driven as an operator would with the
// simulated board on a pseudo-terminal: it starts with the link, follows
// "http_stop", "http_run" and "di", serves the board while the console runs,
// refuses floods of request bytes without taking memory for them, and ends
// with the program on a quit.
#include "web_test_support.h"

#include <fstream>

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
    // Staying down gives no sign to wait for: 400 ms hold three passes of
    // the web-server loop (100 ms each), any of which would start it.
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
    // Nor does it come back on its own, which gives no sign either: 300 ms
    // hold two passes with the link down (150 ms each); the quit lines
    // counted at the end cover the rest of the run.
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

// "di" while five writes wait on a silent board: the console waits for the
// exchange under way and no more, the four others never reach the board, and
// none of the five is answered as a success.
TEST_F(Web_program, DisconnectWaitsOnlyForTheExchangeUnderWay)
{
    connect();
    ASSERT_TRUE(printed(start_line, 1, milliseconds(3000))) << program.out();
    ASSERT_TRUE(server_answers());
    const std::size_t before = sim.instructions().size();
    sim.set_silent(true);

    std::vector<int> statuses(5, -1);
    std::vector<std::thread> writes;
    for (int i = 0; i < 5; ++i) {
        writes.emplace_back([&statuses, i] {
            auto r = client("localhost")->Post("/api/gpio/gwd/" + std::to_string(i + 1), R"({"value":1})",
                                               "application/json");
            if (r) statuses[i] = r->status;
        });
    }
    const bool waiting = server_took_everything(5) && sim.wait_for_instructions(before + 1);
    program.take_pending();
    const auto typed = Clock::now();
    program.send_line("di");
    const auto closed = program.read_until("Closed " + port + " port\n", std::chrono::seconds(20));
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - typed);
    // A called-off worker's prompt may come between the port's line and the
    // console's prompt: each is waited for on its own.
    const auto prompt = closed ? program.read_until("[Disconnected] [local] [Client] [") : std::nullopt;
    for (auto& t : writes) t.join();

    ASSERT_TRUE(waiting) << "the writes did not reach the board";
    ASSERT_TRUE(closed) << program.pending();
    ASSERT_TRUE(prompt) << program.pending();
    std::fprintf(stderr, "\"di\" with five writes waiting on a silent board: %lld ms\n",
                 static_cast<long long>(took.count()));
    // About 2.2 s at most; the bound allows for a busy machine, and a "di"
    // that waited for the queued exchanges too would take over 8 s.
    EXPECT_LT(took, milliseconds(5000));
    EXPECT_EQ(sim.instructions().size(), before + 1) << "instructions went out after \"di\"";
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 504), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 503), 4);

    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(std::chrono::seconds(10)), 0) << program.err();
}

// The program's resident memory, from /proc; 0 when it cannot be read.
std::size_t resident_kb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmRSS:")) return std::stoul(line.substr(6));
    return 0;
}

// Small requests that the HTTP library would pay for in megabytes of a
// worker's stack, which stays resident, or in an answer many times the file:
// many ranges, a Range line too long for one range, a path thousands of
// characters long, a form part with a long header line. 32 clients of each
// at once cost the program next to nothing, and each gets its plain answer.
TEST(Web_program_memory, SmallRequestsTakeNoMemory)
{
    // Each of these cost 40 MB and more before they were refused early.
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer's shadow of what each thread touches swamps the
    // measure; the plain and AddressSanitizer runs take it.
    constexpr std::size_t allowed_growth_kb = 0;
#elif defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer holds freed memory back for a while.
    constexpr std::size_t allowed_growth_kb = 20 * 1024;
#else
    constexpr std::size_t allowed_growth_kb = 8 * 1024;
#endif
    Sim_board sim;
    Program_driver::Options options;
    options.folders = {"pages"};
    Program_driver program(options);
    std::ofstream(program.work_dir() + "/pages/page.txt") << std::string(5000, 'p');
    program.send_line("co " + sim.device_path());
    ASSERT_TRUE(wait_for([&] { return count_of(program.out(), start_line) == 1; }, milliseconds(10000)))
        << program.out();
    ASSERT_TRUE(server_answers());

    const std::string head = " HTTP/1.1\r\nHost: localhost:8088\r\n";
    std::string many = "bytes=0-";
    for (int i = 1; i < 2600; ++i) many += ",0-";
    const std::string form =
        "--b\r\nContent-Disposition: form-data; name=\"" + std::string(3900, 'n') + "\"\r\n\r\n1\r\n--b--\r\n";
    struct Case {
        const char* what;
        std::string request;
        std::string status_line;
    };
    const Case cases[] = {
        {"many ranges", "GET /page.txt" + head + "Range: " + many + "\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
        {"long range", "GET /page.txt" + head + "Range: bytes=" + std::string(7000, '0') + "10-19\r\n\r\n",
         "HTTP/1.1 200 OK\r\n"},
        {"long path", "GET /api/gpio/grd/" + std::string(7900, '0') + "5" + head + "\r\n",
         "HTTP/1.1 414 URI Too Long\r\n"},
        {"form", "POST /api/gpio/gwd/2" + head + "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: " +
                     std::to_string(form.size()) + "\r\n\r\n" + form,
         "HTTP/1.1 415 Unsupported Media Type\r\n"},
    };
    // 32 clients at once, each with `request` on a connection of its own.
    const auto ask_all = [](const std::string& request) {
        std::vector<std::string> answers(32);
        std::vector<std::thread> clients;
        for (std::size_t i = 0; i < answers.size(); ++i)
            clients.emplace_back([&, i] { answers[i] = raw_exchange(request, milliseconds(20000)); });
        for (auto& t : clients) t.join();
        return answers;
    };
    // The workers for 32 clients at once, as any 32 clients would have them.
    for (const std::string& answer : ask_all(invalid_pin_request)) ASSERT_TRUE(is_invalid_pin_answer(answer));
    const std::size_t before = resident_kb(program.pid());
    ASSERT_GT(before, 0u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string& answer : ask_all(c.request)) {
            EXPECT_TRUE(answer.starts_with(c.status_line)) << answer.substr(0, 200);
            if (c.status_line.starts_with("HTTP/1.1 200")) {
                EXPECT_EQ(body_of(answer).size(), 5000u);
            }
        }
        const std::size_t after = resident_kb(program.pid());
        std::fprintf(stderr, "%s: resident %zu kB before, %zu kB after\n", c.what, before, after);
        if (allowed_growth_kb > 0) {
            EXPECT_LT(after, before + allowed_growth_kb) << "resident memory grew";
        }
    }
    EXPECT_EQ(sim.instructions().size(), 2u) << "a refused request reached the board";

    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(std::chrono::seconds(10)), 0) << program.err();
}

// Sends `head`, then `piece` over and over, up to `total` bytes in all,
// while watching for an answer; stops sending once one comes or the server
// closes. Returns the answer (up to the server's close) and how much was
// sent before it came.
std::pair<std::string, std::size_t> flood(const std::string& head, const std::string& piece, std::size_t total)
{
    int fd = connect_loopback();
    if (fd < 0) return {"no connection", 0};
    std::size_t sent = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (bool answered = false; !answered && sent < total && Clock::now() < deadline;) {
        const std::string& next = sent < head.size() ? head : piece;
        const std::size_t from = sent < head.size() ? sent : (sent - head.size()) % piece.size();
        pollfd p{fd, POLLIN | POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0) continue;
        answered = (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        if (answered || (p.revents & POLLOUT) == 0) continue;
        const ssize_t n = ::send(fd, next.data() + from, next.size() - from, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN) break;
        if (n > 0) sent += static_cast<std::size_t>(n);
    }
    const std::string answer = read_to_close(fd).value_or("still open");
    ::close(fd);
    return {answer, sent};
}

// Requests without a bound are refused as soon as their head is read, and
// take no memory for what comes after it: a chunked POST, a POST without a
// length, a POST with an oversize length, and a GET whose header lines never
// end. Each is answered long before its flood is sent, closes its
// connection, and the next request is served.
TEST_F(Web_program, FloodsAreRefusedEarlyAndTakeNoMemory)
{
    connect();
    ASSERT_TRUE(printed(start_line, 1, milliseconds(3000))) << program.out();
    ASSERT_TRUE(server_answers());
    constexpr std::size_t flood_size = 64 << 20;
    const std::string post = "POST /api/gpio/gwd/2 HTTP/1.1\r\nHost: localhost:8088\r\n";
    struct Case {
        const char* what;
        std::string head;
        std::string piece;
        std::string status_line;
    };
    const Case cases[] = {
        {"chunked", post + "Transfer-Encoding: chunked\r\n\r\n", "10000\r\n" + std::string(0x10000, 'x') + "\r\n",
         "HTTP/1.1 411 Length Required\r\n"},
        {"no length", post + "\r\n", std::string(0x10000, 'x'), "HTTP/1.1 411 Length Required\r\n"},
        {"oversize length", post + "Content-Length: " + std::to_string(flood_size) + "\r\n\r\n",
         std::string(0x10000, 'x'), "HTTP/1.1 413 Payload Too Large\r\n"},
        {"header lines", "GET /api/gpio/grd/2 HTTP/1.1\r\nHost: localhost:8088\r\n",
         "X-Flood: " + std::string(1000, 'x') + "\r\n", "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
    };
    const std::size_t before = resident_kb(program.pid());
    ASSERT_GT(before, 0u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto [answer, sent] = flood(c.head, c.piece, flood_size);
        EXPECT_TRUE(answer.starts_with(c.status_line)) << answer;
        EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos) << answer;
        EXPECT_LT(sent, flood_size / 2) << "answered only after the flood";
        const std::size_t after = resident_kb(program.pid());
        std::fprintf(stderr, "%s: answered after %zu bytes sent; resident %zu kB before, %zu kB after\n", c.what,
                     sent, before, after);
        EXPECT_LT(after, before + 8 * 1024) << "resident memory grew";

        sim.set_digital(2, 1);
        auto r = client()->Get("/api/gpio/grd/2");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->body, R"({"pin":2,"value":1})");
    }
    // A head of 100 header lines is served; one more line is refused.
    std::string head = "GET /api/gpio/grd/64 HTTP/1.1\r\nHost: localhost:8088\r\n";
    for (int i = 1; i < 100; ++i) head += "X-Line: " + std::to_string(i) + "\r\n";
    EXPECT_EQ(body_of(raw_exchange(head + "\r\n")), R"({"error":"Invalid pin"})");
    EXPECT_TRUE(raw_exchange(head + "X-Line: 100\r\n\r\n").starts_with("HTTP/1.1 431 "));

    program.send_line("qq");
    EXPECT_EQ(program.wait_exit(std::chrono::seconds(10)), 0) << program.err();
}

}  // namespace
