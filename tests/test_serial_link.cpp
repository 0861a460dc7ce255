// The serial link (Serial_win) as the console and the senders use it: the
// port list, opening and closing with their texts and states, and one
// exchange with the simulated board.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "board_link/case_report.h"
#include "board_link/class_serial.h"
#include "board_link/platform/serial_port.h"
#include "serial_test_peer.h"
#include "sim_board.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Printed {
    std::string out;
    std::string err;
};

template <typename Action>
Printed printed_by(Action&& action)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    action();
    Printed p;
    p.err = testing::internal::GetCapturedStderr();
    p.out = testing::internal::GetCapturedStdout();
    return p;
}

// A link built outside the captures: what its constructor prints depends on
// the machine's ports and is checked on its own.
std::unique_ptr<Serial_win> quiet_link()
{
    testing::internal::CaptureStdout();
    auto link = std::make_unique<Serial_win>();
    testing::internal::GetCapturedStdout();
    return link;
}

void expect_state(Serial_win& link, int state, const std::string& port)
{
    const ConnectionState c = link.get_connection_state();
    EXPECT_EQ(c.state, state);
    EXPECT_EQ(c.port, port);
}

}  // namespace

// ---- the port list ----------------------------------------------------------

TEST(SerialLinkPorts, PortNameIsTheTextOfTheFirstParentheses)
{
    PortInfo info;
    ASSERT_TRUE(port_from_friendly_name("USB Serial Device (COM7)", info));
    EXPECT_EQ(info.port, "COM7");
    EXPECT_EQ(info.friendly_name, "USB Serial Device (COM7)");

    ASSERT_TRUE(port_from_friendly_name("Board (A) on (COM3)", info));
    EXPECT_EQ(info.port, "A");
    ASSERT_TRUE(port_from_friendly_name("Odd device ()", info));
    EXPECT_EQ(info.port, "");
    EXPECT_EQ(info.friendly_name, "Odd device ()");
}

TEST(SerialLinkPorts, NamesWithoutAWellFormedFirstPairAreSkipped)
{
    for (const char* name : {"No parentheses", "Open only (COM3", "Close only COM3)",
                             "Back to front )COM3(", "Close first ) then (COM3)", ""}) {
        PortInfo info{"untouched", "untouched"};
        EXPECT_FALSE(port_from_friendly_name(name, info)) << name;
        EXPECT_EQ(info.port, "untouched");
    }
}

TEST(SerialLinkPorts, ConstructionListsThisMachinesPortsOnceEach)
{
    // What the platform reports here, cut as the link cuts it.
    std::vector<std::string> names;
    const bool listed = serial_platform::list_port_devices(names);
    std::vector<PortInfo> expected;
    for (const std::string& fn : names) {
        PortInfo info;
        if (port_from_friendly_name(fn, info)) expected.push_back(info);
    }

    std::unique_ptr<Serial_win> link;
    const Printed built = printed_by([&] { link = std::make_unique<Serial_win>(); });
    if (expected.empty()) {
        EXPECT_NE(built.out.find("No serial port in Vector.\n"), std::string::npos) << built.out;
        if (listed) {
            EXPECT_EQ(built.out, "No serial port in Vector.\n");
        }
    } else {
        EXPECT_EQ(built.out, "");
    }

    link->enumerate_ports();  // rebuilt from empty, not appended
    const std::vector<PortInfo> ports = link->get_ports();
    ASSERT_EQ(ports.size(), expected.size());
    std::string listing;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].port, expected[i].port);
        EXPECT_EQ(ports[i].friendly_name, expected[i].friendly_name);
        listing += "  Port: " + expected[i].port + " - " + expected[i].friendly_name + "\n";
    }
    EXPECT_EQ(printed_by([&] { link->list_ports(); }).out, listing);
}

// ---- opening and closing ------------------------------------------------------

TEST(SerialLinkOpen, FailedOpenNamesTheDeviceTriedAndWhyAndStaysClosed)
{
    auto link = quiet_link();
    const Printed p = printed_by([&] { link->open("COM9"); });
    EXPECT_EQ(p.out, "Error: Cannot open /dev/COM9: No such file or directory\n");
    EXPECT_EQ(p.err, "");
    expect_state(*link, 0, "");
    EXPECT_EQ(printed_by([&] { link->close(); }).out, "Not connected.\n");

    // A device the user may not open: the reason, and how to get access.
    char path[] = "/tmp/qorvel-port-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fchmod(fd, 0), 0);
    ::close(fd);
    // Root opens whatever it likes; the operator's case is an ordinary user.
    const bool was_root = ::geteuid() == 0;
    if (was_root) {
        ASSERT_EQ(::seteuid(65534), 0);
    }
    const Printed denied = printed_by([&] { link->open(path); });
    if (was_root) {
        ASSERT_EQ(::seteuid(0), 0);
    }
    ::unlink(path);
    EXPECT_EQ(denied.out, "Error: Cannot open " + std::string(path) +
                              ": Permission denied\n"
                              "To use serial ports, add your user to the dialout group "
                              "(sudo usermod -a -G dialout $USER) and log in again.\n");
    expect_state(*link, 0, "");
}

// A device, or a file, that is no serial port: named as it was opened (the
// operator types names in any case), with the system's reason.
TEST(SerialLinkOpen, DeviceThatIsNoSerialPortFailsAtItsSettings)
{
    char dir[] = "/tmp/qorvel_notaport_XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/notaport";
    const int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);

    auto link = quiet_link();
    for (const auto& [typed, opened] : {std::pair<std::string, std::string>{"/dev/null", "/dev/null"},
                                        {to_upper(file), file}}) {
        const Printed p = printed_by([&] { link->open(typed); });
        EXPECT_EQ(p.err, "Error: Failed to get COM state\n");
        EXPECT_EQ(p.out, "Error: Failed to get COM " + opened + " state: Inappropriate ioctl for device\n");
        expect_state(*link, 0, "");
    }
    ::unlink(file.c_str());
    ::rmdir(dir);
}

TEST(SerialLinkOpen, OpenCloseAndCloseAgain)
{
    Pty_peer board(Pty_peer::Mode::greet_purge);
    auto link = quiet_link();

    const auto start = Clock::now();
    const Printed opened = printed_by([&] { link->open(board.path()); });
    EXPECT_LT(Clock::now() - start, 1500ms);  // the board's greeting ended the draining read
    EXPECT_EQ(opened.out, "Serial_win::clear() " + board.path() + " port\n");
    EXPECT_EQ(opened.err, "");
    expect_state(*link, 1, board.path());
    EXPECT_EQ(link->get_port_name(), board.path());

    EXPECT_EQ(printed_by([&] { link->close(); }).out, "Closed " + board.path() + " port\n");
    expect_state(*link, 0, board.path());  // the name stays
    EXPECT_EQ(printed_by([&] { link->close(); }).out, "Not connected.\n");
    expect_state(*link, 0, board.path());
}

TEST(SerialLinkOpen, ClosedLinkFailsWritesAndReadsWithoutAPort)
{
    auto link = quiet_link();
    std::uint32_t written = 99;
    const Printed w = printed_by([&] { written = link->write("\x40"); });
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(w.err, "Error: Failed to write to COM port\n");
    EXPECT_EQ(w.out, "");

    Server_response answer{{'x'}, 9};
    const Printed r = printed_by([&] { answer = link->read(); });
    EXPECT_EQ(answer, Server_response());
    EXPECT_EQ(r.err, "\nError: Failed to read from COM port\n");
    EXPECT_EQ(r.out, "");
}

TEST(SerialLinkOpen, UpperCasedNameOpensAndIsKeptAsGiven)
{
    Pty_peer board(Pty_peer::Mode::greet_purge);
    auto link = quiet_link();
    const std::string typed = to_upper(board.path());  // "/DEV/PTS/N"
    EXPECT_EQ(printed_by([&] { link->open(typed); }).out, "Serial_win::clear() " + typed + " port\n");
    expect_state(*link, 1, typed);
}

TEST(SerialLinkOpen, OpeningAnotherPortMovesTheLinkThere)
{
    Pty_peer a(Pty_peer::Mode::greet_purge);
    Pty_peer b(Pty_peer::Mode::greet_purge);
    auto link = quiet_link();
    printed_by([&] { link->open(a.path()); });
    expect_state(*link, 1, a.path());

    // The new port is ready before the old one is let go.
    Printed p = printed_by([&] { link->open(b.path()); });
    EXPECT_EQ(p.out, "Closed " + a.path() + " port\nSerial_win::clear() " + b.path() + " port\n");
    expect_state(*link, 1, b.path());

    // The first port was really let go: another link can have it.
    auto other = quiet_link();
    printed_by([&] { other->open(a.path()); });
    expect_state(*other, 1, a.path());

    // The open port under another name (a link to its device) is the same
    // port: closed and opened afresh, not refused as busy by its own lock.
    char dir[] = "/tmp/qorvel_alias_XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string alias = std::string(dir) + "/board";
    ASSERT_EQ(::symlink(b.path().c_str(), alias.c_str()), 0);
    p = printed_by([&] { link->open(alias); });
    ::unlink(alias.c_str());
    ::rmdir(dir);
    EXPECT_EQ(p.out, "Closed " + b.path() + " port\nSerial_win::clear() " + alias + " port\n");
    expect_state(*link, 1, alias);
}

TEST(SerialLinkOpen, FailedOpenWhileOpenKeepsTheOpenPort)
{
    Pty_peer a(Pty_peer::Mode::greet_purge);
    auto link = quiet_link();
    printed_by([&] { link->open(a.path()); });

    // A name that opens nothing, and a device that is no serial port: each
    // says why, and the board's port stays the link.
    Printed p = printed_by([&] { link->open("COM9"); });
    EXPECT_EQ(p.out, "Error: Cannot open /dev/COM9: No such file or directory\n");
    expect_state(*link, 1, a.path());
    p = printed_by([&] { link->open("/dev/null"); });
    EXPECT_EQ(p.err, "Error: Failed to get COM state\n");
    EXPECT_EQ(p.out, "Error: Failed to get COM /dev/null state: Inappropriate ioctl for device\n");
    expect_state(*link, 1, a.path());

    EXPECT_EQ(link->write("\x40"), 1u);
    EXPECT_EQ(a.receive(1, 2000ms), Pty_peer::Bytes{0x40});
    EXPECT_EQ(printed_by([&] { link->close(); }).out, "Closed " + a.path() + " port\n");
}

TEST(SerialLinkOpen, SecondLinkOnAnOpenPortIsRefused)
{
    Pty_peer board(Pty_peer::Mode::greet_purge);
    auto first = quiet_link();
    auto second = quiet_link();
    printed_by([&] { first->open(board.path()); });

    const Printed p = printed_by([&] { second->open(board.path()); });
    EXPECT_EQ(p.out, "Error: Cannot open " + board.path() + ": Device or resource busy\n");
    expect_state(*second, 0, "");
    expect_state(*first, 1, board.path());
}

TEST(SerialLinkOpen, DestructionClosesAnOpenPortOnceAndIsSilentOtherwise)
{
    Pty_peer board(Pty_peer::Mode::greet_purge);
    auto link = quiet_link();
    printed_by([&] { link->open(board.path()); });
    EXPECT_EQ(printed_by([&] { link.reset(); }).out, "Closed " + board.path() + " port\n");

    auto closed = quiet_link();
    EXPECT_EQ(printed_by([&] { closed.reset(); }).out, "");

    // Released at destruction: the port opens again.
    auto again = quiet_link();
    printed_by([&] { again->open(board.path()); });
    expect_state(*again, 1, board.path());
}

// ---- exchanges with the simulated board -------------------------------------------

namespace {

Pty_peer::Bytes bytes_of(const Server_response& r)
{
    return Pty_peer::Bytes(r.first.begin(), r.first.end());
}

bool wait_received(Sim_board& sim, std::size_t n)
{
    const auto deadline = Clock::now() + 5s;
    while (sim.received().size() < n && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
    return sim.received().size() >= n;
}

}  // namespace

TEST(SerialLinkExchange, AnswersComeBackWholeAndEveryByteValuePasses)
{
    Sim_board sim;
    auto link = quiet_link();
    printed_by([&] { link->open(sim.device_path()); });  // drains the silent line
    ASSERT_EQ(link->get_connection_state().state, 1);

    // A single-byte server command is one byte on the wire; its answer ends
    // at the board's silence.
    const auto start = Clock::now();
    EXPECT_EQ(link->write("\x40"), 1u);
    const Server_response status = link->read();
    const auto took = Clock::now() - start;
    EXPECT_EQ(bytes_of(status), (Pty_peer::Bytes{0x40, 0x11, 0x00, 0x00}));
    EXPECT_EQ(status.second, 4);
    EXPECT_GE(took, 5ms);
    EXPECT_LT(took, 1000ms);
    EXPECT_EQ(sim.received(), (Bytes{0x40}));

    // Inward, every value from 0x00 to 0xFF, zeros and all.
    Bytes all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<std::uint8_t>(b));
    sim.script(all);
    EXPECT_EQ(link->write("\x01"), 1u);
    const Server_response echoed = link->read();
    EXPECT_EQ(bytes_of(echoed), all);
    EXPECT_EQ(echoed.second, 256);

    // Outward, every value but 0x00, which ends what is written.
    sim.set_silent(true);
    sim.clear_received();
    std::string outward(all.begin() + 1, all.end());
    EXPECT_EQ(link->write(outward.c_str()), 255u);
    ASSERT_TRUE(wait_received(sim, 255));
    EXPECT_EQ(sim.received(), Bytes(all.begin() + 1, all.end()));

    sim.clear_received();
    const char with_zero[] = {'a', 'b', '\0', 'c', 'd', '\0'};
    EXPECT_EQ(link->write(with_zero), 2u);
    // A marker after it: once the marker is there, so is all that went out
    // before it.
    EXPECT_EQ(link->write("z"), 1u);
    ASSERT_TRUE(wait_received(sim, 3));
    EXPECT_EQ(sim.received(), (Bytes{'a', 'b', 'z'}));
}

TEST(SerialLinkExchange, HungUpBoardFailsAtOnceAndTheLinkStaysOpen)
{
    Sim_board sim;
    auto link = quiet_link();
    printed_by([&] { link->open(sim.device_path()); });
    ASSERT_EQ(link->get_connection_state().state, 1);
    sim.hang_up();

    Server_response answer{{'x'}, 9};
    const auto start = Clock::now();
    const Printed r = printed_by([&] { answer = link->read(); });
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_EQ(answer, Server_response());
    EXPECT_EQ(r.err, "\nError: Failed to read from COM port\n");
    EXPECT_EQ(r.out, "");
    expect_state(*link, 1, sim.device_path());

    std::uint32_t written = 99;
    const Printed w = printed_by([&] { written = link->write("\x40"); });
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(w.err, "Error: Failed to write to COM port\n");

    EXPECT_EQ(printed_by([&] { link->close(); }).out, "Closed " + sim.device_path() + " port\n");
}
