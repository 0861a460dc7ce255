#pragma once
// A bare pseudo-terminal for the serial link's own tests: the test plays the
// board by hand on the master side.
//
// Interface summary
//   Pty_peer(mode)       opens the pair; path() is what the link opens
//   send(bytes)          the board says something
//   receive(n, timeout)  what the link wrote, up to n bytes
//   hang_up()            the board goes away: the line is hung up
//
// In Mode::greet_purge a thread on the master side watches the line in
// packet mode and answers every purge (the link's open ends with one) with
// one byte, as a board that greets the raised DTR would. The open's draining
// read then ends within milliseconds instead of waiting out its 2 s time-out.
// Mode::plain starts no thread, so a test may fork.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "raw_pty.h"

class Pty_peer {
public:
    using Bytes = std::vector<std::uint8_t>;
    enum class Mode { plain, greet_purge };

    explicit Pty_peer(Mode mode = Mode::plain) : mode_(mode)
    {
        Raw_pty pty = open_raw_pty(mode_ == Mode::greet_purge);
        master_ = pty.master;
        slave_keep_ = pty.slave;
        path_ = pty.path;
        if (mode_ == Mode::greet_purge) {
            if (::pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
            thread_ = std::thread([this] { watch(); });
        }
    }

    ~Pty_peer()
    {
        stop_thread();
        close_fd(master_);
        close_fd(slave_keep_);
    }

    Pty_peer(const Pty_peer&) = delete;
    Pty_peer& operator=(const Pty_peer&) = delete;

    const std::string& path() const { return path_; }

    void send(const Bytes& bytes)
    {
        if (!write_all(master_, bytes)) throw std::runtime_error("peer write failed");
    }

    // What the link wrote, until n bytes have come or `timeout` has passed.
    Bytes receive(std::size_t n, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        if (mode_ == Mode::greet_purge) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_until(lock, deadline, [&] { return received_.size() >= n; });
            Bytes got(received_.begin(), received_.begin() + std::min(n, received_.size()));
            received_.erase(received_.begin(), received_.begin() + got.size());
            return got;
        }
        Bytes got;
        while (got.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{master_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            std::uint8_t buf[4096];
            const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }

    void hang_up()
    {
        stop_thread();
        close_fd(master_);
        close_fd(slave_keep_);
    }

private:
    static void close_fd(int& fd)
    {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }

    void stop_thread()
    {
        if (!thread_.joinable()) return;
        const char c = 's';
        (void)!::write(stop_[1], &c, 1);
        thread_.join();
        close_fd(stop_[0]);
        close_fd(stop_[1]);
    }

    void watch()
    {
        for (;;) {
            pollfd fds[2] = {{stop_[0], POLLIN, 0}, {master_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if (fds[0].revents != 0) return;
            if ((fds[1].revents & POLLIN) == 0) continue;
            std::uint8_t buf[4097];
            const ssize_t r = ::read(master_, buf, sizeof buf);
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (r <= 0) return;
            if (buf[0] != TIOCPKT_DATA) {
                // A status packet: the link flushed its input queue.
                if (buf[0] & TIOCPKT_FLUSHREAD) send({0x55});
                continue;
            }
            const std::lock_guard<std::mutex> lock(mutex_);
            received_.insert(received_.end(), buf + 1, buf + r);
            changed_.notify_all();
        }
    }

    Mode mode_;
    int master_ = -1;
    int slave_keep_ = -1;  // keeps the line up while the link has it closed
    int stop_[2] = {-1, -1};
    std::string path_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Bytes received_;
};
