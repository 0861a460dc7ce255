// POSIX backend of the serial platform layer: a terminal device opened
// non-blocking, with the link's read time-outs kept by poll() against the
// monotonic clock, and the port listing read from sysfs.
#ifndef _WIN32

#include "serial_port_posix.h"

#include "serial_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <system_error>

namespace serial_platform {

struct Port {
    int fd = -1;
    bool exclusive = false;  // TIOCEXCL was set by us and is ours to clear
    Timeouts timeouts{};
    std::string path;  // as opened, for the operator's error lines
};

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC: immune to clock changes

// The terminals this process holds locked, for release_all_now(). A signal
// handler may read them and can take no lock, so each is one atomic slot
// holding 2 * descriptor + 1 when we set its exclusive mode (+ 0 when not),
// or -1. The link holds one port, two for a moment while it changes ports.
constexpr int no_claim = -1;
std::atomic<int> claims[8] = {no_claim, no_claim, no_claim, no_claim, no_claim, no_claim, no_claim, no_claim};
static_assert(std::atomic<int>::is_always_lock_free);

void record_claim(int fd, bool exclusive)
{
    for (auto& slot : claims) {
        int empty = no_claim;
        if (slot.compare_exchange_strong(empty, 2 * fd + (exclusive ? 1 : 0))) return;
    }
    // More ports at once than any use of the link opens: this one is
    // released by its close only.
}

void forget_claim(int fd)
{
    for (auto& slot : claims) {
        int held = slot.load();
        if (held != no_claim && held / 2 == fd) slot.compare_exchange_strong(held, no_claim);
    }
}

// The DCB's codes for the settings that termios can express.
constexpr std::uint8_t odd_parity = 1;
constexpr std::uint8_t even_parity = 2;
constexpr std::uint8_t two_stop_bits = 2;

struct Speed {
    std::uint32_t baud;
    speed_t code;
};

constexpr Speed speeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},   {115200, B115200},
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

std::optional<speed_t> speed_code(std::uint32_t baud)
{
    for (const Speed& s : speeds) {
        if (s.baud == baud) return s.code;
    }
    return std::nullopt;
}

std::uint32_t speed_baud(speed_t code)
{
    for (const Speed& s : speeds) {
        if (s.code == code) return s.baud;
    }
    return 0;
}

bool equal_ignoring_case(const std::string& a, const char* b)
{
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

// The entry of `dir` named `component`: the exact name when it exists, else
// the first (in byte order) whose name differs from it only in ASCII case,
// else `component` itself, so that the open fails as for any missing name.
std::string match_component(const std::string& dir, const std::string& component)
{
    struct stat st{};
    if (component == "." || component == ".." || ::lstat((dir + "/" + component).c_str(), &st) == 0) {
        return component;
    }
    DIR* d = ::opendir(dir.empty() ? "/" : dir.c_str());
    if (d == nullptr) return component;
    std::optional<std::string> best;
    while (const dirent* e = ::readdir(d)) {
        if (equal_ignoring_case(component, e->d_name) && (!best || *best > e->d_name)) {
            best = e->d_name;
        }
    }
    ::closedir(d);
    return best.value_or(component);
}

// "\\.\NAME" -> /dev/NAME, "\\.\/dev/pts/3" -> /dev/pts/3, each component
// matched as match_component says.
std::string resolve_device_path(const std::string& device_path)
{
    static const std::string win_prefix = "\\\\.\\";
    std::string name = device_path;
    if (name.compare(0, win_prefix.size(), win_prefix) == 0) name.erase(0, win_prefix.size());
    if (name.empty() || name.front() != '/') name = "/dev/" + name;

    std::string resolved;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        const std::string component = name.substr(start, end - start);
        if (!component.empty()) resolved += "/" + match_component(resolved, component);
        start = end + 1;
    }
    if (!name.empty() && name.back() == '/') resolved += "/";
    return resolved.empty() ? "/" : resolved;
}

// Serial devices belong to the dialout group; a user outside it is refused
// every port until added to it.
const char* const permission_advice =
    "To use serial ports, add your user to the dialout group (sudo usermod -a -G dialout $USER) "
    "and log in again.";

// The terminal this program runs in, where the operator types: the device
// of its standard input, output or error, or its controlling terminal
// (/dev/tty is a device of its own, so that one is known by its session).
// Taken for a board, it would be set raw at 115200 and fed the board's
// instructions, and the console and the link would read the same keys.
bool is_own_terminal(int fd)
{
    struct stat device{};
    if (!::isatty(fd) || ::fstat(fd, &device) != 0) return false;
    for (const int own : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        struct stat st{};
        if (::fstat(own, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device.st_rdev) return true;
    }
    // tcgetsid answers only for the caller's own controlling terminal.
    const pid_t session = ::tcgetsid(fd);
    return session != -1 && session == ::getsid(0);
}

// Milliseconds to give poll() so that it does not wake before `until`.
int poll_ms(Clock::time_point until)
{
    const auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

Handle create_file(const std::string& device_path, Open_failure* why)
{
    const std::string path = resolve_device_path(device_path);
    const auto fail_because = [&](const std::string& reason, const char* advice) {
        if (why != nullptr) {
            why->device = path;
            why->reason = reason;
            why->advice = advice;
        }
        return invalid_handle;
    };
    const auto fail = [&](int error) {
        // strerror's text, thread-safe
        return fail_because(std::generic_category().message(error), error == EACCES ? permission_advice : "");
    };
    // O_NOCTTY: a board must never become this program's controlling
    // terminal (its hang-up would then signal us). O_NONBLOCK: reads and
    // writes wait in poll(), where the link's time-outs are kept; it also
    // keeps open() from waiting for a carrier. O_CLOEXEC: the browser the
    // console starts must not inherit the port.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    // Before anything on the device changes: not even its lock is taken.
    if (is_own_terminal(fd)) {
        ::close(fd);
        return fail_because("it is the terminal this program runs in", "");
    }

    bool exclusive = false;
    if (::isatty(fd)) {
        // The port is ours alone while it is open, from any process. TIOCEXCL
        // makes every later open() fail with EBUSY, but root passes it; the
        // flock() stops a second copy of this program even then. The lock is
        // taken first: when it fails the port belongs to someone else and
        // its TIOCEXCL is not ours to touch. Only terminals are locked: a
        // lock on a shared file such as /dev/null would turn others away for
        // nothing.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            // flock says "would block"; to the operator the port is busy,
            // as TIOCEXCL reports it to everyone but root.
            const int error = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(fd);
            return fail(error);
        }
        exclusive = ::ioctl(fd, TIOCEXCL) == 0;
        record_claim(fd, exclusive);
    }
    // A file that is not a terminal opens here and is turned away by
    // get_comm_state, as a device that is no serial port would be.
    return new Port{fd, exclusive, {}, path};
}

namespace {

// A set-up step on the open port h failed: the port's path and the reason.
bool fail_on(Handle h, Open_failure* why, const std::string& reason)
{
    if (why != nullptr) {
        why->device = h->path;
        why->reason = reason;
        why->advice.clear();
    }
    return false;
}

bool fail_on(Handle h, Open_failure* why, int error)
{
    return fail_on(h, why, std::generic_category().message(error));
}

}  // namespace

bool get_comm_state(Handle h, Port_settings& settings, Open_failure* why)
{
    if (h == invalid_handle) return false;
    termios t{};
    // ENOTTY for a file or a device that is no terminal.
    if (::tcgetattr(h->fd, &t) != 0) return fail_on(h, why, errno);
    settings.baud_rate = speed_baud(::cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5: settings.byte_size = 5; break;
    case CS6: settings.byte_size = 6; break;
    case CS7: settings.byte_size = 7; break;
    default: settings.byte_size = 8; break;
    }
    settings.parity = (t.c_cflag & PARENB) == 0 ? no_parity : (t.c_cflag & PARODD) ? odd_parity : even_parity;
    settings.stop_bits = (t.c_cflag & CSTOPB) ? two_stop_bits : one_stop_bit;
    return true;
}

bool set_comm_state(Handle h, const Port_settings& settings, Open_failure* why)
{
    if (h == invalid_handle) return false;
    const std::optional<speed_t> speed = speed_code(settings.baud_rate);
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (!speed || settings.byte_size < 5 || settings.byte_size > 8 || settings.parity > even_parity ||
        (settings.stop_bits != one_stop_bit && settings.stop_bits != two_stop_bits)) {
        // Mark/space parity and 1.5 stop bits have no termios form.
        return fail_on(h, why, EINVAL);
    }
    termios t{};
    if (::tcgetattr(h->fd, &t) != 0) return fail_on(h, why, errno);

    // A raw line, as cfmakeraw() makes it: the board's answers are binary, so
    // no byte may be translated, swallowed, echoed or taken as a signal, and
    // XON/XOFF (0x11/0x13) are data, not flow control.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CRTSCTS
    t.c_cflag &= ~CRTSCTS;  // the board has no RTS/CTS handshake
#endif
    // CLOCAL: a board that does not drive DCD must not keep the port from
    // working or hang it up. CREAD: receiver on.
    t.c_cflag |= CLOCAL | CREAD | sizes[settings.byte_size - 5];
    if (settings.parity != no_parity) {
        t.c_cflag |= PARENB | (settings.parity == odd_parity ? PARODD : 0);
        t.c_iflag |= INPCK;
    }
    if (settings.stop_bits == two_stop_bits) t.c_cflag |= CSTOPB;
    // VMIN 1: with nothing to read, read() says EAGAIN instead of returning
    // 0, so that a 0 always means the device has gone.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, *speed) != 0 || ::cfsetospeed(&t, *speed) != 0) return fail_on(h, why, errno);
    if (::tcsetattr(h->fd, TCSANOW, &t) != 0) return fail_on(h, why, errno);

    // tcsetattr() succeeds when any one of the changes was made: read the
    // line back to see that the four settings the link relies on took.
    termios now{};
    if (::tcgetattr(h->fd, &now) != 0) return fail_on(h, why, errno);
    const tcflag_t checked = CSIZE | PARENB | PARODD | CSTOPB;
    if ((now.c_cflag & checked) != (t.c_cflag & checked) || ::cfgetospeed(&now) != *speed ||
        ::cfgetispeed(&now) != *speed) {
        return fail_on(h, why, "the device kept other settings");
    }
    return true;
}

bool set_comm_timeouts(Handle h, const Timeouts& timeouts, Open_failure*)
{
    if (h == invalid_handle) return false;
    h->timeouts = timeouts;  // kept by read_file itself
    return true;
}

bool escape_comm_function(Handle h, Escape what)
{
    if (h == invalid_handle) return false;
    int bits = what == Escape::set_dtr ? TIOCM_DTR : TIOCM_RTS;
    return ::ioctl(h->fd, TIOCMBIS, &bits) == 0;
}

bool purge_comm(Handle h)
{
    if (h == invalid_handle) return false;
    return ::tcflush(h->fd, TCIOFLUSH) == 0;
}

bool purge_receive(Handle h)
{
    if (h == invalid_handle) return false;
    return ::tcflush(h->fd, TCIFLUSH) == 0;
}

bool read_file(Handle h, char* buffer, std::uint32_t to_read, std::uint32_t& bytes_read)
{
    bytes_read = 0;
    if (h == invalid_handle) return false;

    const Timeouts& t = h->timeouts;
    const std::uint64_t total_ms = t.read_total_constant + std::uint64_t{t.read_total_multiplier} * to_read;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(total_ms);
    Clock::time_point last_chunk{};
    std::uint32_t got = 0;
    while (got < to_read) {
        if (total_ms > 0 && Clock::now() >= deadline) break;
        // Before the first byte only the whole read's deadline counts; after
        // a chunk, a silence of read_interval ends the burst as well.
        std::optional<Clock::time_point> until;
        if (total_ms > 0) until = deadline;
        if (got > 0 && t.read_interval > 0) {
            const Clock::time_point quiet = last_chunk + std::chrono::milliseconds(t.read_interval);
            if (!until || quiet < *until) until = quiet;
        }
        pollfd p{h->fd, POLLIN, 0};
        const int r = ::poll(&p, 1, until ? poll_ms(*until) : -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) break;  // nothing came before the time-out
        // A hang-up or error with nothing left to read: fail now rather than
        // wait out the time-out.
        if ((p.revents & POLLIN) == 0) return false;

        const ssize_t n = ::read(h->fd, buffer + got, to_read - got);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;  // EIO: the device has gone
        }
        // Readable yet nothing there: an unplugged device or a hung-up line,
        // not a pause (with VMIN 1 an empty queue says EAGAIN).
        if (n == 0) return false;
        got += static_cast<std::uint32_t>(n);
        last_chunk = Clock::now();
    }
    bytes_read = got;
    return true;
}

bool write_file(Handle h, const char* data, std::uint32_t length, std::uint32_t& bytes_written)
{
    bytes_written = 0;
    if (h == invalid_handle) return false;
    while (bytes_written < length) {
        const ssize_t n = ::write(h->fd, data + bytes_written, length - bytes_written);
        if (n > 0) {
            bytes_written += static_cast<std::uint32_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The output queue is full: wait for room, with no time-out, as
            // a write on the board's line has none.
            pollfd p{h->fd, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
            if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool close_handle(Handle h)
{
    if (h == invalid_handle) return false;
    // TIOCEXCL outlives our descriptor while any other holds the line open;
    // clear it so that the port can be opened again.
    if (h->exclusive) ::ioctl(h->fd, TIOCNXCL);
    // Before the close: a descriptor number that another open takes next is
    // none of ours to release.
    forget_claim(h->fd);
    // No retry on EINTR: the descriptor is released either way.
    const bool ok = ::close(h->fd) == 0;
    delete h;
    return ok;
}

void release_all_now()
{
    // A descriptor closed meanwhile (by a close on another thread) takes
    // nothing with it here: ioctl and flock on a closed or reused number
    // fail or find no lock of ours.
    for (auto& slot : claims) {
        const int held = slot.load();
        if (held == no_claim) continue;
        const int fd = held / 2;
        if (held % 2 == 1) ::ioctl(fd, TIOCNXCL);
        ::flock(fd, LOCK_UN);
    }
}

bool is_open_as(Handle h, const std::string& device_path)
{
    if (h == invalid_handle) return false;
    struct stat open{};
    struct stat named{};
    return ::fstat(h->fd, &open) == 0 && ::stat(resolve_device_path(device_path).c_str(), &named) == 0 &&
           S_ISCHR(open.st_mode) && S_ISCHR(named.st_mode) && open.st_rdev == named.st_rdev;
}

namespace {

std::optional<std::string> real_path(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::nullopt;
    std::string result = resolved;
    std::free(resolved);
    return result;
}

std::optional<std::string> read_first_line(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    return line;
}

bool exists(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

std::string base_name(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parent_dir(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The USB product string of the USB device that `device` (a resolved sysfs
// device directory) belongs to: the first directory upward that holds
// idVendor is that USB device.
std::optional<std::string> usb_product(std::string dir)
{
    for (;;) {
        if (exists(dir + "/idVendor")) return read_first_line(dir + "/product");
        if (dir == "/") return std::nullopt;
        dir = parent_dir(dir);
    }
}

// Since Linux 6.5 the serial core puts a port and a controller device of its
// own (bus serial-base, drivers "port" and "ctrl") between a UART's tty and
// the hardware; the hardware's driver is the one that names the port.
std::string hardware_device(std::string dir)
{
    while (dir != "/") {
        const std::optional<std::string> bus = real_path(dir + "/subsystem");
        if (!bus || base_name(*bus) != "serial-base") break;
        dir = parent_dir(dir);
    }
    return dir;
}

// One tty class entry: its friendly name, or nothing when no port is there.
std::optional<std::string> friendly_name_of(const std::string& sysfs_root, const std::string& tty)
{
    const std::string entry = sysfs_root + "/" + tty;
    // Virtual terminals, pseudo-terminals and the console have no device.
    const std::optional<std::string> device = real_path(entry + "/device");
    if (!device) return std::nullopt;
    // The serial core registers every 8250 slot the kernel was built for;
    // a slot with no UART behind it reports type 0 (PORT_UNKNOWN).
    if (read_first_line(entry + "/type") == "0") return std::nullopt;

    std::optional<std::string> description = usb_product(*device);
    if (!description || description->empty()) {
        const std::optional<std::string> driver = real_path(hardware_device(*device) + "/driver");
        description = driver ? base_name(*driver) : tty;
    }
    std::replace(description->begin(), description->end(), '(', '[');
    std::replace(description->begin(), description->end(), ')', ']');
    return *description + " (" + tty + ")";
}

}  // namespace

bool list_port_devices_in(const std::string& sysfs_root, std::vector<std::string>& friendly_names)
{
    friendly_names.clear();
    DIR* d = ::opendir(sysfs_root.c_str());
    if (d == nullptr) return false;
    std::vector<std::string> ttys;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") ttys.push_back(name);
    }
    ::closedir(d);
    // readdir() order is the file system's; the operator gets a stable list.
    std::sort(ttys.begin(), ttys.end());
    for (const std::string& tty : ttys) {
        if (std::optional<std::string> name = friendly_name_of(sysfs_root, tty)) {
            friendly_names.push_back(std::move(*name));
        }
    }
    return true;
}

bool list_port_devices(std::vector<std::string>& friendly_names)
{
    return list_port_devices_in("/sys/class/tty", friendly_names);
}

}  // namespace serial_platform

#endif  // _WIN32
