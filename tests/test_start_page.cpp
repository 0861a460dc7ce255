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

// A board that says nothing: the page says so in plain words, shows no value
// for the pin rather than one the board never sent, and stops reading.
TEST_F(Start_page, SaysWhenTheBoardDoesNotAnswer)
{
    Sim_board& sim = Connected_board::sim();
    sim.set_silent(true);
    const std::string dom = dump_dom("http://localhost:8088/arduino_uno_r4_analog.html");
    sim.set_silent(false);

    EXPECT_NE(dom.find(">Failed: pin 0: the board did not answer</span>"), std::string::npos) << dom;
    EXPECT_EQ(cell(dom, 0, "digital"), "–");
    EXPECT_EQ(sim.instructions().size(), 1u);
}

// The start page inside a page of the test's own, which clicks as the
// operator would: a write on pin 2, then the mode "output" on pin 3. What the
// start page's status line said after each is copied out, one line each, with
// what its mode column then shows.
const char* const operator_page = R"(<!DOCTYPE html>
<html><body><pre id="said"></pre>
<iframe id="page" src="/arduino_uno_r4_analog.html"></iframe>
<script>
const said = document.getElementById("said");
const frame = document.getElementById("page");
function inPage(selector) { return frame.contentDocument.querySelector(selector); }
function statusOnce(prefix, then) {
  const poll = setInterval(function () {
    const text = inPage("#status").textContent;
    if (!text.startsWith(prefix)) return;
    clearInterval(poll);
    said.textContent += text + "\n";
    then();
  }, 20);
}
frame.addEventListener("load", function () {
  statusOnce("Failed: pin 0", function () {
    inPage('tr[data-pin="2"] button.write[data-value="1"]').click();
    statusOnce("Failed: pin 2", function () {
      const mode = inPage('tr[data-pin="3"] select.mode');
      mode.value = "output";
      mode.dispatchEvent(new Event("change"));
      statusOnce("Failed: pin 3", function () {
        said.textContent += "mode shown: [" + mode.value + "]\n";
      });
    });
  });
});
</script></body></html>
)";

// A write or a mode change that the board did not acknowledge shows as a
// failure on the page, in plain words, and the mode column does not show a
// mode that was not set.
TEST_F(Start_page, SaysWhenTheBoardDoesNotAcknowledgeAWriteOrAMode)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("qorvel_operator_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "pages");
    for (const char* file : {"arduino_uno_r4_analog.html", "qorvel.js", "qorvel.css"})
        fs::copy_file(fs::path(QORVEL_SOURCE_DIR) / "pages" / file, dir / "pages" / file);
    std::ofstream(dir / "pages" / "operator.html") << operator_page;
    fs::current_path(dir);

    // The page's first read meets silence, the write one byte, the mode
    // silence again.
    Sim_board& sim = Connected_board::sim();
    sim.script({});
    sim.script({0xA4});
    sim.script({});
    const std::string dom = dump_dom("http://localhost:8088/operator.html");
    fs::current_path(QORVEL_SOURCE_DIR);
    fs::remove_all(dir);

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
