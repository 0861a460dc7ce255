// Windows backend of the connection socket layer (Winsock, started by the
// HTTP library).
#ifdef _WIN32

#include "socket_io.h"

#include <climits>

namespace socket_io {

namespace {

Wait wait_for(socket_t sock, short events, int timeout_ms)
{
    for (;;) {
        WSAPOLLFD p{};
        p.fd = sock;
        p.events = events;
        const int r = ::WSAPoll(&p, 1, timeout_ms);
        if (r > 0) return (p.revents & POLLNVAL) != 0 ? Wait::failed : Wait::ready;
        if (r == 0) return Wait::timed_out;
        if (::WSAGetLastError() != WSAEINTR) return Wait::failed;
    }
}

int clamp(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

bool would_block() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }

}  // namespace

void set_up_connection(socket_t sock)
{
    BOOL yes = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
    u_long non_blocking = 1;
    ::ioctlsocket(sock, FIONBIO, &non_blocking);
}

Wait wait_readable(socket_t sock, int timeout_ms) { return wait_for(sock, POLLRDNORM, timeout_ms); }

Wait wait_writable(socket_t sock, int timeout_ms) { return wait_for(sock, POLLWRNORM, timeout_ms); }

long receive(socket_t sock, char* buffer, std::size_t size)
{
    const int n = ::recv(sock, buffer, clamp(size), 0);
    if (n >= 0) return n;
    return would_block() ? nothing_yet : -1;
}

// Windows raises no signal for a closed peer.
long send_some(socket_t sock, const char* data, std::size_t size)
{
    const int n = ::send(sock, data, clamp(size), 0);
    if (n >= 0) return n;
    return would_block() ? 0 : -1;
}

void stop_sending(socket_t sock) { ::shutdown(sock, SD_SEND); }

void close_connection(socket_t sock)
{
    ::shutdown(sock, SD_BOTH);
    ::closesocket(sock);
}

}  // namespace socket_io

#endif  // _WIN32
