// The POSIX serial platform layer against a real pseudo-terminal: device
// names, exclusive opens, the line settings, the read time-outs that frame
// one answer, byte transparency, and the port listing on a sysfs tree of our
// own.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <utility>

#include "board_link/case_report.h"
#include "board_link/platform/serial_port.h"
#include "board_link/platform/serial_port_posix.h"
#include "serial_test_peer.h"

namespace sp = serial_platform;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = Pty_peer::Bytes;
using Clock = std::chrono::steady_clock;

namespace {

std::string win_path(const std::string& name) { return "\\\\.\\" + name; }

// A line set up as the link sets it: 115200 8N1, and an answer burst ends
// 5 ms after its last byte or 2066 ms after the read began.
sp::Handle open_line(const std::string& path)
{
    sp::Handle h = sp::create_file(win_path(path));
    sp::Port_settings s{};
    s.length = sizeof s;
    if (h == sp::invalid_handle || !sp::get_comm_state(h, s)) return sp::invalid_handle;
    s.baud_rate = 115200;
    s.byte_size = 8;
    s.parity = sp::no_parity;
    s.stop_bits = sp::one_stop_bit;
    sp::Timeouts t{};
    t.read_interval = 5;
    t.read_total_constant = 20;
    t.read_total_multiplier = 2;
    if (!sp::set_comm_state(h, s) || !sp::set_comm_timeouts(h, t)) {
        sp::close_handle(h);
        return sp::invalid_handle;
    }
    return h;
}

struct Read_result {
    bool ok;
    Bytes bytes;
    Clock::duration took;
};

Read_result read_answer(sp::Handle h)
{
    char buf[1024] = {};
    std::uint32_t got = 12345;
    const auto start = Clock::now();
    const bool ok = sp::read_file(h, buf, 1023, got);
    const auto took = Clock::now() - start;
    return {ok, Bytes(buf, buf + got), took};
}

Bytes every_byte_value()
{
    Bytes all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<std::uint8_t>(b));
    return all;
}

fs::path make_temp_dir()
{
    std::string pattern = (fs::temp_directory_path() / "qorvel-serial-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void write_text(const fs::path& file, const std::string& text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

std::string read_text(const fs::path& file)
{
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Temp_dir {
public:
    Temp_dir() : path_(make_temp_dir()) {}
    ~Temp_dir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace

// ---- device names ---------------------------------------------------------

TEST(SerialNames, WindowsPrefixAndUpperCasedPathOpenThePseudoTerminal)
{
    Pty_peer peer;
    sp::Handle h = sp::create_file(win_path(to_upper(peer.path())));  // "\\.\/DEV/PTS/N"
    ASSERT_NE(h, sp::invalid_handle);
    sp::Port_settings s{};
    EXPECT_TRUE(sp::get_comm_state(h, s));
    EXPECT_TRUE(sp::close_handle(h));
}

TEST(SerialNames, RelativeNameIsLookedUpInDevIgnoringCase)
{
    // "NULL" is /dev/null: it opens, and is no serial port, in the words
    // of the system and under the name it was opened by.
    sp::Handle h = sp::create_file(win_path("NULL"));
    ASSERT_NE(h, sp::invalid_handle);
    sp::Port_settings s{};
    sp::Open_failure why;
    EXPECT_FALSE(sp::get_comm_state(h, s, &why));
    EXPECT_EQ(why.device, "/dev/null");
    EXPECT_EQ(why.reason, "Inappropriate ioctl for device");
    EXPECT_TRUE(sp::close_handle(h));

    EXPECT_EQ(sp::create_file(win_path("COM9")), sp::invalid_handle);
    EXPECT_EQ(sp::create_file(win_path("")), sp::invalid_handle);  // /dev itself
}

TEST(SerialNames, ExactComponentWinsOverOtherCases)
{
    Temp_dir dir;
    for (const char* name : {"probe", "Probe", "PROBE"}) write_text(dir.path() / name, "");
    const std::string upper_dir = to_upper(dir.path().string());

    auto write_through = [](const std::string& path, const std::string& text) {
        sp::Handle h = sp::create_file(win_path(path));
        ASSERT_NE(h, sp::invalid_handle) << path;
        std::uint32_t put = 0;
        EXPECT_TRUE(sp::write_file(h, text.data(), static_cast<std::uint32_t>(text.size()), put));
        EXPECT_EQ(put, text.size());
        sp::close_handle(h);
    };
    write_through(upper_dir + "/Probe", "exact");
    // No exact entry: the first of the others in byte order ("PROBE").
    write_through(upper_dir + "/pRoBe", "folded");

    EXPECT_EQ(read_text(dir.path() / "Probe"), "exact");
    EXPECT_EQ(read_text(dir.path() / "PROBE"), "folded");
    EXPECT_EQ(read_text(dir.path() / "probe"), "");
}

// ---- exclusive open -------------------------------------------------------

TEST(SerialExclusive, SecondOpenInThisProcessFailsUntilTheFirstIsClosed)
{
    Pty_peer peer;
    sp::Handle first = sp::create_file(win_path(peer.path()));
    ASSERT_NE(first, sp::invalid_handle);
    EXPECT_EQ(sp::create_file(win_path(peer.path())), sp::invalid_handle);
    ASSERT_TRUE(sp::close_handle(first));

    sp::Handle again = sp::create_file(win_path(peer.path()));
    EXPECT_NE(again, sp::invalid_handle);
    sp::close_handle(again);
}

namespace {

// Whether another process can open `path` (its exit code says).
bool child_can_open(const std::string& path)
{
    const std::string device = win_path(path);
    const pid_t pid = ::fork();
    if (pid == 0) {
        sp::Handle h = sp::create_file(device);
        ::_exit(h == sp::invalid_handle ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

}  // namespace

TEST(SerialExclusive, OtherProcessCannotOpenAHeldPortEvenAsRoot)
{
    Pty_peer peer;  // no thread of its own, so the fork is clean
    sp::Handle h = sp::create_file(win_path(peer.path()));
    ASSERT_NE(h, sp::invalid_handle);
    EXPECT_FALSE(child_can_open(peer.path()));
    sp::close_handle(h);
    EXPECT_TRUE(child_can_open(peer.path()));
}

// ---- line settings --------------------------------------------------------

namespace {

// A pseudo-terminal whose line is set up as the link sets it up.
class Open_line : public testing::Test {
protected:
    void SetUp() override
    {
        h = open_line(peer.path());
        ASSERT_NE(h, sp::invalid_handle);
    }
    void TearDown() override
    {
        if (h != sp::invalid_handle) sp::close_handle(h);
    }

    Pty_peer peer;
    sp::Handle h = sp::invalid_handle;
};

// Whether thread `tid` of this process comes to wait in poll(), as a read of
// the line does while it waits for the board, within `limit`.
bool waits_in_poll(pid_t tid, std::chrono::milliseconds limit)
{
    const std::string syscall = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        std::ifstream in(syscall);
        long number = -1;  // a running thread shows "running" instead
#ifdef SYS_poll
        if (in >> number && (number == SYS_poll || number == SYS_ppoll)) return true;
#else
        if (in >> number && number == SYS_ppoll) return true;
#endif
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

using SerialSettings = Open_line;
using SerialRead = Open_line;
using SerialBytes = Open_line;

}  // namespace

TEST_F(SerialSettings, LineReadsBackAs115200_8N1)
{
    sp::Port_settings s{};
    ASSERT_TRUE(sp::get_comm_state(h, s));
    EXPECT_EQ(s.baud_rate, 115200u);
    EXPECT_EQ(s.byte_size, 8);
    EXPECT_EQ(s.parity, sp::no_parity);
    EXPECT_EQ(s.stop_bits, sp::one_stop_bit);

    // Settings termios cannot express are refused, not approximated.
    sp::Port_settings odd = s;
    odd.baud_rate = 12345;
    sp::Open_failure why;
    EXPECT_FALSE(sp::set_comm_state(h, odd, &why));
    EXPECT_EQ(why.device, peer.path());
    EXPECT_EQ(why.reason, "Invalid argument");
    odd = s;
    odd.stop_bits = 1;  // one and a half
    EXPECT_FALSE(sp::set_comm_state(h, odd));
}

// ---- reading one answer ---------------------------------------------------

TEST_F(SerialRead, BurstEndsAboutFiveMillisecondsAfterItsLastByte)
{
    peer.send({0x40, 0x11, 0x00, 0x00});
    const Read_result r = read_answer(h);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, (Bytes{0x40, 0x11, 0x00, 0x00}));
    EXPECT_GE(r.took, 5ms);
    EXPECT_LT(r.took, 1000ms);
}

TEST_F(SerialRead, PauseLongerThanTheIntervalSplitsTwoBursts)
{
    // The board keeps the second burst back until the first read has ended,
    // however late either thread runs: that read must end on the pause.
    std::promise<void> first_read_ended;
    std::thread board([&, ended = first_read_ended.get_future()] {
        peer.send({0x01, 0x02});
        ended.wait();
        peer.send({0x03});
    });
    const Read_result first = read_answer(h);
    first_read_ended.set_value();
    const Read_result second = read_answer(h);
    board.join();
    EXPECT_TRUE(first.ok);
    EXPECT_EQ(first.bytes, (Bytes{0x01, 0x02}));
    EXPECT_LT(first.took, 1000ms);  // not the 2066 ms of a silent line
    EXPECT_TRUE(second.ok);
    EXPECT_EQ(second.bytes, (Bytes{0x03}));
}

TEST_F(SerialRead, SilenceGivesNothingAfter2066Milliseconds)
{
    const Read_result r = read_answer(h);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.bytes.empty());
    EXPECT_GE(r.took, 2066ms);
    EXPECT_LT(r.took, 3500ms);
}

TEST_F(SerialRead, HangUpFailsTheReadAtOnce)
{
    const pid_t reader = ::gettid();
    bool was_waiting = false;
    std::thread board([&] {
        was_waiting = waits_in_poll(reader, 10s);
        peer.hang_up();
    });
    const Read_result during = read_answer(h);  // waiting when the line drops
    board.join();
    EXPECT_TRUE(was_waiting) << "the read was never seen waiting for the board";
    EXPECT_FALSE(during.ok);
    EXPECT_TRUE(during.bytes.empty());
    EXPECT_LT(during.took, 1000ms);

    const Read_result after = read_answer(h);  // and every read after it
    EXPECT_FALSE(after.ok);
    EXPECT_TRUE(after.bytes.empty());
    EXPECT_LT(after.took, 500ms);

    std::uint32_t put = 7;
    EXPECT_FALSE(sp::write_file(h, "\x40", 1, put));
    EXPECT_TRUE(sp::close_handle(std::exchange(h, sp::invalid_handle)));
}

// ---- byte transparency and writes -----------------------------------------

TEST_F(SerialBytes, EveryByteValuePassesUnchangedBothWays)
{
    const Bytes all = every_byte_value();

    // Inward first: an XOFF (0x13) taken as flow control would also stop
    // the outward half.
    peer.send(all);
    const Read_result in = read_answer(h);
    EXPECT_TRUE(in.ok);
    EXPECT_EQ(in.bytes, all);

    std::uint32_t put = 0;
    ASSERT_TRUE(sp::write_file(h, reinterpret_cast<const char*>(all.data()), 256, put));
    EXPECT_EQ(put, 256u);
    // Nothing added, nothing lost: a byte written after them comes right
    // behind them.
    ASSERT_TRUE(sp::write_file(h, "*", 1, put));
    Bytes marked = all;
    marked.push_back('*');
    EXPECT_EQ(peer.receive(marked.size(), 5000ms), marked);
}

TEST_F(SerialBytes, WriteLargerThanTheLineBufferIsContinuedToTheEnd)
{
    Bytes data(256 * 1024);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 256);

    Bytes arrived;
    std::thread board([&] { arrived = peer.receive(data.size(), 20s); });
    std::uint32_t put = 0;
    const bool ok = sp::write_file(h, reinterpret_cast<const char*>(data.data()),
                                   static_cast<std::uint32_t>(data.size()), put);
    board.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(put, data.size());
    EXPECT_TRUE(arrived == data) << "arrived " << arrived.size() << " of " << data.size() << " bytes";
}

// ---- port listing -----------------------------------------------------------

namespace {

// A sysfs tty class directory with the kinds of entries a machine has.
class Fake_sysfs {
public:
    Fake_sysfs()
    {
        const fs::path usb = devices() / "pci0" / "usb1";
        write_text(usb / "idVendor", "1d6b\n");  // the root hub: never reached
        write_text(usb / "product", "xHCI Host Controller\n");

        // A CDC-ACM board: the class entry is a link into the device tree.
        write_text(usb / "1-2" / "idVendor", "2341\n");
        write_text(usb / "1-2" / "product", "UNO R4 Minima\n");
        driver(usb / "1-2" / "1-2:1.0", "cdc_acm");
        const fs::path acm0 = usb / "1-2" / "1-2:1.0" / "tty" / "ttyACM0";
        fs::create_directories(acm0);
        fs::create_directory_symlink(usb / "1-2" / "1-2:1.0", acm0 / "device");
        fs::create_directories(tty_class());
        fs::create_directory_symlink(acm0, tty_class() / "ttyACM0");

        // A USB device whose product names something in parentheses.
        write_text(usb / "1-4" / "idVendor", "1234\n");
        write_text(usb / "1-4" / "product", "Widget (rev 2)\n");
        fs::create_directories(usb / "1-4" / "1-4:1.0");
        entry("ttyACM1", usb / "1-4" / "1-4:1.0");

        // A USB serial converter with no product string: its driver names it.
        write_text(usb / "1-3" / "idVendor", "0403\n");
        driver(usb / "1-3" / "1-3:1.0" / "ttyUSB0", "ftdi_sio");
        entry("ttyUSB0", usb / "1-3" / "1-3:1.0" / "ttyUSB0");

        // An 8250 slot with no UART, and one with a UART.
        driver(devices() / "platform" / "serial8250", "serial8250");
        entry("ttyS0", devices() / "platform" / "serial8250");
        write_text(tty_class() / "ttyS0" / "type", "0\n");
        // Since Linux 6.5 the serial core's own devices stand in between.
        const fs::path uart = devices() / "pnp0" / "00:04";
        driver(uart, "serial");
        serial_base(uart / "00:04:0", "ctrl");
        serial_base(uart / "00:04:0" / "00:04:0.0", "port");
        entry("ttyS1", uart / "00:04:0" / "00:04:0.0");
        write_text(tty_class() / "ttyS1" / "type", "4\n");

        // A device with no driver and no USB parent.
        fs::create_directories(devices() / "virtual" / "x");
        entry("ttyX0", devices() / "virtual" / "x");

        // No device behind it: a virtual terminal; a device that went away.
        fs::create_directories(tty_class() / "tty0");
        entry("ttyGONE", devices() / "nowhere");
    }

    std::string root() const { return tty_class().string(); }

private:
    fs::path tty_class() const { return dir_.path() / "class" / "tty"; }
    fs::path devices() const { return dir_.path() / "devices"; }

    void driver(const fs::path& device, const std::string& name)
    {
        fs::create_directories(dir_.path() / "drivers" / name);
        fs::create_directories(device);
        fs::create_directory_symlink(dir_.path() / "drivers" / name, device / "driver");
    }

    void serial_base(const fs::path& device, const std::string& driver_name)
    {
        driver(device, driver_name);
        fs::create_directories(dir_.path() / "bus" / "serial-base");
        fs::create_directory_symlink(dir_.path() / "bus" / "serial-base", device / "subsystem");
    }

    void entry(const std::string& tty, const fs::path& device)
    {
        fs::create_directories(tty_class() / tty);
        fs::create_directory_symlink(device, tty_class() / tty / "device");
    }

    Temp_dir dir_;
};

}  // namespace

TEST(SerialListing, FriendlyNamesFromUsbProductOrDriverInNameOrder)
{
    Fake_sysfs sysfs;
    std::vector<std::string> names{"left over"};
    ASSERT_TRUE(sp::list_port_devices_in(sysfs.root(), names));
    EXPECT_EQ(names, (std::vector<std::string>{
                         "UNO R4 Minima (ttyACM0)",
                         "Widget [rev 2] (ttyACM1)",
                         "serial (ttyS1)",
                         "ftdi_sio (ttyUSB0)",
                         "ttyX0 (ttyX0)",
                     }));
}

TEST(SerialListing, UnreadableClassDirectoryIsAFailureAndAnEmptyOneIsNot)
{
    Temp_dir dir;
    std::vector<std::string> names{"left over"};
    EXPECT_FALSE(sp::list_port_devices_in((dir.path() / "missing").string(), names));
    EXPECT_TRUE(names.empty());
    names = {"left over"};
    EXPECT_TRUE(sp::list_port_devices_in(dir.path().string(), names));
    EXPECT_TRUE(names.empty());
}
