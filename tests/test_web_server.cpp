// The web-server loop and its supervisor, run in this process on the shared
// flags alone (no board is needed to listen): when the server comes up and
// goes down, its start and quit lines, idle connections, a taken port, the
// loopback-only exclusive socket, the static directories, and the two stop
// rules under random timing.
#include "web_test_support.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <fstream>
#include <random>
#include <sstream>

using namespace web_test;

namespace {

// Generous bounds for what the loop promises in about 150 ms (start) and
// about 100 ms (stop), on a machine shared with sanitizer builds.
constexpr milliseconds start_bound{3000};
constexpr milliseconds stop_bound{1500};

// The server has stopped: listen has returned and nothing accepts.
bool server_down() { return !http_server.is_running() && !accepts_connections(); }

// Each start line and each quit line is followed by a prompt.
std::size_t lines_with_prompt(const std::string& out, const std::string& line)
{
    std::size_t n = 0;
    for (auto at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) {
        const auto from = at + line.size();
        const auto prompt = out.substr(from, out.find('\n', from) - from);
        if (prompt.starts_with("[") && prompt.find("] > ") != std::string::npos) ++n;
    }
    return n;
}

// The order of the start and quit lines in the output: "S" and "Q".
std::string line_sequence(const std::string& out)
{
    std::string seq;
    for (std::size_t at = 0; at < out.size(); ++at) {
        if (out.compare(at, start_line.size(), start_line) == 0) seq += 'S';
        if (out.compare(at, quit_line.size(), quit_line) == 0) seq += 'Q';
    }
    return seq;
}

// Start, quit, start, quit...: at least `pairs` starts, each with its quit.
bool alternating(const std::string& seq, std::size_t pairs)
{
    if (seq.size() % 2 != 0 || seq.size() < 2 * pairs) return false;
    for (std::size_t i = 0; i < seq.size(); i += 2)
        if (seq.compare(i, 2, "SQ") != 0) return false;
    return true;
}

class Web_server : public testing::Test {
protected:
    void SetUp() override
    {
        serial_connected = 0;
        http_stop_request = 0;
        testing::internal::CaptureStdout();
        capturing_ = true;
    }
    void TearDown() override
    {
        server_.reset();
        // Failures reported while the output was captured are in it.
        if (HasFailure()) std::fprintf(stderr, "%s\n", output().c_str());
        output();
        serial_connected = 0;
        http_stop_request = 0;
    }
    // Everything printed since SetUp; ends the capture.
    const std::string& output()
    {
        if (capturing_) {
            out_ = testing::internal::GetCapturedStdout();
            capturing_ = false;
        }
        return out_;
    }
    void start_thread() { server_ = std::make_unique<Web_server_thread>(0); }

    std::unique_ptr<Web_server_thread> server_;
    bool capturing_ = false;
    std::string out_;
};

TEST_F(Web_server, FollowsTheLink)
{
    start_thread();
    ASSERT_TRUE(server_->made_passes(2));
    EXPECT_FALSE(accepts_connections()) << "listening with the link down";

    serial_connected = 1;
    auto took = wait_for(accepts_connections, start_bound);
    ASSERT_TRUE(took) << "not up after a connect";
    EXPECT_TRUE(server_answers());

    serial_connected = 0;
    took = wait_for(server_down, stop_bound);
    EXPECT_TRUE(took) << "still up after the link went down";
    // No new start while the link stays down.
    EXPECT_TRUE(server_->made_passes(2));
    EXPECT_FALSE(accepts_connections());

    auto ended = server_->quit_and_join();
    EXPECT_LT(ended, milliseconds(1500)) << "waiting loop took long to end";
    const std::string& out = output();
    EXPECT_EQ(line_sequence(out), "SQ") << out;
    EXPECT_EQ(lines_with_prompt(out, start_line), 1u) << out;
    EXPECT_EQ(lines_with_prompt(out, quit_line), 1u) << out;
}

TEST_F(Web_server, QuitWhileListeningPrintsTheQuitLineAndEnds)
{
    serial_connected = 1;
    start_thread();
    ASSERT_TRUE(wait_for(accepts_connections, start_bound));

    auto ended = server_->quit_and_join();
    EXPECT_LT(ended, milliseconds(1500));
    EXPECT_TRUE(server_down());
    const std::string& out = output();
    EXPECT_EQ(line_sequence(out), "SQ") << out;
    // The quitting prompt has no mode part but "[]".
    auto quit_at = out.find(quit_line);
    ASSERT_NE(quit_at, std::string::npos);
    EXPECT_NE(out.find("[] [", quit_at), std::string::npos) << out;
}

TEST_F(Web_server, QuitWhileWaitingEndsQuietly)
{
    start_thread();
    EXPECT_TRUE(server_->made_passes(2));
    auto ended = server_->quit_and_join();
    EXPECT_LT(ended, milliseconds(1500));
    EXPECT_EQ(output(), "");
}

// Joins the thread within `limit`, or ends the test program: a web-server
// thread that never ends is exactly the failure looked for, and a hung
// join would only show as a time-out much later.
void must_end(Web_server_thread& server, milliseconds limit, const std::string& what)
{
    ui_mode = 2;
    if (!wait_for([&] { return server.ended(); }, limit)) {
        std::fprintf(stderr, "web-server thread did not end: %s\n", what.c_str());
        std::_Exit(1);
    }
    server.quit_and_join();
}

// A client that connects, and after `delay` sends `request` in the pieces
// given, with `pause` between them; returns the answer.
std::string client_that_waits(milliseconds delay, const std::vector<std::string>& pieces,
                              milliseconds pause = milliseconds(0))
{
    int fd = connect_loopback();
    if (fd < 0) return "no connection";
    std::this_thread::sleep_for(delay);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(pause);
        if (!send_all(fd, pieces[i])) break;
    }
    std::string answer = read_answer(fd, milliseconds(10000));
    ::close(fd);
    return answer;
}

// A fresh working directory with the two page directories, for as long as
// the object lives.
struct Page_directories {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("qorvel_web_" + std::to_string(::getpid()));
    const std::filesystem::path was = std::filesystem::current_path();
    Page_directories()
    {
        std::filesystem::create_directories(dir / "pages");
        std::filesystem::create_directories(dir / "help");
        std::filesystem::current_path(dir);
    }
    ~Page_directories()
    {
        std::filesystem::current_path(was);
        std::filesystem::remove_all(dir);
    }
};

// A static page far larger than what the sockets can hold in flight.
const std::string large_page = "/large.bin";
constexpr std::size_t large_page_size = 32 << 20;

// Connections a browser holds: some opened ahead of use and silent, one
// that keeps its connection after an answer, one half way through its
// request, and one that asked for a large page and reads none of it.
struct Open_connections {
    std::vector<int> fds;
    Open_connections()
    {
        for (int i = 0; i < 6; ++i) fds.push_back(connect_loopback());
        int kept = connect_loopback();
        if (send_all(kept, invalid_pin_request) && is_invalid_pin_answer(read_answer(kept))) fds.push_back(kept);
        int half = connect_loopback();
        if (send_all(half, "G")) fds.push_back(half);
        int reads_nothing = connect_loopback();
        pollfd answer_begun{reads_nothing, POLLIN, 0};
        if (send_all(reads_nothing, "GET " + large_page + " HTTP/1.1\r\nHost: localhost\r\n\r\n") &&
            ::poll(&answer_begun, 1, 5000) == 1)
            fds.push_back(reads_nothing);
    }
    ~Open_connections()
    {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    bool all_open() const
    {
        return fds.size() == 9 && std::all_of(fds.begin(), fds.end(), [](int fd) { return fd >= 0; });
    }
};

// However late a client asks, and however it splits its request, it is
// answered within the read time-out (5 s between the pieces that arrive);
// one that stops half way through its head or its body is answered 408
// after the read time-out; open connections that ask nothing, or ask
// slowly, delay nobody else; and a kept connection carries the next request.
TEST_F(Web_server, EveryClientIsAnswered)
{
    serial_connected = 1;
    start_thread();
    ASSERT_TRUE(server_answers());

    std::vector<std::future<std::string>> late;
    for (int delay : {50, 1000, 3500})
        late.push_back(std::async(std::launch::async, [delay] {
            return client_that_waits(milliseconds(delay), {invalid_pin_request});
        }));
    late.push_back(std::async(std::launch::async, [] {
        return client_that_waits(milliseconds(0),
                                 {"GET /api/gpio/grd/64 HT", "TP/1.1\r\nHost: local", "host:8088\r\n", "\r\n"},
                                 milliseconds(700));
    }));
    std::vector<std::future<std::string>> stalled;
    for (const std::string piece :
         {"GET /api/gpio/grd/64 HTTP/1.1\r\n",
          "POST /api/gpio/gwd/64 HTTP/1.1\r\nHost: localhost:8088\r\nContent-Length: 11\r\n\r\n{\"val"})
        stalled.push_back(std::async(std::launch::async, [piece] { return client_that_waits(milliseconds(0), {piece}); }));

    // Sixteen clients that send their headers a byte every 500 ms, beside
    // the browser's open connections.
    Open_connections browser;
    ASSERT_TRUE(browser.all_open());
    const std::string slow_request = "GET /api/gpio/grd/64 HTTP/1.1\r\nX-Slow: ";
    std::vector<int> slow_fds;
    for (int i = 0; i < 16; ++i) {
        slow_fds.push_back(connect_accepted());
        EXPECT_TRUE(slow_fds.back() >= 0 && send_all(slow_fds.back(), slow_request.substr(0, 1)));
    }
    std::atomic<bool> slow_go_on{true};
    std::vector<std::thread> slow;
    for (int fd : slow_fds) {
        slow.emplace_back([&slow_go_on, &slow_request, fd] {
            for (std::size_t at = 1; fd >= 0 && slow_go_on; at = (at + 1) % slow_request.size()) {
                if (wait_for([&slow_go_on] { return !slow_go_on; }, milliseconds(500))) break;
                if (!send_all(fd, slow_request.substr(at, 1))) break;
            }
        });
    }
    // Each slow client holds a worker that reads its head before the read
    // is asked.
    const bool slow_served = std::all_of(slow_fds.begin(), slow_fds.end(),
                                         [](int fd) { return server_took_everything_of(fd); });
    const auto asked = Clock::now();
    const std::string answer = raw_exchange(invalid_pin_request, milliseconds(10000));
    const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - asked);
    slow_go_on = false;
    for (auto& t : slow) t.join();
    for (int fd : slow_fds)
        if (fd >= 0) ::close(fd);
    EXPECT_TRUE(slow_served) << "the slow clients were not being served when the read was asked";
    EXPECT_TRUE(is_invalid_pin_answer(answer)) << answer;
    EXPECT_LT(waited, milliseconds(2000)) << "a normal request waited behind slow clients";

    for (auto& f : late) {
        const std::string raw = f.get();
        EXPECT_TRUE(is_invalid_pin_answer(raw)) << raw;
    }
    for (auto& f : stalled) {
        const std::string raw = f.get();
        EXPECT_TRUE(raw.starts_with("HTTP/1.1 408 Request Timeout\r\n")) << raw;
        EXPECT_NE(raw.find("\r\nConnection: close\r\n"), std::string::npos) << raw;
    }

    // Two requests, one connection.
    int fd = connect_loopback();
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(send_all(fd, invalid_pin_request));
        const std::string raw = read_answer(fd);
        EXPECT_TRUE(is_invalid_pin_answer(raw)) << raw;
        EXPECT_NE(raw.find("\r\nKeep-Alive: "), std::string::npos) << raw;
    }
    ::close(fd);
}

// A stop, whatever decides it, ends the server promptly also while clients
// hold connections open, idle, half way through a request or not reading
// their answer: the quit line comes well within 1.5 s of the decision
// (about 100 ms for the supervisor's pass, then one connection check), and
// the thread ends on a quit.
TEST_F(Web_server, StopsStayPromptWithOpenConnections)
{
    Page_directories pages;
    std::ofstream(pages.dir / "pages" / large_page.substr(1)) << std::string(large_page_size, 'x');
    serial_connected = 1;
    start_thread();
    struct Stop {
        const char* what;
        std::function<void()> decide;
        std::function<void()> undo;
    };
    const Stop stops[] = {
        {"link down", [] { serial_connected = 0; }, [] { serial_connected = 1; }},
        {"http_stop", [] { http_stop_request = 1; }, [] { http_stop_request = 0; }},
        {"quit", [] { ui_mode = 2; }, [] {}},
    };
    for (bool with_connections : {false, true}) {
        for (const Stop& stop : stops) {
            if (!with_connections && std::string(stop.what) == "quit") continue;
            SCOPED_TRACE(std::string(stop.what) + (with_connections ? ", connections open" : ", none open"));
            ASSERT_TRUE(server_answers());
            std::optional<Open_connections> open;
            if (with_connections) {
                open.emplace();
                ASSERT_TRUE(open->all_open());
            }
            const auto decided = Clock::now();
            stop.decide();
            EXPECT_TRUE(wait_for([] { return !http_server.is_running(); }, milliseconds(5000)));
            const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - decided);
            EXPECT_LT(took, milliseconds(1500));
            std::fprintf(stderr, "stop on %s, %s: %lld ms\n", stop.what, with_connections ? "connections open" : "none open",
                        static_cast<long long>(took.count()));
            stop.undo();
        }
    }
    must_end(*server_, milliseconds(3000), "quit with connections open");
    EXPECT_EQ(line_sequence(output()), "SQSQSQSQSQ") << output();
}

// True once the server has closed `fd` (which has no answer pending).
bool closed_by_server(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char byte;
    return ::poll(&p, 1, 0) == 1 && ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

std::size_t closed_count(const std::vector<int>& fds)
{
    return static_cast<std::size_t>(std::count_if(fds.begin(), fds.end(), closed_by_server));
}

void close_all(std::vector<int>& fds)
{
    for (int fd : fds) ::close(fd);
    fds.clear();
}

// Every one of the 64 workers holds a connection. Clients that then come
// wait for a worker, and one connection that waits for its next request is
// closed for each of them, no more; beyond 64 waiting clients, the newest
// are closed at once. A connection that is still sending its request gives
// up its worker when the request's time is up (answered 408), and not
// before.
TEST_F(Web_server, BusyWorkersMakeWayOneForOneAndTheQueueIsBounded)
{
    constexpr std::size_t workers = 64;
    constexpr std::size_t asking = 6;
    serial_connected = 1;
    start_thread();
    ASSERT_TRUE(server_answers());

    // Connections kept after an answer wait up to 5 s for their next
    // request; a count taken later than that would count them closing on
    // their own, and is taken again.
    std::optional<std::size_t> made_way;
    for (int attempt = 0; attempt < 3 && !made_way; ++attempt) {
        std::vector<int> kept;
        std::vector<int> late;
        const auto first_answer = Clock::now();
        for (std::size_t i = 0; i < workers; ++i) {
            kept.push_back(connect_accepted());
            ASSERT_TRUE(send_all(kept.back(), invalid_pin_request));
            ASSERT_TRUE(is_invalid_pin_answer(read_answer(kept.back())));
        }
        for (std::size_t i = 0; i < asking; ++i) {
            late.push_back(connect_accepted());
            ASSERT_TRUE(send_all(late.back(), invalid_pin_request));
        }
        for (int fd : late) EXPECT_TRUE(is_invalid_pin_answer(read_answer(fd)));
        // Each late client was served by the worker of a connection that
        // closed for it (a kept one, or a late one already answered). Once
        // they are all answered no client waits, so no other connection may
        // close; a request on every connection then shows which ones are
        // still open: only an open one answers it.
        EXPECT_TRUE(wait_for([&] { return closed_count(kept) + closed_count(late) >= asking; }, milliseconds(2000)));
        std::vector<int> all = kept;
        all.insert(all.end(), late.begin(), late.end());
        for (int fd : all) send_all(fd, invalid_pin_request);
        const auto closed = static_cast<std::size_t>(
            std::count_if(all.begin(), all.end(), [](int fd) { return !is_invalid_pin_answer(read_answer(fd)); }));
        if (Clock::now() - first_answer < milliseconds(4500)) made_way = closed;
        close_all(kept);
        close_all(late);
    }
    ASSERT_TRUE(made_way) << "too slow to count within the kept connections' 5 s";
    EXPECT_EQ(*made_way, asking);

    // Now every worker reads a request that comes a byte a second, so none
    // makes way: half of them the head of a request, half a declared body
    // of 4096 bytes. 64 clients may wait, and four beyond them are closed.
    const std::string head = "GET /api/gpio/grd/64 HTTP/1.1\r\nX-Slow: ";
    const std::string body_head = "POST /api/gpio/gwd/64 HTTP/1.1\r\nHost: localhost:8088\r\nContent-Length: 4096\r\n\r\n";
    struct Slow_sender {
        int fd;
        bool sends_body;
        Clock::time_point began;  // before its first byte, or its whole head
        Clock::time_point read;   // once the server had read them
    };
    std::vector<Slow_sender> slow;
    for (std::size_t i = 0; i < workers; ++i) {
        const bool sends_body = i % 2 == 1;
        slow.push_back({connect_accepted(), sends_body, Clock::now(), {}});
        ASSERT_TRUE(send_all(slow.back().fd, sends_body ? body_head : head.substr(0, 1)));
        EXPECT_TRUE(server_took_everything_of(slow.back().fd));
        slow.back().read = Clock::now();
    }
    std::atomic<bool> go_on{true};
    std::thread trickle([&] {
        for (std::size_t at = 1; go_on; at = (at + 1) % head.size()) {
            if (wait_for([&] { return !go_on; }, milliseconds(1000))) break;
            for (const Slow_sender& s : slow) send_all(s.fd, s.sends_body ? "x" : head.substr(at, 1));
        }
    });
    EXPECT_TRUE(server_took_everything(workers));
    std::vector<int> queued;
    std::vector<int> beyond;
    for (std::size_t i = 0; i < workers; ++i) queued.push_back(connect_accepted());
    for (int i = 0; i < 4; ++i) beyond.push_back(connect_accepted());
    EXPECT_TRUE(wait_for([&] { return closed_count(beyond) == beyond.size(); }, milliseconds(3000)))
        << closed_count(beyond) << " of the newest closed";
    // Every slow sender's worker stays with it until its request's time is
    // up: it is answered 408 then, not before, and closed; only then does a
    // queued client get a worker, and each of them is served (so none of
    // them was closed while it waited).
    for (int fd : queued) EXPECT_TRUE(send_all(fd, invalid_pin_request));
    // A head has 10 s from its first byte, a body 10 s from the end of its
    // head, counted from when the server had them: a moment the client
    // cannot tell exactly, but which lies between its sending and the
    // server's reading. The 408 goes out within one connection check of the
    // time; a loaded machine may delay that, and the client's reading of it,
    // but not by the 2 s that a limit of 12 s would add.
    constexpr milliseconds request_time{10000};
    constexpr milliseconds late_408{1500};
    std::vector<std::future<std::string>> cut;
    for (const Slow_sender& s : slow) {
        cut.push_back(std::async(std::launch::async, [s, request_time, late_408] {
            const std::string answer = read_answer(s.fd, milliseconds(30000));
            const auto answered = Clock::now();
            const auto since_sent = std::chrono::duration_cast<milliseconds>(answered - s.began);
            const auto since_read = std::chrono::duration_cast<milliseconds>(answered - s.read);
            const std::string what = (s.sends_body ? "body" : "head") + std::string(" after ") +
                                     std::to_string(since_sent.count()) + " ms (" +
                                     std::to_string(since_read.count()) + " ms after the server had it): ";
            if (!answer.starts_with("HTTP/1.1 408 Request Timeout\r\n") ||
                answer.find("\r\nConnection: close\r\n") == std::string::npos)
                return what + "answered " + answer;
            if (since_sent < request_time || since_read > request_time + late_408)
                return what + "answered 408 out of time";
            if (!read_to_close(s.fd, milliseconds(5000))) return what + "left open after its 408";
            return std::string();
        }));
    }
    std::vector<std::future<milliseconds>> served;
    for (int fd : queued) {
        served.push_back(std::async(std::launch::async, [fd, since = slow.front().began] {
            return is_invalid_pin_answer(read_answer(fd, milliseconds(30000)))
                       ? std::chrono::duration_cast<milliseconds>(Clock::now() - since)
                       : milliseconds::max();
        }));
    }
    for (auto& f : cut) EXPECT_EQ(f.get(), "");
    milliseconds last_served{0};
    for (auto& f : served) last_served = std::max(last_served, f.get());
    EXPECT_NE(last_served, milliseconds::max()) << "a queued client was not served";
    std::fprintf(stderr, "64 slow senders: the last of 64 queued clients served %lld ms after their first bytes\n",
                 static_cast<long long>(last_served.count()));
    go_on = false;
    trickle.join();
    for (const Slow_sender& s : slow) ::close(s.fd);
    close_all(queued);
    close_all(beyond);
    EXPECT_TRUE(server_answers(milliseconds(5000)));
}

// Clients that keep asking on their connections, each request sent slowly
// but in time, are never idle, yet hold their workers for one request at a
// time while another client waits: its request is answered once theirs are,
// not after the hundred each connection may carry.
TEST_F(Web_server, ClientsThatKeepAskingMakeWayAfterTheirAnswer)
{
    constexpr std::size_t workers = 64;
    serial_connected = 1;
    start_thread();
    ASSERT_TRUE(server_answers());

    const std::string request = invalid_pin_request;
    const std::size_t half = request.size() / 2;
    std::vector<int> asking;
    for (std::size_t i = 0; i < workers; ++i) asking.push_back(connect_accepted());
    std::atomic<bool> go_on{true};
    // Each connection sends half a request; then, after a pause, the rest of
    // it together with the first half of the next one, so that its worker
    // always has a request begun; it reads its answer and goes on until the
    // server closes it.
    for (int fd : asking) ASSERT_TRUE(send_all(fd, request.substr(0, half)));
    std::thread ask([&] {
        std::vector<bool> open(asking.size(), true);
        while (go_on && std::count(open.begin(), open.end(), true) > 0) {
            wait_for([&] { return !go_on; }, milliseconds(500));
            for (std::size_t i = 0; i < asking.size(); ++i) {
                if (!open[i]) continue;
                const bool sent = send_all(asking[i], request.substr(half) + request.substr(0, half));
                const std::string answer = sent ? read_answer(asking[i]) : "";
                open[i] = is_invalid_pin_answer(answer) && answer.find("\r\nConnection: close\r\n") == std::string::npos;
            }
        }
    });
    EXPECT_TRUE(server_took_everything(workers));
    const int waiting = connect_accepted();
    const auto asked = Clock::now();
    ASSERT_TRUE(send_all(waiting, invalid_pin_request));
    EXPECT_TRUE(is_invalid_pin_answer(read_answer(waiting, milliseconds(30000))));
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - asked);
    // About one request's time of the others (0.5 s); a hundred of theirs
    // would take over 50 s.
    EXPECT_LT(took, milliseconds(10000));
    go_on = false;
    ask.join();
    ::close(waiting);
    close_all(asking);
}

// A connection refused while others wait for a worker makes way once, not
// twice: the worker it gives up serves one queued client, whose connection
// in turn makes way for the next queued one after its answer, at once.
TEST_F(Web_server, RefusalWhileOthersWaitMakesWayOnce)
{
    constexpr std::size_t workers = 64;
    serial_connected = 1;
    start_thread();
    ASSERT_TRUE(server_answers());

    // 63 workers read heads that come a byte a second; one more reads a
    // head that will declare a body too large.
    const std::string head = "GET /api/gpio/grd/64 HTTP/1.1\r\nX-Slow: ";
    std::vector<int> slow;
    for (std::size_t i = 0; i + 1 < workers; ++i) {
        slow.push_back(connect_accepted());
        ASSERT_TRUE(send_all(slow.back(), head.substr(0, 1)));
    }
    const int refused = connect_accepted();
    ASSERT_TRUE(send_all(refused, "POST /api/gpio/gwd/2 HTTP/1.1\r\n"));
    std::atomic<bool> go_on{true};
    std::thread trickle([&] {
        for (std::size_t at = 1; go_on; at = (at + 1) % head.size()) {
            if (wait_for([&] { return !go_on; }, milliseconds(1000))) break;
            for (int fd : slow) send_all(fd, head.substr(at, 1));
        }
    });
    EXPECT_TRUE(server_took_everything(workers));

    // Two clients queue with their requests sent; then the refusal.
    const int first = connect_accepted();
    const int second = connect_accepted();
    ASSERT_TRUE(send_all(first, invalid_pin_request));
    ASSERT_TRUE(send_all(second, invalid_pin_request));
    ASSERT_TRUE(send_all(refused, "Host: localhost:8088\r\nContent-Length: 5000\r\n\r\n"));
    EXPECT_TRUE(read_answer(refused).starts_with("HTTP/1.1 413 "));

    const std::string first_answer = read_answer(first, milliseconds(8000));
    const auto first_served = Clock::now();
    EXPECT_TRUE(is_invalid_pin_answer(first_answer)) << first_answer;
    const std::string second_answer = read_answer(second, milliseconds(8000));
    const auto gap = std::chrono::duration_cast<milliseconds>(Clock::now() - first_served);
    EXPECT_TRUE(is_invalid_pin_answer(second_answer)) << second_answer;
    // At once; a worker counted twice as making way leaves the second
    // client to wait for the first's connection to be idle for 5 s.
    EXPECT_LT(gap, milliseconds(3000));

    go_on = false;
    trickle.join();
    close_all(slow);
    ::close(refused);
    ::close(first);
    ::close(second);
}

TEST_F(Web_server, ListensOnLoopbackOnlyExclusivelyAndAnswersBothNames)
{
    serial_connected = 1;
    start_thread();
    ASSERT_TRUE(server_answers());

    // A second server with the library's default options (SO_REUSEPORT)
    // must not bind beside us and take half of the requests.
    int other = listen_like_another_server();
    EXPECT_LT(other, 0) << "port 8088 shared";
    if (other >= 0) ::close(other);

    // Only 127.0.0.1:8088 is listening (state 0A), nothing on IPv6.
    auto listeners = [](const char* table) {
        std::ifstream in(table);
        std::string line, found;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == ":1F98") found += local + " ";
        }
        return found;
    };
    EXPECT_EQ(listeners("/proc/net/tcp"), "0100007F:1F98 ");
    EXPECT_EQ(listeners("/proc/net/tcp6"), "");

    for (const std::string host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        auto r = client(host)->Get("/api/gpio/grd/64");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400);
    }
}

// Another program holds port 8088: every pass tries again and says so,
// until the link goes down; once the port is free the server comes up.
TEST_F(Web_server, TakenPortAlternatesStartAndQuitLines)
{
    int blocker = listen_like_another_server();
    ASSERT_GE(blocker, 0);

    // Each start line and each quit line has its prompt: three failed starts
    // are six prompts.
    const unsigned int prompts = prompt_counter;
    serial_connected = 1;
    start_thread();
    EXPECT_TRUE(wait_for([prompts] { return prompt_counter - prompts >= 6; }, milliseconds(5000)))
        << "the taken port did not fail three starts";
    EXPECT_FALSE(http_server.is_running());
    ::close(blocker);

    EXPECT_TRUE(wait_for(accepts_connections, start_bound)) << "not up once the port was free";
    EXPECT_TRUE(server_answers());
    serial_connected = 0;
    EXPECT_TRUE(wait_for(server_down, stop_bound));
    server_->quit_and_join();

    const std::string seq = line_sequence(output());
    // At least three failed starts, each answered by its quit line, then the
    // one that held.
    EXPECT_TRUE(alternating(seq, 4)) << seq;
    EXPECT_EQ(lines_with_prompt(output(), quit_line), seq.size() / 2);
}

TEST_F(Web_server, ServesThePagesAndHelpDirectories)
{
    namespace fs = std::filesystem;
    Page_directories pages;
    const fs::path& dir = pages.dir;
    fs::create_directories(dir / "pages" / "sub");
    std::ofstream(dir / "pages" / "start.html") << "<p>start</p>";
    std::ofstream(dir / "pages" / "sub" / "deep.txt") << "deep";
    std::ofstream(dir / "help" / "index.html") << "<p>help</p>";
    std::ofstream(dir / "help" / "topic.html") << "<p>topic</p>";

    serial_connected = 1;
    start_thread();
    ASSERT_TRUE(server_answers());
    auto c = client();
    auto r = c->Get("/start.html");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, "<p>start</p>");
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/html");
    r = c->Get("/sub/deep.txt");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "deep");
    r = c->Get("/help/topic.html");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "<p>topic</p>");
    r = c->Get("/help/");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "<p>help</p>");
    r = c->Get("/missing.html");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);

    // Nothing outside the two directories, on any system: a path that
    // holds "\", ":" or a NUL byte, or a segment of dots such as "..",
    // after percent-decoding, is missing like any other file, even where
    // (as here, for some) such a name is there to be served.
    std::ofstream(dir / "secret.txt") << "secret";
    std::ofstream(dir / "pages" / "back\\slash.txt") << "inside";
    std::ofstream(dir / "pages" / "co:lon.txt") << "inside";
    fs::create_directories(dir / "pages" / ".. ");
    std::ofstream(dir / "pages" / ".. " / "start.html") << "inside";
    const std::string missing = raw_exchange("GET /missing.html HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_TRUE(missing.starts_with("HTTP/1.1 404 Not Found\r\n")) << missing;
    for (const std::string path :
         {"/..%5c..%5csecret.txt", "/..\\..\\secret.txt", "/help/..%5c..%5csecret.txt",
          "/%2e%2e%5c%2e%2e%5csecret.txt", "/../secret.txt", "/help/../../secret.txt", "/sub/../start.html",
          "/%2e%2e/secret.txt", "/back%5cslash.txt", "/co:lon.txt", "/co%3alon.txt", "/start.html%00.txt",
          "/..%20/start.html", "/.../start.html", "/C:/Windows/win.ini"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(raw_exchange("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n"), missing);
    }
    EXPECT_EQ(c->Get("/start.html")->body, "<p>start</p>");

    server_->quit_and_join();
}

// A path of up to 255 characters is looked up like any other, on a route
// or among the pages; one of 256 is refused (414) before either, also where
// its page is there.
TEST_F(Web_server, PathsOfUpTo255CharactersAreServedLongerOnesGet414)
{
    Page_directories pages;
    const std::string fits = "/" + std::string(254, 'f');
    const std::string too_long = "/" + std::string(255, 'l');
    std::ofstream(pages.dir / "pages" / fits.substr(1)) << "fits";
    std::ofstream(pages.dir / "pages" / too_long.substr(1)) << "too long";
    // "/api/gpio/grd/" and pin 64 in as many digits as the length takes.
    const auto pin_path = [](std::size_t length) { return "/api/gpio/grd/" + std::string(length - 16, '0') + "64"; };
    serial_connected = 1;
    start_thread();
    ASSERT_TRUE(server_answers());

    const auto get = [](const std::string& path) {
        return raw_exchange("GET " + path + " HTTP/1.1\r\nHost: localhost:8088\r\n\r\n");
    };
    const std::string page = get(fits);
    EXPECT_TRUE(page.starts_with("HTTP/1.1 200 OK\r\n")) << page;
    EXPECT_EQ(body_of(page), "fits");
    EXPECT_TRUE(is_invalid_pin_answer(get(pin_path(255))));
    for (const std::string& path : {too_long, pin_path(256)}) {
        SCOPED_TRACE(path.size());
        const std::string raw = get(path);
        EXPECT_TRUE(raw.starts_with("HTTP/1.1 414 URI Too Long\r\n")) << raw;
    }
}

// One range of a page is served as asked (206). More than one, overlapping
// or not, is served as if the Range header were not there: the whole page,
// once, however many ranges the head can hold; so is an answer never much
// larger than the page. So is a Range longer than any one range needs. The
// connection is kept in every case.
TEST_F(Web_server, SeveralRangesGetTheWholePageOnce)
{
    Page_directories pages;
    std::string page(5000, ' ');
    for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<char>('a' + i % 26);
    std::ofstream(pages.dir / "pages" / "page.txt") << page;
    serial_connected = 1;
    start_thread();
    ASSERT_TRUE(server_answers());

    std::string many = "bytes=0-";
    for (int i = 1; i < 2600; ++i) many += ",0-";
    struct Case {
        std::string ranges;
        std::string status_line;
        std::string body;
    };
    const Case cases[] = {
        {many, "HTTP/1.1 200 OK\r\n", page},
        {"bytes=0-9,20-29", "HTTP/1.1 200 OK\r\n", page},
        {"bytes=0-99,50-149", "HTTP/1.1 200 OK\r\n", page},
        {"bytes=-10,4990-", "HTTP/1.1 200 OK\r\n", page},
        {"bytes=" + std::string(7000, '0') + "10-19", "HTTP/1.1 200 OK\r\n", page},
        {"bytes=10-19", "HTTP/1.1 206 Partial Content\r\n", page.substr(10, 10)},
        {"bytes=4990-", "HTTP/1.1 206 Partial Content\r\n", page.substr(4990)},
        {"bytes=-10", "HTTP/1.1 206 Partial Content\r\n", page.substr(4990)},
    };
    int fd = connect_loopback();
    ASSERT_GE(fd, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ranges.substr(0, 40));
        ASSERT_TRUE(send_all(fd, "GET /page.txt HTTP/1.1\r\nHost: localhost:8088\r\nRange: " + c.ranges + "\r\n\r\n"));
        const std::string raw = read_answer(fd);
        EXPECT_TRUE(raw.starts_with(c.status_line)) << raw.substr(0, 300);
        EXPECT_TRUE(body_of(raw) == c.body) << raw.size() << " bytes: " << raw.substr(0, 300);
        EXPECT_NE(raw.find("\r\nKeep-Alive: "), std::string::npos) << raw.substr(0, 300);
        EXPECT_EQ(raw.find("Content-Range: ") == std::string::npos, c.body == page) << raw.substr(0, 300);
    }
    ::close(fd);
}

// A body of up to 4096 bytes reaches its route; one byte more is refused
// (413) before any of it is read. A client that sends its whole request
// before it reads gets its answer, also when the body is far larger: what
// it sends after the refusal is read and dropped, so the connection is not
// reset under the answer.
TEST_F(Web_server, BodiesUpToTheLimitReachTheirRouteLargerOnesGet413)
{
    serial_connected = 1;
    start_thread();
    ASSERT_TRUE(server_answers());
    // {"value":1} and blanks: a body of `size` bytes that the route parses.
    const auto post_of = [](std::size_t size) {
        const std::string json = R"({"value":1})";
        return "POST /api/gpio/gwd/64 HTTP/1.1\r\nHost: localhost:8088\r\nContent-Length: " + std::to_string(size) +
               "\r\n\r\n" + json + std::string(size - json.size(), ' ');
    };
    for (const std::size_t size : {std::size_t{4096}, std::size_t{4097}, std::size_t{16} << 20}) {
        SCOPED_TRACE(size);
        int fd = connect_loopback();
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(send_all(fd, post_of(size))) << "reset while sending its request";
        if (size == 4096) {
            // The route read the body: it got as far as the pin.
            const std::string raw = read_answer(fd);
            EXPECT_TRUE(raw.starts_with("HTTP/1.1 400 Bad Request\r\n")) << raw;
            EXPECT_EQ(body_of(raw), R"({"error":"Invalid pin"})");
            EXPECT_TRUE(send_all(fd, invalid_pin_request)) << "connection not kept";
            EXPECT_TRUE(is_invalid_pin_answer(read_answer(fd)));
        } else {
            const std::optional<std::string> raw = read_to_close(fd);
            ASSERT_TRUE(raw) << "the connection stayed open";
            EXPECT_TRUE(raw->starts_with("HTTP/1.1 413 Payload Too Large\r\n")) << *raw;
            EXPECT_NE(raw->find("\r\nConnection: close\r\n"), std::string::npos) << *raw;
        }
        ::close(fd);
    }
}

// Makes the next listens slow to get their socket, and has `decide` run in
// that moment, after http_server_running has become 1 and before the
// library marks itself running, where a plain stop() would be lost. The
// supervisor passes (every 100 ms) while the start is held up.
void hold_up_the_start(std::function<void()> decide)
{
    http_server.set_socket_options([decide](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        decide();
        std::this_thread::sleep_for(milliseconds(250));
    });
}

TEST_F(Web_server, StopDecidedWhileStartingTakesEffect)
{
    serial_connected = 1;
    start_thread();
    ASSERT_TRUE(wait_for(accepts_connections, start_bound));
    // Held down while the slow start is put in place.
    http_stop_request = 1;
    ASSERT_TRUE(wait_for(server_down, stop_bound));

    // The link goes down, then "http_stop" comes, while the server starts.
    struct Variant {
        const char* what;
        std::function<void()> decide;
        std::function<void()> let_it_start;
        std::atomic<int>& flag;
        int decided;
    };
    const Variant variants[] = {
        {"the link went down", [] { serial_connected = 0; }, [] { http_stop_request = 0; }, serial_connected, 0},
        {"http_stop", [] { http_stop_request = 1; }, [] { serial_connected = 1; }, http_stop_request, 1},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        hold_up_the_start(v.decide);
        // The start line's prompt, then, once the listen has ended, the
        // quit line's.
        const unsigned int prompts = prompt_counter;
        v.let_it_start();
        EXPECT_TRUE(wait_for([&] { return v.flag == v.decided; }, milliseconds(2000)));
        EXPECT_TRUE(wait_for([prompts] { return prompt_counter - prompts >= 2; }, milliseconds(3000)))
            << "the stop was lost";
        EXPECT_TRUE(server_down()) << "serving after " << v.what;
    }

    // Quitting while it is starting: the supervisor ends in the meantime,
    // and still the listen ends and the thread with it.
    hold_up_the_start([] { ui_mode = 2; });
    http_stop_request = 0;
    EXPECT_TRUE(wait_for([&] { return server_->ended(); }, milliseconds(2000))) << "the web-server thread hangs";
    EXPECT_TRUE(server_down());

    must_end(*server_, milliseconds(3000), "quit while starting");
    // Every start, also the held-up ones, has its quit line.
    EXPECT_EQ(line_sequence(output()), "SQSQSQSQ") << output();
}

// Quitting at any moment ends the thread with no server left behind, also
// when the quit lands while the server is starting. The loop and the
// supervisor wake at nearly the same moments (both sleep 100 ms from the
// thread's start), so quits around 100 ms fall into the start itself.
TEST_F(Web_server, QuitAtRandomMomentsAlwaysEnds)
{
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> around_start(85, 125);
    std::uniform_int_distribution<int> anywhere(0, 300);
    serial_connected = 1;
    for (int cycle = 0; cycle < 24; ++cycle) {
        const int at = cycle % 3 == 2 ? anywhere(random) : around_start(random);
        Web_server_thread server(0);
        std::this_thread::sleep_for(milliseconds(at));
        must_end(server, milliseconds(3000), "quit at " + std::to_string(at) + " ms");
        EXPECT_FALSE(http_server.is_running()) << "cycle " << cycle;
        EXPECT_FALSE(accepts_connections()) << "cycle " << cycle;
    }
    const std::string seq = line_sequence(output());
    EXPECT_TRUE(alternating(seq, 0)) << seq;
}

// Connects, disconnects, http_stop and http_run at random moments; each
// stop, also one that lands while the server is starting, takes effect.
TEST_F(Web_server, StopsAtRandomMomentsAreNeverLost)
{
    std::mt19937 random(54321);
    std::uniform_int_distribution<int> pause(0, 130);
    std::bernoulli_distribution coin(0.5);
    start_thread();
    for (int step = 0; step < 50; ++step) {
        if (coin(random))
            serial_connected = serial_connected == 1 ? 0 : 1;
        else
            http_stop_request = http_stop_request == 1 ? 0 : 1;
        std::this_thread::sleep_for(milliseconds(pause(random)));
    }

    // Wherever that left it, the server follows the final state.
    serial_connected = 1;
    http_stop_request = 0;
    EXPECT_TRUE(wait_for(accepts_connections, start_bound));
    http_stop_request = 1;
    EXPECT_TRUE(wait_for(server_down, stop_bound));
    EXPECT_TRUE(server_->made_passes(2));
    EXPECT_FALSE(accepts_connections()) << "a stopped server came back";
    http_stop_request = 0;
    EXPECT_TRUE(wait_for(accepts_connections, start_bound));
    serial_connected = 0;
    EXPECT_TRUE(wait_for(server_down, stop_bound));

    must_end(*server_, milliseconds(3000), "after the random stops");
    const std::string seq = line_sequence(output());
    EXPECT_TRUE(alternating(seq, 1)) << seq;
}

}  // namespace
