// What slow or greedy clients cost the web server, over loopback HTTP against
// the simulated board:
//   1. 64 slow senders take every worker, a byte every 3 s: half of them the
//      head of a request, half a declared body of 4096 bytes. Beside them a
//      digital read is asked: how long until it is answered (target: about
//      10 s after the senders' first bytes), and how long after its first
//      byte each slow sender got its 408 and was closed (target: about 10 s).
//   2. The same with 64 slow writers that send their heads in pieces within
//      10 s and then their bodies a byte every 3 s: each holds its worker
//      for both limits (target: about 20 s).
//   3. 32 clients ask for a 5000-byte page with 2600 ranges in one Range
//      header and read nothing: the process's resident memory before, while
//      they are open, and after they have gone (target: a few MB at most),
//      and the size of the answer one such client gets (the page, once).
//
//   tests/own_loopback build-test/bench/bench_web_bounds
// (port 8088 of a loopback of its own; on the machine's own loopback it
// needs the port free)
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "raw_http.h"
#include "web_bench_support.h"

namespace {

using namespace web_test;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::size_t resident_kb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmRSS:")) return std::stoul(line.substr(6));
    return 0;
}

struct Slow_result {
    double cut_s = -1;  // 408 seen, after the first byte
    double closed_s = -1;
    bool answered_408 = false;
};

const std::string endless_head = "GET /api/gpio/grd/5 HTTP/1.1\r\nX-Slow: ";
const std::string body_head =
    "POST /api/gpio/gwd/5 HTTP/1.1\r\nHost: localhost:8088\r\nContent-Length: 4096\r\n\r\n";

// What a slow sender sends at each step, one step every 3 s.
using Pieces = std::string (*)(std::size_t step);

// A head that never ends, a byte at a time.
std::string endless_head_piece(std::size_t step) { return endless_head.substr(step % endless_head.size(), 1); }

// A whole head at once, then its body a byte at a time.
std::string slow_body_piece(std::size_t step) { return step == 0 ? body_head : "x"; }

// The head in four pieces, whole after 9 s, then its body a byte at a time.
std::string slow_head_and_body_piece(std::size_t step)
{
    const std::size_t quarter = (body_head.size() + 3) / 4;
    return step < 4 ? body_head.substr(step * quarter, quarter) : "x";
}

// Parts 1 and 2: 64 slow senders, sender i sending pieces[i % size]; false
// when the read beside them was not answered or a sender was not answered
// 408.
bool slow_senders(Sim_board& sim, const char* what, const std::vector<Pieces>& pieces, const char* target)
{
    constexpr int senders = 64;
    std::atomic<bool> go_on{true};
    std::vector<std::thread> threads;
    std::vector<Slow_result> results(senders);
    const auto first_connected = Clock::now();
    for (int i = 0; i < senders; ++i) {
        const Pieces piece = pieces[i % pieces.size()];
        // One at a time: the server's accept queue is short, and a client
        // that finds it full tries again only a second later.
        const int fd = connect_loopback();
        std::this_thread::sleep_for(milliseconds(10));
        threads.emplace_back([&, i, fd, piece] {
            Slow_result& r = results[i];
            if (fd < 0) return;
            const auto began = Clock::now();
            send_all(fd, piece(0));
            for (std::size_t step = 1; go_on && seconds_since(began) < 60; ++step) {
                // Wait up to 3 s for the answer, then send the next byte.
                const std::string got = read_answer(fd, milliseconds(3000));
                if (!got.empty()) {
                    r.cut_s = seconds_since(began);
                    r.answered_408 = got.starts_with("HTTP/1.1 408 ");
                    if (read_to_close(fd, milliseconds(10000))) r.closed_s = seconds_since(began);
                    break;
                }
                if (!send_all(fd, piece(step))) break;
            }
            ::close(fd);
        });
    }
    // Every worker is taken once the server has read what each sent.
    std::this_thread::sleep_for(milliseconds(500));
    sim.set_digital(5, 1);
    const auto asked = Clock::now();
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(60, 0);
    client.set_connection_timeout(60, 0);
    auto read = client.Get("/api/gpio/grd/5");
    const double read_s = seconds_since(asked);
    const double read_after_first_s = seconds_since(first_connected);
    const bool read_ok = read && read->status == 200;
    for (auto& t : threads) t.join();
    go_on = false;

    std::vector<double> cut, closed;
    int not_408 = 0;
    for (const Slow_result& r : results) {
        if (!r.answered_408) ++not_408;
        if (r.cut_s >= 0) cut.push_back(r.cut_s);
        if (r.closed_s >= 0) closed.push_back(r.closed_s);
    }
    std::sort(cut.begin(), cut.end());
    std::sort(closed.begin(), closed.end());
    std::fprintf(stderr, "64 slow senders (%s):\n", what);
    std::fprintf(stderr,
                 "  a digital read beside them: %s %.2f s after it was asked, %.2f s after the first sender's first "
                 "byte (target: about %s)\n",
                 read_ok ? "answered 200" : "NOT answered", read_s, read_after_first_s, target);
    if (!cut.empty())
        std::fprintf(stderr, "  answered after their first byte: min %.2f, median %.2f, max %.2f s; %d not 408\n",
                     cut.front(), cut[cut.size() / 2], cut.back(), not_408);
    if (!closed.empty())
        std::fprintf(stderr, "  closed after their first byte:   min %.2f, median %.2f, max %.2f s (%zu of 64)\n",
                     closed.front(), closed[closed.size() / 2], closed.back(), closed.size());
    return read_ok && not_408 == 0;
}

// Part 3; false when a many-range answer is not the page once.
bool many_ranges()
{
    constexpr int clients = 32;
    std::string request = "GET /page.txt HTTP/1.1\r\nHost: localhost:8088\r\nRange: bytes=0-";
    for (int i = 1; i < 2600; ++i) request += ",0-";
    request += "\r\n\r\n";

    const std::string one = raw_exchange(request);
    const std::size_t before = resident_kb();
    std::vector<int> fds;
    for (int i = 0; i < clients; ++i) {
        const int fd = connect_loopback();
        if (fd >= 0 && send_all(fd, request)) fds.push_back(fd);
    }
    // Each is answered as far as the sockets take it; then nobody reads.
    std::this_thread::sleep_for(milliseconds(2000));
    const std::size_t open = resident_kb();
    for (int fd : fds) ::close(fd);
    std::this_thread::sleep_for(milliseconds(2000));
    const std::size_t after = resident_kb();
    std::fprintf(stderr, "%d clients asking a 5000-byte page with 2600 ranges, reading nothing:\n", clients);
    std::fprintf(stderr, "  one such answer: %zu bytes in all, %s\n", one.size(),
                 one.starts_with("HTTP/1.1 200 ") ? "200" : one.substr(0, 12).c_str());
    std::fprintf(stderr, "  resident memory: %zu kB before, %zu kB while open (+%ld), %zu kB after they left (+%ld)\n",
                 before, open, static_cast<long>(open) - static_cast<long>(before), after,
                 static_cast<long>(after) - static_cast<long>(before));
    return one.starts_with("HTTP/1.1 200 ") && body_of(one).size() == 5000;
}

}  // namespace

int main()
{
    Bench_pages pages({{"page.txt", 5000}});
    bool ok = false;
    {
        Bench_web_server server;
        ok = server.up() &&
             slow_senders(server.sim(), "a byte every 3 s; 32 heads, 32 bodies of 4096 bytes after their heads",
                          {endless_head_piece, slow_body_piece}, "10 s") &&
             slow_senders(server.sim(), "heads in pieces within 10 s, then bodies of 4096 bytes a byte every 3 s",
                          {slow_head_and_body_piece}, "20 s") &&
             many_ranges();
    }
    return ok ? 0 : 1;
}
