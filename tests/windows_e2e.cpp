// The Windows build end to end: qorvel.exe under wine, talking to the
// simulated board through a Linux pseudo-terminal that wine sees as COM3.
//
// Run by scripts/windows-test, which builds this driver natively and sets:
//   QORVEL_E2E_PROGRAM   what to start: a wrapper that runs qorvel.exe under
//                        wine (or, to compare timings, the Linux program)
//   QORVEL_E2E_COM_LINK  the wine prefix's dosdevices/com3; pointed at the
//                        board's pseudo-terminal. Unset: the port word typed
//                        is the pseudo-terminal's own path.
//   QORVEL_E2E_BROWSER_DIR  the folder, in the wine prefix, of Edge's own
//                        path, holding the stand-in browser
//                        (tests/msedge_stand_in.cpp). Unset: the browser
//                        start is not checked.
//
// Wine's limits that this run allows for: SetupAPI lists no serial ports
// there (start-up says "No serial port in Vector."), its console output ends
// lines with "\r\n", and every process it starts keeps the Unix standard
// error of its parent (for wine's own messages): the browser holds the
// program's standard error open until it ends.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "console_session.h"
#include "program_driver.h"
#include "raw_http.h"
#include "sim_board.h"

using namespace console_test;
using Clock = std::chrono::steady_clock;

namespace {

std::string env_or_empty(const char* name)
{
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::string upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    });
    return s;
}

// What the stand-in browser notes when the program starts it.
const std::string edge_start_line =
    "\"C:\\Program Files (x86)\\Microsoft\\Edge\\Application\\msedge.exe\""
    " http://localhost:8088/arduino_uno_r4_analog.html\n";

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string file_text(const std::filesystem::path& path)
{
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// Waits until `text` stands anywhere in what the program has printed on the
// stream so far. Lines of the web-server thread and of the browser start
// come at moments of their own, before or after the console's cursor.
template <class Stream>
::testing::AssertionResult printed(Stream stream, const std::string& text,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const std::string all = stream();
        if (all.find(text) != std::string::npos) {
            return ::testing::AssertionSuccess();
        }
        if (Clock::now() >= deadline) {
            return ::testing::AssertionFailure() << "never printed \"" << text << "\"; all of it:\n" << all;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Exchanges timed in each front end; the board answers at once, so each is
// the link's own round trip plus the front end's overhead.
constexpr int timed_exchanges = 30;

class Windows_program : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string program_path = env_or_empty("QORVEL_E2E_PROGRAM");
        ASSERT_FALSE(program_path.empty()) << "QORVEL_E2E_PROGRAM is not set";
        com_link = env_or_empty("QORVEL_E2E_COM_LINK");
        if (com_link.empty()) {
            port_word = sim.device_path();
        } else {
            std::filesystem::remove(com_link);
            std::filesystem::create_symlink(sim.device_path(), com_link);
            port_word = "com3";
        }
        port = upper(port_word);
        browser_dir = env_or_empty("QORVEL_E2E_BROWSER_DIR");
        if (!browser_dir.empty()) {
            for (const char* file : {"started.txt", "ended.txt", "release"}) {
                std::filesystem::remove(browser_dir / file);
            }
        }
        Program_driver::Options options;
        options.binary = program_path;
        options.folders = {"pages"};
        program.emplace(options);
    }

    void TearDown() override
    {
        if (!browser_dir.empty()) {
            // The browser, if it still stays, leaves now.
            std::ofstream(browser_dir / "release").close();
        }
        if (!com_link.empty()) {
            std::error_code ignored;
            std::filesystem::remove(com_link, ignored);
        }
    }

    // Types one line and waits for `text`; returns what came up to it.
    std::string type(const std::string& line, const std::string& text)
    {
        program->send_line(line);
        std::string taken;
        EXPECT_TRUE(shows(*program, text, &taken)) << "after typing \"" << line << "\"";
        return taken;
    }

    Sim_board sim;
    std::string com_link;
    std::filesystem::path browser_dir;
    std::string port_word;
    std::string port;
    std::optional<Program_driver> program;
};

TEST_F(Windows_program, ConnectsOperatesServesAndQuitsOverTheSerialPort)
{
    const std::string names = "Arduino:Uno_R4_Minima";
    std::string startup;
    // A first start under wine loads the prefix: allow it time.
    ASSERT_TRUE(shows(*program, client_prompt(0), &startup, std::chrono::seconds(60)));
    EXPECT_EQ(startup.find("Invalid Handle."), std::string::npos) << startup;
    if (!com_link.empty()) {
        // The port listing ran and found the (empty) Ports class.
        EXPECT_EQ(startup.rfind("No serial port in Vector.", 0), 0u) << startup;
    }

    // Connect: the typed name is opened upper-cased, the board identifies
    // itself twice, and the prompt then carries the port and the names.
    const auto connect_typed = Clock::now();
    std::string connect = type("co " + port_word, "Serial_win::clear() " + port + " port");
    EXPECT_NE(connect.find("Connect to port (eg. COM1): "), std::string::npos) << connect;
    // The web server's start line draws prompts of its own meanwhile, so the
    // counter's value is not fixed here.
    ASSERT_TRUE(shows(*program, "[" + port + "] [" + names + "] [Server] ["));
    const auto server_mode = Clock::now();
    ASSERT_TRUE(sim.wait_for_instructions(2));
    EXPECT_EQ(sim.instructions(), (std::vector<Bytes>{{0xE0, 0xFD}, {0xE0, 0xFD}}));
    auto out = [&] { return program->out(); };
    ASSERT_TRUE(printed(out, "[Qorvel] Server running on http://localhost:8088"));
    std::optional<Clock::time_point> browser_started;
    if (!browser_dir.empty()) {
        // One second into Server mode the program has the command interpreter
        // start Edge on the start page: the stand-in, which stays.
        auto started = [&] { return file_text(browser_dir / "started.txt"); };
        ASSERT_TRUE(printed(started, "\n"));
        browser_started = Clock::now();
        EXPECT_EQ(started(), edge_start_line);
        std::printf("browser started %.0f ms after the Server mode prompt\n", ms_since(server_mode));
        EXPECT_GE(ms_since(connect_typed), 1000.0);
        EXPECT_LT(ms_since(server_mode), 3000.0);
    }

    // A status dump, decoded from the board's four bytes.
    sim.clear_received();
    sim.set_status(0x11, 0x10, 0x00);
    std::string status = type("sta", "bs_fault: ");
    std::string fault_lines;
    ASSERT_TRUE(shows(*program, "b0 == 0 : K-ST (Kernel Space) stack good", &fault_lines));
    status += fault_lines;
    EXPECT_NE(status.find("b4 == 1 : U-ST (User Space scheduler) running"), std::string::npos) << status;
    EXPECT_NE(status.find("b0 == 1 : K-ST (Kernel Space scheduler) running"), std::string::npos) << status;
    EXPECT_NE(status.find("b4 == 1 : U-ST (User Space) Stack load is high"), std::string::npos) << status;
    EXPECT_EQ(sim.received(), (Bytes{0x40}));

    // A GPIO write: exactly these four bytes on the wire.
    sim.clear_received();
    type("g2wd1", "Pin 2 value: 1 written on port.");
    EXPECT_EQ(sim.received(), (Bytes{0xA4, 0x82, 0x81, 0xFE}));
    EXPECT_EQ(sim.digital(2), 1);

    // A port that cannot be opened keeps the board connected, and the board
    // is asked who it is again; the open port named again is reopened.
    std::size_t sent = sim.instructions().size();
    std::string failed = type("co com250", "[" + port + "] [" + names + "] [Server] [");
    EXPECT_EQ(failed.find("Closed "), std::string::npos) << failed;
    ASSERT_TRUE(sim.wait_for_instructions(sent + 2));
    sent += 2;
    type("co " + port_word, "Closed " + port + " port");
    ASSERT_TRUE(shows(*program, "Serial_win::clear() " + port + " port"));
    ASSERT_TRUE(sim.wait_for_instructions(sent + 2));
    ASSERT_TRUE(shows(*program, "[" + port + "] [" + names + "] [Server] ["));

    // A digital read through the web API, answered from the board.
    sim.clear_received();
    sim.set_digital(5, 1);
    httplib::Client http("127.0.0.1", 8088);
    http.set_read_timeout(10, 0);
    auto reply = http.Get("/api/gpio/grd/5");
    ASSERT_TRUE(reply) << httplib::to_string(reply.error()) << "; the program showed:\n"
                       << program->pending() << "\nstandard error:\n" << program->err();
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, R"({"pin":5,"value":1})");
    EXPECT_EQ(sim.received(), (Bytes{0x98, 0x85, 0xFE}));

    // Windows also splits paths at "\": a file beside pages/, in the
    // program's working directory, is not served.
    if (std::FILE* secret = std::fopen((program->work_dir() + "/secret.txt").c_str(), "w")) {
        std::fputs("secret", secret);
        std::fclose(secret);
    }
    auto outside = http.Get("/..%5csecret.txt");
    ASSERT_TRUE(outside) << httplib::to_string(outside.error());
    EXPECT_EQ(outside->status, 404) << outside->body;

    // A refused request runs nothing, not even a request carried in its body
    // (it would write 0 to pin 2): one answer, and the connection closes. A
    // body whose length is not given ahead is refused before it is read.
    sim.clear_received();
    const std::string inner =
        "POST /api/gpio/gwd/2 HTTP/1.1\r\nHost: localhost:8088\r\nContent-Type: application/json\r\n"
        "Content-Length: 11\r\n\r\n{\"value\":0}";
    for (const std::string& request :
         {"POST /api/gpio/gwd/5 HTTP/1.1\r\nHost: localhost:8088\r\nOrigin: http://evil.example\r\n"
          "Content-Type: text/plain\r\nContent-Length: " +
              std::to_string(inner.size()) + "\r\n\r\n" + inner,
          "POST /api/gpio/gwd/5 HTTP/1.1\r\nHost: localhost:8088\r\nTransfer-Encoding: chunked\r\n\r\n" +
              std::to_string(inner.size()) + "\r\n" + inner + "\r\n0\r\n\r\n"}) {
        const int fd = web_test::connect_loopback();
        ASSERT_GE(fd, 0);
        std::optional<std::string> raw;
        if (web_test::send_all(fd, request)) raw = web_test::read_to_close(fd);
        ::close(fd);
        ASSERT_TRUE(raw) << "the connection stayed open after: " << request;
        EXPECT_EQ(web_test::count_of(*raw, "HTTP/1.1 "), 1u) << *raw;
        EXPECT_TRUE(raw->starts_with("HTTP/1.1 403 ") || raw->starts_with("HTTP/1.1 411 ")) << *raw;
    }
    auto after = http.Get("/api/gpio/grd/5");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->body, R"({"pin":5,"value":1})");
    EXPECT_EQ(sim.received(), (Bytes{0x98, 0x85, 0xFE}));
    EXPECT_EQ(sim.digital(2), 1);

    // The time of one exchange, from each front end.
    const auto http_start = Clock::now();
    for (int i = 0; i < timed_exchanges; ++i) {
        auto r = http.Get("/api/gpio/grd/5");
        ASSERT_TRUE(r && r->status == 200);
    }
    const double http_ms = ms_since(http_start) / timed_exchanges;
    const auto console_start = Clock::now();
    for (int i = 0; i < timed_exchanges; ++i) {
        type("g5rd", "Pin 5 value: 1");
    }
    const double console_ms = ms_since(console_start) / timed_exchanges;
    std::printf("exchange time: %.2f ms per console read, %.2f ms per HTTP read (%d each)\n",
                console_ms, http_ms, timed_exchanges);
    RecordProperty("console_exchange_us", static_cast<int>(console_ms * 1000));
    RecordProperty("http_exchange_us", static_cast<int>(http_ms * 1000));

    // Disconnect: the port is closed and the web server stops with it.
    std::string disconnect = type("di", "Closed " + port + " port");
    ASSERT_TRUE(printed(out, "[Qorvel] Webserver quit."));
    EXPECT_EQ(disconnect.find("Not connected."), std::string::npos) << disconnect;

    // The quit does not wait for the browser, which still stays.
    if (browser_started) {
        EXPECT_EQ(file_text(browser_dir / "ended.txt"), "") << "the browser left before the quit";
    }
    const auto quit = Clock::now();
    program->send_line("qq");
    while (program->running() && ms_since(quit) < 30000.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double quit_ms = ms_since(quit);
    std::printf("the program ended %.0f ms after the quit\n", quit_ms);
    EXPECT_LT(quit_ms, 3000.0);
    if (browser_started) {
        // It stayed on after the program; it leaves once asked, having been
        // started once in the whole run.
        std::ofstream(browser_dir / "release").close();
        auto ended = [&] { return file_text(browser_dir / "ended.txt"); };
        EXPECT_TRUE(printed(ended, "released\n"));
        EXPECT_EQ(file_text(browser_dir / "started.txt"), edge_start_line);
    }
    EXPECT_EQ(program->wait_exit(std::chrono::seconds(30)), 0) << program->pending();
    EXPECT_EQ(program->err().find("Error: Failed"), std::string::npos) << program->err();
}

}  // namespace
