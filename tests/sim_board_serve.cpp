// The simulated board as a program of its own, for test programs that cannot
// hold one in their own process (the Windows tests under wine reach it as a
// COM port).
//
//   sim_board_serve [--echo]
//
// Prints the pseudo-terminal's path on a line of its own, then answers until
// its standard input closes (or it is signalled). --echo: every instruction
// is answered with exactly the bytes received for it.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "sim_board.h"

int main(int argc, char** argv)
{
    bool echo = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--echo") == 0) {
            echo = true;
        } else {
            std::fprintf(stderr, "usage: %s [--echo]\n", argv[0]);
            return 2;
        }
    }
    try {
        Sim_board board;
        board.set_echo(echo);
        std::printf("%s\n", board.device_path().c_str());
        std::fflush(stdout);
        char sink[64];
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, sink, sizeof sink);
            if (n == 0 || (n < 0 && errno != EINTR)) break;
        }
        std::fprintf(stderr, "sim_board_serve: %zu instructions answered\n", board.instructions().size());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sim_board_serve: %s\n", e.what());
        return 1;
    }
    return 0;
}
