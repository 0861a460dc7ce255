#pragma once
// A pseudo-terminal pair for a simulated peer of the serial link.
//
// The slave side is made raw at once, so nothing the peer writes is echoed
// back to it before the program under test sets the line up, and the slave
// descriptor is kept open by the peer, so the master stays readable (no EIO)
// while the program has the port closed between connects. In packet mode the
// master also learns when the program purges the line, as it does on opening
// the port.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include <stdexcept>
#include <string>
#include <vector>

struct Raw_pty {
    int master = -1;
    int slave = -1;
    std::string path;  // the slave side, what the program opens
};

inline Raw_pty open_raw_pty(bool packet_mode)
{
    // Both sides close-on-exec from the start (openpty() cannot ask for
    // that): a program the test starts must not hold the board's side of
    // the line, or the board could never hang up on it.
    Raw_pty p;
    p.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (p.master < 0 || ::grantpt(p.master) != 0 || ::unlockpt(p.master) != 0 ||
        ::ptsname_r(p.master, name, sizeof name) != 0)
        throw std::runtime_error("pseudo-terminal failed");
    p.path = name;
    p.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.slave < 0) throw std::runtime_error("pseudo-terminal slave failed");
    termios t{};
    ::tcgetattr(p.slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(p.slave, TCSANOW, &t);
    int on = 1;
    if (packet_mode && ::ioctl(p.master, TIOCPKT, &on) != 0)
        throw std::runtime_error("packet mode failed");
    return p;
}

// Writes every byte on the master side, waiting for room when the line's
// buffer is full. False when the line has gone.
inline bool write_all(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
        } else {
            return false;
        }
    }
    return true;
}
