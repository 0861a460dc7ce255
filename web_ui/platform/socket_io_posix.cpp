// POSIX backend of the connection socket layer.
#ifndef _WIN32

#include "socket_io.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace socket_io {

namespace {

Wait wait_for(socket_t sock, short events, int timeout_ms)
{
    for (;;) {
        pollfd p{sock, events, 0};
        const int r = ::poll(&p, 1, timeout_ms);
        if (r > 0) {
            // A closed peer or a reset shows as readable: the receive that
            // follows reports it.
            return (p.revents & POLLNVAL) != 0 ? Wait::failed : Wait::ready;
        }
        if (r == 0) return Wait::timed_out;
        if (errno != EINTR) return Wait::failed;
    }
}

bool would_block() { return errno == EAGAIN || errno == EWOULDBLOCK; }

}  // namespace

void set_up_connection(socket_t sock)
{
    int yes = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    const int flags = ::fcntl(sock, F_GETFL, 0);
    if (flags != -1) ::fcntl(sock, F_SETFL, flags | O_NONBLOCK);
}

Wait wait_readable(socket_t sock, int timeout_ms) { return wait_for(sock, POLLIN, timeout_ms); }

Wait wait_writable(socket_t sock, int timeout_ms) { return wait_for(sock, POLLOUT, timeout_ms); }

long receive(socket_t sock, char* buffer, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::recv(sock, buffer, size, 0);
        if (n >= 0) return static_cast<long>(n);
        if (would_block()) return nothing_yet;
        if (errno != EINTR) return -1;
    }
}

long send_some(socket_t sock, const char* data, std::size_t size)
{
    for (;;) {
        // MSG_NOSIGNAL: a browser gone before its answer must not end the
        // program with SIGPIPE.
        const ssize_t n = ::send(sock, data, size, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (would_block()) return 0;
        if (errno != EINTR) return -1;
    }
}

void stop_sending(socket_t sock) { ::shutdown(sock, SHUT_WR); }

void close_connection(socket_t sock)
{
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
}

}  // namespace socket_io

#endif  // _WIN32
