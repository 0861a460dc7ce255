// Exchanges per second and the time of one exchange through the whole board
// link (dispatcher, encoder, sender, serial link, pseudo-terminal) against a
// simulated board that answers at once. Every answer ends only after the
// link's 5 ms inter-byte silence, so about 200 exchanges per second is the
// ceiling on any machine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <vector>

#include "board_link/halcyr_transcoder.h"
#include "board_link/qn_commands.h"
#include "sim_board.h"

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 400;
    Sim_board sim;
    {
        std::lock_guard<std::mutex> lock(link_mutex());
        serial_link.open(sim.device_path());
    }
    if (serial_link.get_connection_state().state != 1) {
        std::cerr << "could not open the simulated board\n";
        return 1;
    }
    serial_connected = 1;

    // The frame sender draws a prompt after each exchange; keep it off the
    // report.
    std::ostringstream sink;
    auto* old = std::cout.rdbuf(sink.rdbuf());
    std::vector<double> ms;
    ms.reserve(count);
    const auto start = std::chrono::steady_clock::now();
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        Server_response r = run_server_command(i % 2 ? "g5rd" : "sta");
        const auto t1 = std::chrono::steady_clock::now();
        if (r.first.empty()) ++failures;
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        sink.str("");
    }
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout.rdbuf(old);

    std::sort(ms.begin(), ms.end());
    std::printf("exchanges: %d (%d without answer)\n", count, failures);
    std::printf("exchanges per second: %.1f\n", count / total);
    std::printf("median exchange: %.2f ms, p90 %.2f ms, max %.2f ms (floor: 5 ms silence)\n",
                ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.back());
    {
        std::lock_guard<std::mutex> lock(link_mutex());
        serial_link.close();
    }
    return failures == 0 ? 0 : 1;
}
