// The start page and the help page, as the browser launcher opens them,
// loaded in headless Chromium from the program's own "pages" and "help"
// directories: the page reads every pin through the API, and what the board
// answered shows in its table.
#include "board_test_support.h"
#include "web_test_support.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

using namespace web_test;

namespace {

std::string run_and_read(const std::string& command)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    ::pclose(pipe);
    return out;
}

// The page's DOM once its scripts and their requests have run.
std::string dump_dom(const std::string& url)
{
    namespace fs = std::filesystem;
    const fs::path profile = fs::temp_directory_path() / ("qorvel_chromium_" + std::to_string(::getpid()));
    fs::remove_all(profile);
    const std::string command =
        "timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
        " --disable-background-networking --disable-component-update --disable-sync"
        " --user-data-dir=" + profile.string() +
        " --virtual-time-budget=20000 --dump-dom '" + url + "' 2>/dev/null";
    std::string dom = run_and_read(command);
    fs::remove_all(profile);
    return dom;
}

// The text of the cell of class `cell_class` in the row of `pin`.
std::string cell(const std::string& dom, int pin, const std::string& cell_class)
{
    const auto row = dom.find("<tr data-pin=\"" + std::to_string(pin) + "\">");
    if (row == std::string::npos) return "(no row)";
    const auto row_end = dom.find("</tr>", row);
    auto at = dom.find("<td class=\"" + cell_class, row);
    if (at == std::string::npos || at > row_end) return "(no cell)";
    at = dom.find('>', at) + 1;
    return dom.substr(at, dom.find('<', at) - at);
}

class Start_page : public testing::Test {
protected:
    void SetUp() override
    {
        // Where the program is started from, so "pages" and "help" are found.
        std::filesystem::current_path(QORVEL_SOURCE_DIR);
        testing::internal::CaptureStdout();
        capturing_ = true;
        ASSERT_EQ(std::system("command -v chromium >/dev/null"), 0)
            << "headless Chromium is needed: apt-get install -y chromium";
        server_ = std::make_unique<Web_server_thread>(0);
        ASSERT_TRUE(server_answers());
        Connected_board::sim().clear_received();
    }
    void TearDown() override
    {
        server_.reset();
        if (!capturing_) return;
        // Failures reported while the output was captured are in it.
        const std::string out = testing::internal::GetCapturedStdout();
        if (HasFailure()) std::fprintf(stderr, "%s\n", out.c_str());
    }
    std::unique_ptr<Web_server_thread> server_;
    bool capturing_ = false;
};

TEST_F(Start_page, ShowsThePinsTheBoardReports)
{
    Sim_board& sim = Connected_board::sim();
    sim.set_digital(2, 1);
    sim.set_analog(14, 1023);
    sim.set_analog(3, 512);

    const std::string dom = dump_dom("http://localhost:8088/arduino_uno_r4_analog.html");
    ASSERT_NE(dom.find("<table id=\"pins\">"), std::string::npos) << dom.substr(0, 2000);
    EXPECT_NE(dom.find("Pins read at"), std::string::npos) << dom;

    EXPECT_EQ(cell(dom, 2, "digital"), "1");
    EXPECT_EQ(cell(dom, 3, "digital"), "0");
    EXPECT_EQ(cell(dom, 3, "analog"), "512");
    EXPECT_EQ(cell(dom, 14, "analog"), "1023");
    EXPECT_EQ(cell(dom, 14, "label"), "A0");
    EXPECT_EQ(cell(dom, 19, "label"), "A5");

    // Every pin read both ways, one request after another, each one
    // exchange with the board.
    const auto wire = sim.instructions();
    EXPECT_EQ(wire.size(), 40u);
    auto sent = [&](const Bytes& instruction) {
        return std::find(wire.begin(), wire.end(), instruction) != wire.end();
    };
    EXPECT_TRUE(sent({0x98, 0x82, 0xFE}));
    EXPECT_TRUE(sent({0xA0, 0x8E, 0xFE}));
    EXPECT_TRUE(sent({0xA0, 0x93, 0xFE}));
}

// The address that the console prints: "/" moves on to the start page by
// itself, and links to it and to the help for a browser that does not.
TEST_F(Start_page, RootAddressLeadsToTheStartPage)
{
    auto root = client()->Get("/");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->status, 200);
    EXPECT_EQ(root->get_header_value("Content-Type"), "text/html");
    EXPECT_NE(root->body.find("href=\"/arduino_uno_r4_analog.html\""), std::string::npos) << root->body;
    EXPECT_NE(root->body.find("href=\"/help/\""), std::string::npos) << root->body;
    auto help = client()->Get("/help/");
    ASSERT_TRUE(help);
    EXPECT_EQ(help->status, 200);
    EXPECT_NE(help->body.find("The GPIO API"), std::string::npos);

    Sim_board& sim = Connected_board::sim();
    sim.set_digital(2, 1);
    const std::string dom = dump_dom("http://localhost:8088/");
    ASSERT_NE(dom.find("<table id=\"pins\">"), std::string::npos) << dom.substr(0, 2000);
    EXPECT_NE(dom.find("Pins read at"), std::string::npos) << dom;
    EXPECT_EQ(cell(dom, 2, "digital"), "1");
    EXPECT_EQ(sim.instructions().size(), 40u);
}

// The start page inside a page of the test's own, whose script `scenario`
// acts as the operator would once the start page has loaded. In it,
// inPage(selector) finds an element of the start page, statusOnce(prefix,
// then) waits until the start page's status line begins with `prefix`,
// copies that line out and goes on with `then`, and say(text) copies out a
// line of its own.
std::string operator_page(const std::string& scenario)
{
    return R"(<!DOCTYPE html>
<html><body><pre id="said"></pre>
<iframe id="page" src="/arduino_uno_r4_analog.html"></iframe>
<script>
const said = document.getElementById("said");
const frame = document.getElementById("page");
function say(text) { said.textContent += text + "\n"; }
function inPage(selector) { return frame.contentDocument.querySelector(selector); }
function statusOnce(prefix, then) {
  const poll = setInterval(function () {
    const text = inPage("#status").textContent;
    if (!text.startsWith(prefix)) return;
    clearInterval(poll);
    say(text);
    then();
  }, 20);
}
frame.addEventListener("load", function () {
)" + scenario + R"(
});
</script></body></html>
)";
}

// The DOM of the operator page with `scenario`, served from a folder of its
// own beside copies of the start page's files.
std::string dump_operator_page(const std::string& scenario)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("qorvel_operator_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "pages");
    for (const char* file : {"arduino_uno_r4_analog.html", "qorvel.js", "qorvel.css"})
        fs::copy_file(fs::path(QORVEL_SOURCE_DIR) / "pages" / file, dir / "pages" / file);
    std::ofstream(dir / "pages" / "operator.html") << operator_page(scenario);
    fs::current_path(dir);
    const std::string dom = dump_dom("http://localhost:8088/operator.html");
    fs::current_path(QORVEL_SOURCE_DIR);
    fs::remove_all(dir);
    return dom;
}

// A board's answers to the reads of `pin`, as the simulated board gives them.
Bytes digital_answer(int pin, std::uint8_t value) { return {0x98, static_cast<std::uint8_t>(0x80 + pin), value, 0xFE}; }
Bytes analog_answer(int pin, std::uint8_t low) { return {0xA0, static_cast<std::uint8_t>(0x80 + pin), low, 0, 0xFE}; }

// A board that goes silent in the middle of "Read all pins": the page says
// so in plain words and stops reading. The pins read in that round show what
// they just got; the pin that failed and every pin after it show no value,
// not one from the round before.
TEST_F(Start_page, FailedRoundShowsOnlyWhatItRead)
{
    constexpr int pins = 20;
    constexpr int failing = 5;
    Sim_board& sim = Connected_board::sim();
    for (int pin = 0; pin < pins; ++pin) {
        sim.script(digital_answer(pin, 1));
        sim.script(analog_answer(pin, static_cast<std::uint8_t>(100 + pin)));
    }
    for (int pin = 0; pin < failing; ++pin) {
        sim.script(digital_answer(pin, 0));
        sim.script(analog_answer(pin, static_cast<std::uint8_t>(200 + pin)));
    }
    sim.script({});
    const std::string dom = dump_operator_page(R"(
  statusOnce("Pins read at", function () {
    say("pin 19 before: " + inPage('tr[data-pin="19"] .digital').textContent + " " +
        inPage('tr[data-pin="19"] .analog').textContent);
    inPage("#refresh").click();
    statusOnce("Failed: pin", function () {
      for (const tr of frame.contentDocument.querySelectorAll("#pins tbody tr"))
        say(tr.dataset.pin + ": " + tr.querySelector(".digital").textContent + " " +
            tr.querySelector(".analog").textContent);
    });
  });)");

    std::string shown = "pin 19 before: 1 119\nFailed: pin 5: the board did not answer\n";
    for (int pin = 0; pin < pins; ++pin)
        shown += std::to_string(pin) + ": " + (pin < failing ? "0 " + std::to_string(200 + pin) : "– –") + "\n";
    EXPECT_NE(dom.find(shown), std::string::npos) << shown << "\n" << dom.substr(0, 3000);
    EXPECT_EQ(sim.instructions().size(), static_cast<std::size_t>(2 * pins + 2 * failing + 1));
}

// A write or a mode change that the board did not acknowledge shows as a
// failure on the page, in plain words, and the mode column does not show a
// mode that was not set. The page's first read meets silence, the write one
// byte, the mode silence again.
TEST_F(Start_page, SaysWhenTheBoardDoesNotAcknowledgeAWriteOrAMode)
{
    Sim_board& sim = Connected_board::sim();
    sim.script({});
    sim.script({0xA4});
    sim.script({});
    const std::string dom = dump_operator_page(R"(
  statusOnce("Failed: pin 0", function () {
    inPage('tr[data-pin="2"] button.write[data-value="1"]').click();
    statusOnce("Failed: pin 2", function () {
      const mode = inPage('tr[data-pin="3"] select.mode');
      mode.value = "output";
      mode.dispatchEvent(new Event("change"));
      statusOnce("Failed: pin 3", function () {
        say("mode shown: [" + mode.value + "]");
      });
    });
  });)");

    EXPECT_NE(dom.find("Failed: pin 0: the board did not answer\n"
                       "Failed: pin 2: the board's answer was not the one expected\n"
                       "Failed: pin 3: the board did not answer\n"
                       "mode shown: []\n"),
              std::string::npos)
        << dom.substr(0, 3000);
    const auto wire = sim.instructions();
    EXPECT_EQ(wire, (std::vector<Bytes>{{0x98, 0x80, 0xFE}, {0xA4, 0x82, 0x81, 0xFE}, {0x81, 0x83, 0xFE}}));
}

TEST_F(Start_page, HelpPageIsServedBesideIt)
{
    const std::string dom = dump_dom("http://127.0.0.1:8088/help/index.html");
    EXPECT_NE(dom.find("The GPIO API"), std::string::npos) << dom.substr(0, 2000);
    EXPECT_NE(dom.find("href=\"/arduino_uno_r4_analog.html\""), std::string::npos);
    EXPECT_TRUE(Connected_board::sim().instructions().empty());
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new Connected_board);
    return RUN_ALL_TESTS();
}
