// How much processor the program uses while the operator thinks: started
// as usual, left at its prompt in Client mode (the browser launcher and the
// web-server loop waiting), then in Server mode without a board once the
// browser has been started. Prints the share of one core for each.
//
// Usage: bench_console_idle [seconds per phase, default 5]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "program_driver.h"

namespace {

double share_of_core(Program_driver& program, double seconds)
{
    const double before = program.cpu_seconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return (program.cpu_seconds() - before) / seconds * 100.0;
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    Program_driver program;
    if (!program.read_until("[0] > ")) {
        std::fprintf(stderr, "the program did not show its first prompt\n");
        return 1;
    }
    const double client = share_of_core(program, seconds);

    program.send_line("s");
    if (!program.wait_browser_calls(1, std::chrono::seconds(5))) {
        std::fprintf(stderr, "the browser was not started\n");
        return 1;
    }
    const double server = share_of_core(program, seconds);

    program.send_line("qq");
    program.wait_exit();
    std::printf("idle CPU, Client mode:             %6.3f %% of one core over %.1f s\n", client, seconds);
    std::printf("idle CPU, Server mode, no board:   %6.3f %% of one core over %.1f s\n", server, seconds);
    return 0;
}
