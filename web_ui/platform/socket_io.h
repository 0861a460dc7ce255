#pragma once
// Platform layer under the web server's connections: the few socket calls a
// connection makes, the same on every system. Each backend lives in a file
// of its own (socket_io_posix.cpp, socket_io_win32.cpp).
//
// Interface summary
//   set_up_connection(s)   small writes go out at once (no Nagle delay), and
//                          no receive or send ever blocks: the waits below
//                          do all the waiting, so a stop is never stuck in
//                          a socket call
//   wait_readable(s, ms)   waits up to ms for data (or the peer's close)
//   wait_writable(s, ms)   waits up to ms for room to send
//   receive(s, buf, n)     one receive of what is there: the count, 0 when
//                          the peer has closed, nothing_yet when no byte is
//                          there
//   send_some(s, buf, n)   one send of what there is room for: the count,
//                          0 when there is no room; never raises a signal
//   stop_sending(s)        the peer sees the end of our data; receiving goes on
//   close_connection(s)    shuts the connection down both ways and closes it
//
// The waits return Wait::ready, Wait::timed_out or Wait::failed; an
// interrupted wait is retried inside. receive and send_some return -1 on
// failure. None prints anything.
#include <cstddef>

#include <httplib.h>  // socket_t and the system's socket headers

namespace socket_io {

enum class Wait { ready, timed_out, failed };

inline constexpr long nothing_yet = -2;

void set_up_connection(socket_t sock);
Wait wait_readable(socket_t sock, int timeout_ms);
Wait wait_writable(socket_t sock, int timeout_ms);
long receive(socket_t sock, char* buffer, std::size_t size);
long send_some(socket_t sock, const char* data, std::size_t size);
void stop_sending(socket_t sock);
void close_connection(socket_t sock);

}  // namespace socket_io
