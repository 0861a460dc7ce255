#include "sim_board.h"

#include "raw_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

namespace {

bool is_terminator(std::uint8_t b) { return b == 0xFE || b == 0xFD; }

}  // namespace

Sim_board::Sim_board() {
    // Packet mode tells the board when the program purges the line, which it
    // does when it opens the port; the board then greets with one byte, so
    // the program's draining read ends at once instead of after its full
    // time-out.
    Raw_pty pty = open_raw_pty(true);
    master_ = pty.master;
    slave_keep_ = pty.slave;
    path_ = pty.path;
    if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    thread_ = std::thread([this] { run(); });
}

Sim_board::~Sim_board() {
    char c = 's';
    (void)!::write(stop_pipe_[1], &c, 1);
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_ >= 0) ::close(master_);
    if (slave_keep_ >= 0) ::close(slave_keep_);
    ::close(stop_pipe_[0]);
    ::close(stop_pipe_[1]);
}

void Sim_board::script(Bytes answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(answer));
}
void Sim_board::set_silent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_ = silent;
}
void Sim_board::set_echo(bool echo) {
    std::lock_guard<std::mutex> lock(mutex_);
    echo_ = echo;
}
void Sim_board::set_identity(std::uint8_t maker, std::uint8_t board) {
    std::lock_guard<std::mutex> lock(mutex_);
    maker_ = maker;
    board_ = board;
}
void Sim_board::set_status(std::uint8_t status, std::uint8_t alarm, std::uint8_t fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_[0] = status;
    status_[1] = alarm;
    status_[2] = fault;
}
void Sim_board::set_systat(Bytes eleven_bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    systat_ = std::move(eleven_bytes);
}
void Sim_board::set_analog(int pin, std::uint16_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    analog_[pin] = value;
}
void Sim_board::set_digital(int pin, std::uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    digital_[pin] = value;
}
std::uint8_t Sim_board::digital(int pin) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = digital_.find(pin);
    return it == digital_.end() ? 0 : it->second;
}
std::uint8_t Sim_board::mode(int pin) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = mode_.find(pin);
    return it == mode_.end() ? 0 : it->second;
}
void Sim_board::set_answer_delay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    delay_ = delay;
}

void Sim_board::hang_up() {
    // The board's own thread closes the line, so no descriptor is closed
    // under a poll that still uses it.
    char c = 'h';
    (void)!::write(stop_pipe_[1], &c, 1);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return hung_up_; });
}

Bytes Sim_board::received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}
std::vector<Bytes> Sim_board::instructions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return instructions_;
}
void Sim_board::clear_received() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    instructions_.clear();
}
bool Sim_board::wait_for_instructions(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return instructions_.size() >= n; });
}

// The answer of a board that does what it is told; pins 0..63.
Bytes Sim_board::answer_for(const Bytes& in) {
    const std::uint8_t op = in[0];
    if (op < 0x80) {
        if (op == 0x40) return {0x40, status_[0], status_[1], status_[2]};
        if (op == 0x04) {
            Bytes a{0x04};
            a.insert(a.end(), systat_.begin(), systat_.end());
            return a;
        }
        return {op};
    }
    const int pin = in.size() > 2 ? (in[1] & 0x3F) : -1;
    switch (op) {
    case 0xE0:
        return {0x00, 0x00, maker_, board_};
    case 0x80: case 0x81: case 0x87: case 0x88: case 0x89:
        if (pin >= 0) mode_[pin] = op;
        return {op, in.size() > 1 ? in[1] : std::uint8_t{0}, 0xFE};
    case 0x98:
        return {0x98, in.size() > 1 ? in[1] : std::uint8_t{0},
                pin >= 0 ? digital_[pin] : std::uint8_t{0}, 0xFE};
    case 0xA0: {
        std::uint16_t v = pin >= 0 ? analog_[pin] : 0;
        return {0xA0, in.size() > 1 ? in[1] : std::uint8_t{0},
                static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>(v >> 8), 0xFE};
    }
    case 0xA4:
        if (in.size() > 3) digital_[pin] = in[2] & 0x3F;
        return {0xA4, in.size() > 1 ? in[1] : std::uint8_t{0},
                in.size() > 3 ? in[2] : std::uint8_t{0}, 0xFE};
    default:
        return {op, 0xFE};
    }
}

void Sim_board::run() {
    for (;;) {
        int master;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            master = master_;
        }
        pollfd fds[2] = {{stop_pipe_[0], POLLIN, 0}, {master, POLLIN, 0}};
        int n = ::poll(fds, master >= 0 ? 2 : 1, 50);
        if (n < 0 && errno != EINTR) return;
        if (fds[0].revents) {
            char c = 0;
            if (::read(stop_pipe_[0], &c, 1) != 1 || c != 'h') return;
            std::lock_guard<std::mutex> lock(mutex_);
            if (slave_keep_ >= 0) ::close(slave_keep_);
            if (master_ >= 0) ::close(master_);
            slave_keep_ = master_ = -1;
            hung_up_ = true;
            changed_.notify_all();
            continue;
        }
        if (master < 0 || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;

        std::uint8_t buf[257];
        ssize_t got = ::read(master, buf, sizeof buf);
        if (got <= 0) {
            // The program has the line closed (or the board hung up): idle.
            ::usleep(5000);
            continue;
        }
        if (buf[0] != TIOCPKT_DATA) {
            // Opening the port purges both queues (in either order, together
            // or apart); each exchange purges the receive queue alone, which
            // must not draw a greeting that would then stand in the answer.
            std::lock_guard<std::mutex> lock(mutex_);
            flushes_ |= buf[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE);
            if (flushes_ == (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) {
                flushes_ = 0;
                if (master_ >= 0) write_all(master_, {0x55});
            }
            continue;
        }
        std::vector<Bytes> complete;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            flushes_ = 0;
            for (ssize_t i = 1; i < got; ++i) {
                const std::uint8_t b = buf[i];
                received_.push_back(b);
                if (pending_.empty() && b < 0x80) {
                    complete.push_back({b});
                } else {
                    pending_.push_back(b);
                    if (is_terminator(b)) complete.push_back(std::exchange(pending_, {}));
                }
            }
        }
        for (const Bytes& instruction : complete) {
            Bytes answer;
            std::chrono::milliseconds delay;
            bool say = true;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!script_.empty()) {
                    answer = std::move(script_.front());
                    script_.pop_front();
                } else if (silent_) {
                    say = false;
                } else if (echo_) {
                    answer = instruction;
                } else {
                    answer = answer_for(instruction);
                }
                delay = delay_;
            }
            if (delay.count() > 0) std::this_thread::sleep_for(delay);
            if (say && !answer.empty()) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (master_ >= 0) write_all(master_, answer);
            }
            {
                // Recorded after the answer is on its way, so a test that
                // waits for an instruction also sees it answered.
                std::lock_guard<std::mutex> lock(mutex_);
                instructions_.push_back(instruction);
            }
            changed_.notify_all();
        }
    }
}
