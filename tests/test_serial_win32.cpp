// The Win32 serial backend where no board is needed: ports that are not
// there, devices that are not ports, and the SetupAPI listing. The backend's
// exchanges with a board are covered by the end-to-end run over COM3.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "board_link/class_serial.h"
#include "board_link/platform/serial_port.h"

namespace {

using namespace serial_platform;

TEST(Win32Serial, APortThatIsNotThereDoesNotOpen)
{
    EXPECT_EQ(create_file("\\\\.\\COM250"), invalid_handle);
    EXPECT_EQ(create_file("\\\\.\\NOSUCHPORT"), invalid_handle);
}

TEST(Win32Serial, ADeviceThatIsNoPortOpensButHasNoLineSettings)
{
    Handle h = create_file("\\\\.\\NUL");
    ASSERT_NE(h, invalid_handle);
    Port_settings settings{};
    settings.length = sizeof(settings);
    EXPECT_FALSE(get_comm_state(h, settings));
    EXPECT_TRUE(close_handle(h));
}

TEST(Win32Serial, EveryCallRefusesTheInvalidHandle)
{
    Port_settings settings{};
    Timeouts timeouts{};
    char buffer[8] = {};
    std::uint32_t count = 99;
    EXPECT_FALSE(get_comm_state(invalid_handle, settings));
    EXPECT_FALSE(set_comm_state(invalid_handle, settings));
    EXPECT_FALSE(set_comm_timeouts(invalid_handle, timeouts));
    EXPECT_FALSE(escape_comm_function(invalid_handle, Escape::set_dtr));
    EXPECT_FALSE(purge_comm(invalid_handle));
    EXPECT_FALSE(read_file(invalid_handle, buffer, sizeof buffer, count));
    EXPECT_EQ(count, 0u);
    count = 99;
    EXPECT_FALSE(write_file(invalid_handle, "x", 1, count));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(close_handle(invalid_handle));
}

TEST(Win32Serial, ThePortsClassCanBeListed)
{
    std::vector<std::string> names{"left over"};
    ASSERT_TRUE(list_port_devices(names));
    // Whatever the machine has, every listed name is a friendly name, and the
    // list was started afresh.
    for (const std::string& name : names) {
        EXPECT_NE(name, "left over");
        EXPECT_FALSE(name.empty());
    }
}

// Through the link, as the console's "co" uses it.
class Win32Link : public ::testing::Test {
protected:
    void SetUp() override
    {
        testing::internal::CaptureStdout();
        link.emplace();
        testing::internal::GetCapturedStdout();
    }
    std::optional<Serial_win> link;
};

TEST_F(Win32Link, OpenOfAMissingPortNamesTheDevicePath)
{
    testing::internal::CaptureStdout();
    link->open("COM250");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Error: Cannot open \\\\.\\COM250\n");
    EXPECT_EQ(link->get_connection_state().state, 0);
    EXPECT_EQ(link->get_connection_state().port, "");
}

TEST_F(Win32Link, OpenOfANonPortFailsAtTheSettingsAndClosesIt)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    link->open("NUL");
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, "Error: Failed to get COM state\n");
    EXPECT_EQ(out, "Error: Failed to get COM \\\\.\\NUL state \n");
    EXPECT_EQ(link->get_connection_state().state, 0);

    // Nothing was left open: a close has nothing to close.
    testing::internal::CaptureStdout();
    link->close();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Not connected.\n");
}

}  // namespace
