// Requests per second and median latency of the digital-read route with 1, 4
// and 16 concurrent clients, over loopback HTTP, against a simulated board
// that answers at once. Each request is one board exchange, exchanges go one
// at a time and each ends only after the link's 5 ms inter-byte silence, so
// about 200 requests per second is the ceiling whatever the client count.
//
//   bench_web [seconds per client count, default 3]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "board_link/halcyr_transcoder.h"
#include "board_link/shared_flags.h"
#include "sim_board.h"
#include "web_ui/web_server.h"

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

bool server_up()
{
    for (int i = 0; i < 200; ++i) {
        httplib::Client client("127.0.0.1", 8088);
        auto r = client.Get("/api/gpio/grd/64");
        if (r && r->status == 400) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;

    // The console lines of every exchange (prompts, the server's start and
    // quit lines) would drown the report: standard output goes nowhere while
    // the server runs, the report goes to standard error.
    std::fflush(stdout);
    const int console = ::dup(1);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);

    Sim_board sim;
    {
        std::lock_guard<std::mutex> lock(link_mutex());
        serial_link.open(sim.device_path());
    }
    if (serial_link.get_connection_state().state != 1) {
        std::fprintf(stderr, "could not open the simulated board\n");
        return 1;
    }
    serial_connected = 1;
    ui_mode = 0;
    std::thread web(main_webserver);
    if (!server_up()) {
        std::fprintf(stderr, "the web server did not come up on 127.0.0.1:8088\n");
        ui_mode = 2;
        web.join();
        return 1;
    }

    std::vector<Level> levels = {Level(1), Level(4), Level(16)};
    for (Level& level : levels) run_level(level, std::chrono::duration<double>(seconds));

    ui_mode = 2;
    web.join();
    {
        std::lock_guard<std::mutex> lock(link_mutex());
        serial_link.close();
    }
    std::fflush(stdout);
    ::dup2(console, 1);

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
    return failed ? 1 : 0;
}
