// Requests per second and median latency of the digital-read route with 1, 4
// and 16 concurrent clients, over loopback HTTP, against a simulated board
// that answers at once. Each request is one board exchange, exchanges go one
// at a time and each ends only after the link's 5 ms inter-byte silence, so
// about 200 requests per second is the ceiling whatever the client count.
// The clients keep their connections, as browsers do; the bare exchange (the
// same read without HTTP) is measured beside them.
// Then the time a stop takes ("http_stop" until listen has returned), with
// no connection open, with a browser's worth of idle connections and one
// half-sent request open, with a client open that reads nothing of a large
// answer, and with five reads waiting on a silent board.
//
//   bench_web [seconds per client count, default 3]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "web_bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Level {
    explicit Level(int n) : clients(n) {}
    int clients;
    long requests = 0;
    long failures = 0;
    double seconds = 0;
    std::vector<double> latencies_ms;
};

void run_level(Level& level, std::chrono::duration<double> length)
{
    std::mutex mutex;
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(length);
    for (int c = 0; c < level.clients; ++c) {
        threads.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", 8088);
            client.set_keep_alive(true);
            const std::string path = "/api/gpio/grd/" + std::to_string(c % 64);
            std::vector<double> mine;
            long failed = 0;
            while (Clock::now() < end) {
                const auto t0 = Clock::now();
                auto r = client.Get(path);
                const auto t1 = Clock::now();
                if (!r || r->status != 200) {
                    ++failed;
                    continue;
                }
                mine.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
            }
            std::lock_guard<std::mutex> lock(mutex);
            level.latencies_ms.insert(level.latencies_ms.end(), mine.begin(), mine.end());
            level.failures += failed;
        });
    }
    for (auto& t : threads) t.join();
    level.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    level.requests = static_cast<long>(level.latencies_ms.size());
    std::sort(level.latencies_ms.begin(), level.latencies_ms.end());
}

double median_exchange_ms(int count)
{
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        run_server_command("g5rd");
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

int connect_loopback()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(8088);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A page far larger than the sockets' buffers: a client that reads nothing
// of it keeps its worker writing.
constexpr const char* large_page = "large.bin";
constexpr std::size_t large_page_size = 32 << 20;

// Milliseconds from "http_stop" until listen has returned, after opening
// `idle` silent connections, `half` connections with half a request and
// `not_reading` that asked for the large page and read nothing.
double stop_ms(int idle, int half, int not_reading)
{
    http_stop_request = 0;
    if (!server_up()) return -1;
    const std::string large_request = std::string("GET /") + large_page + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    std::vector<int> fds;
    for (int i = 0; i < idle + half + not_reading; ++i) {
        int fd = connect_loopback();
        if (fd >= 0 && i >= idle + half) {
            // Once its answer has begun, the worker is writing.
            pollfd answer_begun{fd, POLLIN, 0};
            if (::send(fd, large_request.data(), large_request.size(), MSG_NOSIGNAL) > 0)
                ::poll(&answer_begun, 1, 5000);
        } else if (fd >= 0 && i >= idle)
            (void)!::send(fd, "G", 1, MSG_NOSIGNAL);
        fds.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto t0 = Clock::now();
    http_stop_request = 1;
    while (http_server.is_running()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
    return ms;
}

// Milliseconds from "http_stop" until listen has returned while `reads`
// digital reads wait on a silent board, one of them in its exchange; and
// how many instructions reached the board after the stop was asked for.
std::pair<double, std::size_t> stop_with_waiting_reads_ms(Sim_board& sim, int reads)
{
    http_stop_request = 0;
    if (!server_up()) return {-1, 0};
    sim.set_silent(true);
    sim.clear_received();
    std::vector<std::thread> clients;
    for (int i = 0; i < reads; ++i) {
        clients.emplace_back([i] {
            httplib::Client client("127.0.0.1", 8088);
            client.set_read_timeout(30, 0);
            client.Get("/api/gpio/grd/" + std::to_string(i + 1));
        });
    }
    sim.wait_for_instructions(1, std::chrono::seconds(5));
    // The other reads reach the link's lock meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto t0 = Clock::now();
    http_stop_request = 1;
    while (http_server.is_running()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    for (auto& t : clients) t.join();
    const std::size_t after = sim.instructions().size() - 1;
    sim.set_silent(false);
    return {ms, after};
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;

    Bench_pages pages({{large_page, large_page_size}});
    std::optional<Bench_web_server> server(std::in_place);
    if (!server->up()) return 1;
    Sim_board& sim = server->sim();

    std::vector<Level> levels = {Level(1), Level(4), Level(16)};
    for (Level& level : levels) run_level(level, std::chrono::duration<double>(seconds));
    const double bare_ms = median_exchange_ms(200);
    // The supervisor looks every 100 ms, so a stop takes 0 to 100 ms before
    // it is decided; the median of several shows the usual figure.
    std::vector<double> stops_none, stops_open, stops_unread;
    for (int i = 0; i < 7; ++i) {
        stops_none.push_back(stop_ms(0, 0, 0));
        stops_open.push_back(stop_ms(6, 1, 0));
        stops_unread.push_back(stop_ms(0, 0, 1));
    }
    std::sort(stops_none.begin(), stops_none.end());
    std::sort(stops_open.begin(), stops_open.end());
    std::sort(stops_unread.begin(), stops_unread.end());
    std::vector<std::pair<double, std::size_t>> stops_silent;
    for (int i = 0; i < 3; ++i) stops_silent.push_back(stop_with_waiting_reads_ms(sim, 5));

    server.reset();

    std::fprintf(stderr, "digital-read route, %.1f s per client count (ceiling about 200/s: one exchange at a time, 5 ms silence each)\n",
                 seconds);
    std::fprintf(stderr, "%8s %10s %12s %12s %12s %9s\n", "clients", "requests", "requests/s", "median ms",
                 "p90 ms", "failures");
    bool failed = false;
    for (const Level& l : levels) {
        const auto& v = l.latencies_ms;
        std::fprintf(stderr, "%8d %10ld %12.1f %12.2f %12.2f %9ld\n", l.clients, l.requests,
                     l.requests / l.seconds, v.empty() ? 0.0 : v[v.size() / 2],
                     v.empty() ? 0.0 : v[v.size() * 9 / 10], l.failures);
        failed = failed || l.failures > 0 || v.empty();
    }
    std::fprintf(stderr, "bare board exchange (no HTTP): median %.2f ms\n", bare_ms);
    std::fprintf(stderr, "stop (http_stop until listen returned), median of %zu [min, max]:\n", stops_none.size());
    std::fprintf(stderr, "  no connection open:                  %7.1f ms [%.1f, %.1f]\n",
                 stops_none[stops_none.size() / 2], stops_none.front(), stops_none.back());
    std::fprintf(stderr, "  6 idle + 1 half-sent request open:   %7.1f ms [%.1f, %.1f]\n",
                 stops_open[stops_open.size() / 2], stops_open.front(), stops_open.back());
    std::fprintf(stderr, "  1 client not reading its answer:     %7.1f ms [%.1f, %.1f]\n",
                 stops_unread[stops_unread.size() / 2], stops_unread.front(), stops_unread.back());
    std::fprintf(stderr, "stop with 5 reads waiting on a silent board (target: about 2.2 s, at most the one\n"
                         "instruction under way after the stop):\n");
    for (const auto& [ms, after] : stops_silent) {
        std::fprintf(stderr, "  %7.1f ms, %zu instructions after the stop\n", ms, after);
        failed = failed || ms < 0;
    }
    failed = failed || stops_none.front() < 0 || stops_open.front() < 0 || stops_unread.front() < 0;
    return failed ? 1 : 0;
}
