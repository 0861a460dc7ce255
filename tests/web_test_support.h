#pragma once
// Helpers shared by the web UI tests: the web-server thread run in this test
// process, HTTP on loopback (the library's client and raw sockets), and
// waiting with a deadline.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "board_link/shared_flags.h"
#include "raw_http.h"
#include "web_ui/web_server.h"

namespace web_test {

// Polls `done` every millisecond until it holds or `limit` has passed;
// returns how long it took, or nothing.
inline std::optional<milliseconds> wait_for(const std::function<bool()>& done, milliseconds limit)
{
    const auto start = Clock::now();
    for (;;) {
        if (done()) return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        if (Clock::now() - start > limit) return std::nullopt;
        std::this_thread::sleep_for(milliseconds(1));
    }
}

// Runs `action` with its console output left out of the test's log.
void quietly(const std::function<void()>& action)
{
    testing::internal::CaptureStdout();
    action();
    testing::internal::GetCapturedStdout();
}

inline std::unique_ptr<httplib::Client> client(const std::string& host = "127.0.0.1")
{
    auto c = std::make_unique<httplib::Client>(host, port);
    c->set_connection_timeout(std::chrono::seconds(2));
    c->set_read_timeout(std::chrono::seconds(10));
    return c;
}

// Another server on 127.0.0.1:8088 with the options the HTTP library sets
// by default (SO_REUSEADDR and SO_REUSEPORT): the listening socket, or -1
// when the port cannot be had.
inline int listen_like_another_server()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 5) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool accepts_connections()
{
    int fd = connect_loopback();
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// The server's ends of the connections to port 8088 in this network
// namespace (the tests run in one of their own), from /proc/net/tcp: the
// client's address and port as "0100007F:PORT" in hex, the state ("01"
// established, "0A" the listening socket) and the bytes received and not
// yet read (for the listening socket: the connections not yet accepted).
struct Server_end {
    std::string remote;
    std::string state;
    std::size_t received = 0;
};

inline std::vector<Server_end> server_ends()
{
    std::vector<Server_end> ends;
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        if (!local.ends_with(":1F98")) continue;
        ends.push_back({remote, state, std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16)});
    }
    return ends;
}

// How many of those connections are established, how many bytes their
// clients sent that the server has not yet read, and how many connections
// wait for the server to accept them.
struct Server_side {
    std::size_t connections = 0;
    std::size_t unread = 0;
    std::size_t unaccepted = 0;
};

inline Server_side server_side()
{
    Server_side side;
    for (const Server_end& end : server_ends()) {
        if (end.state == "0A") side.unaccepted += end.received;
        if (end.state != "01") continue;
        ++side.connections;
        side.unread += end.received;
    }
    return side;
}

// Waits until the server holds `n` connections and has read everything
// their clients sent: each request sent is then in its worker's hands.
inline bool server_took_everything(std::size_t n, milliseconds limit = milliseconds(5000))
{
    return wait_for(
               [n] {
                   const Server_side side = server_side();
                   return side.connections == n && side.unread == 0;
               },
               limit)
        .has_value();
}

// Waits until the server has read everything that the client of `fd` has
// sent so far: once the client has sent a byte, its connection has then been
// accepted and a worker is reading it.
inline bool server_took_everything_of(int fd, milliseconds limit = milliseconds(5000))
{
    sockaddr_in own{};
    socklen_t length = sizeof own;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &length) != 0) return false;
    char remote[16];
    std::snprintf(remote, sizeof remote, "0100007F:%04X", ntohs(own.sin_port));
    return wait_for(
               [&remote] {
                   for (const Server_end& end : server_ends())
                       if (end.remote == remote && end.state == "01") return end.received == 0;
                   return false;
               },
               limit)
        .has_value();
}

// A connection to the server once the server has accepted it, or -1 (and
// a failure) when it is not accepted within 5 s. Clients that connect
// faster than the server accepts would otherwise find its short accept
// queue full and retry a second later.
inline int connect_accepted()
{
    const int fd = connect_loopback();
    if (fd >= 0 && wait_for([] { return server_side().unaccepted == 0; }, milliseconds(5000))) return fd;
    ADD_FAILURE() << "no connection accepted within 5 s";
    if (fd >= 0) ::close(fd);
    return -1;
}

// main_webserver on its own thread, as the program runs it; the destructor
// quits (ui_mode 2) and joins, as the console does at "qq".
class Web_server_thread {
public:
    explicit Web_server_thread(int mode = 0)
    {
        ui_mode = mode;
        thread_ = std::thread([this] {
            tid_ = ::gettid();
            main_webserver();
            ended_ = true;
        });
    }
    ~Web_server_thread() { quit_and_join(); }
    Web_server_thread(const Web_server_thread&) = delete;
    Web_server_thread& operator=(const Web_server_thread&) = delete;

    // Quits and waits for the thread; how long it took to end.
    milliseconds quit_and_join()
    {
        const auto start = Clock::now();
        ui_mode = 2;
        if (thread_.joinable()) thread_.join();
        return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    }
    bool ended() const { return ended_; }

    // Waits until the web-server loop, while it waits to listen, has tested
    // the link and the stop request at least `passes` times since the call,
    // so that a start it should not make would have come. The loop sleeps
    // 100 ms before its tests, and 50 ms more after them while the link is
    // down; each sleep is one voluntary context switch of its thread. So at
    // least every other sleep is followed by the tests, and 2 * passes + 1
    // sleeps from now (the first may end a pass begun before) hold `passes`
    // of them.
    bool made_passes(int passes, milliseconds limit = milliseconds(5000)) const
    {
        if (!wait_for([this] { return tid_ != 0; }, limit)) return false;
        const auto sleeps = [this]() -> long {
            std::ifstream in("/proc/self/task/" + std::to_string(tid_) + "/status");
            for (std::string line; std::getline(in, line);)
                if (line.starts_with("voluntary_ctxt_switches:")) return std::stol(line.substr(24));
            return -1;
        };
        const long before = sleeps();
        return before >= 0 && wait_for([&] { return sleeps() >= before + 2 * passes + 1; }, limit).has_value();
    }

private:
    std::thread thread_;
    std::atomic<bool> ended_{false};
    std::atomic<pid_t> tid_{0};
};

// Waits until the server answers HTTP (a path that never reaches the board).
inline bool server_answers(milliseconds limit = milliseconds(2000))
{
    return wait_for(
               [] {
                   auto c = client();
                   c->set_connection_timeout(std::chrono::milliseconds(200));
                   auto r = c->Get("/api/gpio/grd/64");
                   return r && r->status == 400;
               },
               limit)
        .has_value();
}

// A request that the server answers at once, without the board.
inline constexpr const char* invalid_pin_request = "GET /api/gpio/grd/64 HTTP/1.1\r\nHost: localhost:8088\r\n\r\n";

// The answer to invalid_pin_request.
inline bool is_invalid_pin_answer(const std::string& raw)
{
    return raw.rfind("HTTP/1.1 400 Bad Request\r\n", 0) == 0 && body_of(raw) == R"({"error":"Invalid pin"})";
}

inline const std::string start_line = "\n[Qorvel] Server running on http://localhost:8088\n";
inline const std::string quit_line = "\n[Qorvel] Webserver quit.\n";

}  // namespace web_test
