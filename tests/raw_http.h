#pragma once
// HTTP on loopback port 8088 with raw sockets, byte for byte as a client
// sends it: for the web tests in this process and for the Windows run, which
// drives qorvel.exe under wine from outside.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

namespace web_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int port = 8088;

// A TCP connection to 127.0.0.1:8088, or -1 when nothing listens there.
inline int connect_loopback(int family = AF_INET)
{
    int fd = ::socket(family, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int rc;
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = in6addr_loopback;
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True once `raw` holds one whole answer: its headers and as many body
// bytes as its Content-Length says.
inline bool whole_answer(const std::string& raw)
{
    const auto end = raw.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    std::size_t length = 0;
    const auto at = raw.find("\r\nContent-Length: ");
    if (at != std::string::npos && at < end) length = std::stoul(raw.substr(at + 18));
    return raw.size() >= end + 4 + length;
}

// Reads one answer from `fd`: every byte up to the end of the first whole
// answer, the server's close, or the limit.
inline std::string read_answer(int fd, milliseconds limit = milliseconds(5000))
{
    std::string answer;
    const auto deadline = Clock::now() + limit;
    while (!whole_answer(answer)) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    return answer;
}

inline bool send_all(int fd, const std::string& bytes)
{
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Sends `request` as it stands on a new connection and returns its answer
// (see read_answer).
inline std::string raw_exchange(const std::string& request, milliseconds limit = milliseconds(5000))
{
    int fd = connect_loopback();
    if (fd < 0) return {};
    std::string answer;
    if (send_all(fd, request)) answer = read_answer(fd, limit);
    ::close(fd);
    return answer;
}

// Everything `fd` receives until the server closes the connection; nothing
// when it is still open after `limit`.
inline std::optional<std::string> read_to_close(int fd, milliseconds limit = milliseconds(10000))
{
    std::string all;
    const auto deadline = Clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return all;  // closed, or reset after its answer
        all.append(buf, static_cast<std::size_t>(n));
    }
}

// The body of a raw answer (after the blank line that ends the headers).
inline std::string body_of(const std::string& raw)
{
    auto at = raw.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : raw.substr(at + 4);
}

inline std::size_t count_of(const std::string& text, const std::string& piece)
{
    std::size_t n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

}  // namespace web_test
