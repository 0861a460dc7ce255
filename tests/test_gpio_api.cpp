// The GPIO HTTP API over real HTTP on loopback, against the simulated board:
// status codes, exact bodies and content types, what reaches the wire and the
// console, each answer judged as the console's decoder judges it, the link
// down or hung up, a silent board, concurrent clients beside console words,
// the refusal of cross-site requests, connections closed after an answer
// given before the request was read whole, and a stop while reads wait for a
// silent board.
#include "board_test_support.h"
#include "web_test_support.h"

#include "board_link/qn_commands.h"

#include <atomic>
#include <map>
#include <thread>
#include <vector>

using namespace web_test;

namespace {

struct Exchange {
    int status = -1;  // -1: no HTTP answer at all
    std::string body;
    std::optional<std::string> content_type;
    std::string console;
    std::vector<Bytes> wire;
};

const std::string json_type = "application/json";
const std::string ok_body = R"({"status":"ok"})";
const std::string bad_request = R"({"error":"Bad request"})";
const std::string invalid_pin = R"({"error":"Invalid pin"})";
const std::string invalid_pin_or_mode = R"({"error":"Invalid pin or mode"})";
const std::string forbidden = R"({"error":"Forbidden"})";
const std::string invalid_value = R"({"error":"Invalid value"})";
const std::string not_connected = R"({"error":"Not connected"})";
const std::string no_answer = R"({"error":"No answer from board"})";
const std::string bad_answer = R"({"error":"Bad answer from board"})";
const std::string not_connected_line = "Cannot run a server command while not connected.\n";

class Gpio_api : public testing::Test {
protected:
    void SetUp() override
    {
        serial_connected = 1;
        http_stop_request = 0;
        server_ = std::make_unique<Web_server_thread>(0);
        bool up = false;
        quietly([&] { up = server_answers(); });
        ASSERT_TRUE(up) << "the server did not come up";
        sim().clear_received();
    }
    void TearDown() override
    {
        quietly([&] { server_.reset(); });
    }

    static Sim_board& sim() { return Connected_board::sim(); }

    // One request, with what it printed and sent.
    Exchange exchange(const std::function<httplib::Result(httplib::Client&)>& request)
    {
        Exchange e;
        auto c = client();
        testing::internal::CaptureStdout();
        auto r = request(*c);
        e.console = testing::internal::GetCapturedStdout();
        if (r) {
            e.status = r->status;
            e.body = r->body;
            if (r->has_header("Content-Type")) e.content_type = r->get_header_value("Content-Type");
        }
        e.wire = sim().instructions();
        sim().clear_received();
        return e;
    }
    Exchange get(const std::string& path, const httplib::Headers& headers = {})
    {
        return exchange([&](httplib::Client& c) { return c.Get(path, headers); });
    }
    Exchange post(const std::string& path, const std::string& body, const httplib::Headers& headers = {})
    {
        return exchange([&](httplib::Client& c) { return c.Post(path, headers, body, "application/json"); });
    }

    std::unique_ptr<Web_server_thread> server_;
};

// The JSON answer checks that every route shares.
void expect_json(const Exchange& e, int status, const std::string& body)
{
    EXPECT_EQ(e.status, status);
    EXPECT_EQ(e.body, body);
    EXPECT_EQ(e.content_type, json_type);
}

void expect_untouched(const Exchange& e)
{
    EXPECT_EQ(e.console, "");
    EXPECT_TRUE(e.wire.empty());
}

TEST_F(Gpio_api, ReadRoutesAnswerThePinAndTheBoardsValue)
{
    sim().set_digital(5, 0x01);
    Exchange e = get("/api/gpio/grd/5");
    expect_json(e, 200, R"({"pin":5,"value":1})");
    EXPECT_EQ(e.wire, (std::vector<Bytes>{{0x98, 0x85, 0xFE}}));

    // The digital byte is signed.
    sim().script({0x98, 0x85, 0xFF, 0xFE});
    expect_json(get("/api/gpio/grd/5"), 200, R"({"pin":5,"value":-1})");

    // The analog value is unsigned 16 bits, low byte first.
    sim().set_analog(3, 1023);
    e = get("/api/gpio/gra/3");
    expect_json(e, 200, R"({"pin":3,"value":1023})");
    EXPECT_EQ(e.wire, (std::vector<Bytes>{{0xA0, 0x83, 0xFE}}));
    sim().script({0xA0, 0x83, 0xFF, 0xFF, 0xFE});
    expect_json(get("/api/gpio/gra/3"), 200, R"({"pin":3,"value":65535})");

    // The frame sender's prompt is the only thing a read prints.
    EXPECT_EQ(e.console.find('\n'), std::string::npos) << e.console;
}

TEST_F(Gpio_api, ReadRoutesCheckThePin)
{
    for (const std::string route : {"grd", "gra"}) {
        SCOPED_TRACE(route);
        const std::uint8_t opcode = route == "grd" ? 0x98 : 0xA0;

        Exchange e = get("/api/gpio/" + route + "/63");
        EXPECT_EQ(e.status, 200);
        EXPECT_EQ(e.wire, (std::vector<Bytes>{{opcode, 0xBF, 0xFE}}));

        // Leading zeros do not reach the board.
        e = get("/api/gpio/" + route + "/007");
        EXPECT_EQ(e.status, 200);
        EXPECT_EQ(e.body.rfind(R"({"pin":7,)", 0), 0u) << e.body;
        EXPECT_EQ(e.wire, (std::vector<Bytes>{{opcode, 0x87, 0xFE}}));

        for (const std::string pin : {"64", "2147483647"}) {
            e = get("/api/gpio/" + route + "/" + pin);
            expect_json(e, 400, invalid_pin);
            expect_untouched(e);
        }
        // Too big for an int: the library's own error answer, no API body.
        e = get("/api/gpio/" + route + "/2147483648");
        EXPECT_EQ(e.status, 500);
        EXPECT_EQ(e.body.find('{'), std::string::npos) << e.body;
        expect_untouched(e);

        // Not digits: no route.
        EXPECT_EQ(get("/api/gpio/" + route + "/-1").status, 404);
        EXPECT_EQ(get("/api/gpio/" + route + "/5x").status, 404);
    }
}

TEST_F(Gpio_api, AnswersLeaveWithExactBytesAndKeepTheirConnection)
{
    sim().set_digital(4, 1);
    std::string raw;
    quietly([&] { raw = raw_exchange("GET /api/gpio/grd/4 HTTP/1.1\r\nHost: localhost:8088\r\n\r\n"); });
    EXPECT_EQ(raw.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << raw;
    EXPECT_NE(raw.find("\r\nContent-Type: application/json\r\n"), std::string::npos) << raw;
    EXPECT_NE(raw.find("\r\nContent-Length: 19\r\n"), std::string::npos) << raw;
    EXPECT_NE(raw.find("\r\nKeep-Alive: timeout=5, max=100\r\n"), std::string::npos) << raw;
    EXPECT_EQ(body_of(raw), R"({"pin":4,"value":1})");
}

TEST_F(Gpio_api, WriteRouteSendsTheValueAndPrintsThePin)
{
    Exchange e = post("/api/gpio/gwd/2", R"({"value":1})");
    expect_json(e, 200, ok_body);
    EXPECT_EQ(e.console.rfind("Pin Update: 2\n", 0), 0u) << e.console;
    EXPECT_EQ(e.wire, (std::vector<Bytes>{{0xA4, 0x82, 0x81, 0xFE}}));
    EXPECT_EQ(sim().digital(2), 1);

    // Fractions are cut toward zero, booleans are 0 and 1; other members do
    // not matter.
    const std::vector<std::pair<std::string, std::uint8_t>> values = {
        {R"({"value":63})", 0xBF},          {R"({"value":1.9})", 0x81},
        {R"({"value":true})", 0x81},        {R"({"value":false})", 0x80},
        {R"({"other":"x","value":0})", 0x80}, {R"({"value":63.9})", 0xBF},
        {R"({"value":-0.5})", 0x80},
    };
    for (const auto& [body, operand] : values) {
        SCOPED_TRACE(body);
        e = post("/api/gpio/gwd/2", body);
        expect_json(e, 200, ok_body);
        EXPECT_EQ(e.wire, (std::vector<Bytes>{{0xA4, 0x82, operand, 0xFE}}));
    }

    e = post("/api/gpio/gwd/063", R"({"value":1})");
    expect_json(e, 200, ok_body);
    EXPECT_EQ(e.console.rfind("Pin Update: 63\n", 0), 0u) << e.console;
    EXPECT_EQ(e.wire, (std::vector<Bytes>{{0xA4, 0xBF, 0x81, 0xFE}}));
}

TEST_F(Gpio_api, WriteRouteRefusesBadBodiesAndPins)
{
    for (const std::string body : {R"({"value":"1"})", "{}", "[1]", "null", "", "not json", R"({"value":null})",
                                   R"({"value":[1]})", R"({"value":{}})", R"("value")", "1", R"({"value":1,})"}) {
        SCOPED_TRACE(body);
        Exchange e = post("/api/gpio/gwd/2", body);
        expect_json(e, 500, bad_request);
        expect_untouched(e);
    }

    // A pin's value travels in six bits: anything else would reach the board
    // as another value.
    for (const std::string body : {R"({"value":64})", R"({"value":-1})", R"({"value":-1.0})", R"({"value":2147483648})",
                                   R"({"value":-1e20})", R"({"value":18446744073709551615})"}) {
        SCOPED_TRACE(body);
        Exchange e = post("/api/gpio/gwd/2", body);
        expect_json(e, 400, invalid_value);
        expect_untouched(e);
    }

    for (const std::string pin : {"64", "2147483647"}) {
        Exchange e = post("/api/gpio/gwd/" + pin, R"({"value":1})");
        expect_json(e, 400, invalid_pin);
        expect_untouched(e);
    }
    // The body is judged first, then the pin, then the value.
    Exchange e = post("/api/gpio/gwd/64", "not json");
    expect_json(e, 500, bad_request);
    expect_untouched(e);
    e = post("/api/gpio/gwd/64", R"({"value":64})");
    expect_json(e, 400, invalid_pin);
    expect_untouched(e);

    e = post("/api/gpio/gwd/2147483648", R"({"value":1})");
    EXPECT_EQ(e.status, 500);
    EXPECT_EQ(e.body.find('{'), std::string::npos) << e.body;
    expect_untouched(e);
}

TEST_F(Gpio_api, ConfigurationRouteSetsModes)
{
    struct Row {
        std::string mode;
        std::vector<Bytes> wire;
        bool ok_body;
    };
    const std::vector<Row> rows = {
        {"input", {{0x80, 0x82, 0xFE}}, true},  {"output", {{0x81, 0x82, 0xFE}}, true},
        {"opendrain", {{0x88, 0x82, 0xFE}}, false}, {"pullup", {{0x89, 0x82, 0xFE}}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        Exchange e = post("/api/gpio/config/2", R"({"mode":")" + row.mode + R"("})");
        EXPECT_EQ(e.wire, row.wire);
        if (row.ok_body) {
            expect_json(e, 200, ok_body);
        } else {
            EXPECT_EQ(e.status, 200);
            EXPECT_EQ(e.body, "");
            EXPECT_FALSE(e.content_type.has_value()) << *e.content_type;
        }
    }
    // Modes that the board link has no instruction for are not a success.
    for (const std::string mode : {"pulldown", "pushpull"}) {
        SCOPED_TRACE(mode);
        Exchange e = post("/api/gpio/config/2", R"({"mode":")" + mode + R"("})");
        expect_json(e, 501, R"({"error":"Mode not implemented"})");
        EXPECT_TRUE(e.wire.empty());
        EXPECT_TRUE(e.console.starts_with("Not implemented\n")) << e.console;
    }

    for (const std::string body : {R"({"mode":"Output"})", R"({"mode":"output "})", R"({"mode":""})"}) {
        SCOPED_TRACE(body);
        Exchange e = post("/api/gpio/config/2", body);
        expect_json(e, 400, invalid_pin_or_mode);
        expect_untouched(e);
    }
    Exchange e = post("/api/gpio/config/64", R"({"mode":"output"})");
    expect_json(e, 400, invalid_pin_or_mode);
    expect_untouched(e);

    for (const std::string body : {R"({"mode":1})", R"({"mode":null})", "{}", "[]", "", "null", "nope"}) {
        SCOPED_TRACE(body);
        e = post("/api/gpio/config/2", body);
        expect_json(e, 500, bad_request);
        expect_untouched(e);
    }
    e = post("/api/gpio/config/99", R"({"mode":1})");
    expect_json(e, 500, bad_request);

    e = post("/api/gpio/config/007", R"({"mode":"output"})");
    expect_json(e, 200, ok_body);
    EXPECT_EQ(e.wire, (std::vector<Bytes>{{0x81, 0x87, 0xFE}}));
}

// A request that arrives after "di" but before the supervisor's next pass
// has stopped the server finds the link down. The window is up to 100 ms,
// so a request that lands after the stop is simply tried again.
TEST_F(Gpio_api, LinkDownWhenARequestArrives)
{
    struct Request {
        const char* path;
        const char* body;  // nullptr: a GET
        const char* printed_first;
    };
    const Request requests[] = {
        {"/api/gpio/grd/5", nullptr, ""},
        {"/api/gpio/gwd/5", R"({"value":1})", "Pin Update: 5\n"},
        {"/api/gpio/config/5", R"({"mode":"output"})", ""},
    };
    std::size_t landed = 0;
    for (int attempt = 0; attempt < 15 && landed < std::size(requests); ++attempt) {
        serial_connected = 1;
        bool up = false;
        quietly([&] { up = server_answers(); });
        ASSERT_TRUE(up);
        sim().clear_received();

        serial_connected = 0;
        const Request& r = requests[landed];
        Exchange e = r.body ? post(r.path, r.body) : get(r.path);
        if (e.status != -1) {
            ++landed;
            SCOPED_TRACE(r.path);
            expect_json(e, 503, not_connected);
            // (The quit line may follow if the stop came meanwhile.)
            EXPECT_TRUE(e.console.starts_with(r.printed_first + not_connected_line)) << e.console;
            EXPECT_TRUE(e.wire.empty());
        }
        // Let the supervisor stop the server before the next attempt.
        quietly([] { wait_for([] { return !http_server.is_running(); }, milliseconds(1000)); });
    }
    EXPECT_EQ(landed, std::size(requests)) << "not every request landed while the link was down";
}

// A board that hung up, or whose port has gone, leaves the link flagged up
// until "di"; its requests find no board all the same.
TEST_F(Gpio_api, HungUpBoardIsNotConnected)
{
    const auto open_link = [](const std::string& path) {
        quietly([&] {
            std::lock_guard<std::mutex> lock(link_mutex());
            serial_link.open(path);
        });
    };
    Sim_board gone;
    open_link(gone.device_path());
    gone.hang_up();
    testing::internal::CaptureStderr();
    Exchange read = get("/api/gpio/grd/5");
    Exchange write = post("/api/gpio/gwd/5", R"({"value":1})");
    const std::string errors = testing::internal::GetCapturedStderr();
    open_link(sim().device_path());
    ASSERT_EQ(serial_link.get_connection_state().state, 1);

    expect_json(read, 503, not_connected);
    expect_json(write, 503, not_connected);
    EXPECT_EQ(count_of(errors, "Error: Failed to write to COM port\n"), 2u) << errors;
}

// A board that says nothing: no route reports a success that the board did
// not give. A read has no value; a write or a mode change was not
// acknowledged, though its instruction went out.
TEST_F(Gpio_api, NoSuccessWithoutTheBoardsAnswer)
{
    sim().set_silent(true);
    const auto start = Clock::now();
    Exchange read = get("/api/gpio/grd/5");
    const auto took = Clock::now() - start;
    Exchange write = post("/api/gpio/gwd/5", R"({"value":1})");
    Exchange output = post("/api/gpio/config/5", R"({"mode":"output"})");
    Exchange pullup = post("/api/gpio/config/5", R"({"mode":"pullup"})");
    sim().set_silent(false);

    expect_json(read, 504, no_answer);
    EXPECT_EQ(read.wire, (std::vector<Bytes>{{0x98, 0x85, 0xFE}}));
    EXPECT_GE(took, milliseconds(1900));
    expect_json(write, 504, no_answer);
    EXPECT_EQ(write.wire, (std::vector<Bytes>{{0xA4, 0x85, 0x81, 0xFE}}));
    expect_json(output, 504, no_answer);
    EXPECT_EQ(output.wire, (std::vector<Bytes>{{0x81, 0x85, 0xFE}}));
    expect_json(pullup, 504, no_answer);
    EXPECT_EQ(pullup.wire, (std::vector<Bytes>{{0x89, 0x85, 0xFE}}));

    // Open drain and pull-up take any answer as the board's word.
    sim().script({0x89});
    Exchange short_pullup = post("/api/gpio/config/5", R"({"mode":"pullup"})");
    EXPECT_EQ(short_pullup.status, 200);
    EXPECT_EQ(short_pullup.body, "");
}

// The route and the console judge the same answer to the same word alike:
// the route gives a value or a success exactly where the console's decoder
// prints the pin's line, and 502 where it prints its length error. The
// console's side is the word typed at the prompt: run_server_command, then
// the decoder with the answer that came back.
TEST_F(Gpio_api, RouteAndConsoleJudgeEachAnswerAlike)
{
    struct Row {
        const char* path;
        const char* body;  // nullptr: a GET
        const char* word;  // the same request typed at the console
        Bytes answer;
        int status;
        std::string http_body;
        std::string console;
    };
    const std::string value_1 = R"({"pin":2,"value":1})";
    const Row rows[] = {
        // A digital read is answered in 4 bytes. A board that echoes an
        // instruction it does not know gives 3, ending in 0xFE.
        {"/api/gpio/grd/2", nullptr, "g2rd", {0x98, 0x82, 0xFE}, 502, bad_answer, "Error response length: 3 != 4"},
        {"/api/gpio/grd/2", nullptr, "g2rd", {0x98, 0x82, 0x01}, 502, bad_answer, "Error response length: 3 != 4"},
        {"/api/gpio/grd/2", nullptr, "g2rd", {0x98, 0x82, 0x01, 0xFE, 0xFE}, 502, bad_answer,
         "Error response length: 5 != 4"},
        {"/api/gpio/grd/2", nullptr, "g2rd", {0x98, 0x82, 0x01, 0xFE, 0xFE, 0xFE}, 502, bad_answer,
         "Error response length: 6 != 4"},
        {"/api/gpio/grd/2", nullptr, "g2rd", {0x98, 0x82, 0x01, 0xFE}, 200, value_1, "Pin 2 value: 1"},
        // An analog read in 5.
        {"/api/gpio/gra/2", nullptr, "g2ra", {0xA0, 0x82, 0x01, 0xFE}, 502, bad_answer,
         "Error response length: 4 != 5"},
        {"/api/gpio/gra/2", nullptr, "g2ra", {0xA0, 0x82, 0x01, 0x02, 0xFE, 0xFE}, 502, bad_answer,
         "Error response length: 6 != 5"},
        {"/api/gpio/gra/2", nullptr, "g2ra", {0xA0, 0x82, 0x01, 0x02, 0xFE}, 200, R"({"pin":2,"value":513})",
         "Pin 2 value: 513"},
        // A write is acknowledged in 4, input and output in 3.
        {"/api/gpio/gwd/2", R"({"value":1})", "g2wd1", {0xA4}, 502, bad_answer, "Error response length: 1 != 4"},
        {"/api/gpio/gwd/2", R"({"value":1})", "g2wd1", {0xA4, 0x82, 0x81}, 502, bad_answer,
         "Error response length: 3 != 4"},
        {"/api/gpio/gwd/2", R"({"value":1})", "g2wd1", {0xA4, 0x82, 0x81, 0xFE, 0x00}, 502, bad_answer,
         "Error response length: 5 != 4"},
        {"/api/gpio/gwd/2", R"({"value":1})", "g2wd1", {0xA4, 0x82, 0x81, 0xFE}, 200, ok_body,
         "Pin 2 value: 1 written on port."},
        {"/api/gpio/config/2", R"({"mode":"output"})", "g2co", {0x81, 0x82}, 502, bad_answer,
         "Error response length: 2 != 3"},
        {"/api/gpio/config/2", R"({"mode":"output"})", "g2co", {0x81, 0x82, 0xFE}, 200, ok_body,
         "Pin 2 set as Digital Output."},
        {"/api/gpio/config/2", R"({"mode":"input"})", "g2ci", {0x80, 0x82, 0xFE, 0x00}, 502, bad_answer,
         "Error response length: 4 != 3"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.word) + " answered with " + std::to_string(row.answer.size()) + " bytes");
        sim().script(row.answer);
        expect_json(row.body ? post(row.path, row.body) : get(row.path), row.status, row.http_body);

        sim().script(row.answer);
        Server_response typed;
        quietly([&] { typed = run_server_command(row.word); });
        EXPECT_EQ(stdout_of([&] { board.decode_response(row.word, typed); }), row.console + "\n");
    }
}

// Five reads wait on a silent board when "http_stop" comes: the stop waits
// for the exchange under way (up to about 2.07 s) and no more; the reads
// that had not yet begun theirs send nothing and answer 503.
TEST_F(Gpio_api, StopWaitsOnlyForTheExchangeUnderWay)
{
    sim().set_silent(true);
    std::vector<Exchange> answers(5);
    std::vector<std::thread> reads;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5; ++i) {
        reads.emplace_back([&answers, i] {
            auto r = client()->Get("/api/gpio/grd/" + std::to_string(i + 1));
            if (r) answers[i] = Exchange{r->status, r->body, std::nullopt, {}, {}};
        });
    }
    // Every request is in its worker's hands, and the first exchange is
    // under way.
    const bool waiting = server_took_everything(5) && sim().wait_for_instructions(1);
    const auto decided = Clock::now();
    http_stop_request = 1;
    const bool stopped = wait_for([] { return !http_server.is_running(); }, milliseconds(10000)).has_value();
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - decided);
    for (auto& t : reads) t.join();
    const std::string console = testing::internal::GetCapturedStdout();
    const auto wire = sim().instructions();
    sim().set_silent(false);
    http_stop_request = 0;
    bool up = false;
    quietly([&] { up = server_answers(milliseconds(5000)); });
    EXPECT_TRUE(up);

    ASSERT_TRUE(waiting) << "the reads did not reach the board";
    ASSERT_TRUE(stopped);
    std::fprintf(stderr, "stop with five reads waiting on a silent board: %lld ms\n",
                 static_cast<long long>(took.count()));
    // About 2.2 s at most; the bound allows for a busy machine, and a stop
    // that waited for the queued exchanges too would take over 8 s.
    EXPECT_LT(took, milliseconds(5000));
    EXPECT_EQ(wire.size(), 1u) << "instructions went out after the stop";
    int timed_out = 0;
    int called_off = 0;
    for (const Exchange& a : answers) {
        if (a.status == 504 && a.body == no_answer) ++timed_out;
        if (a.status == 503 && a.body == not_connected) ++called_off;
    }
    EXPECT_EQ(timed_out, 1);
    EXPECT_EQ(called_off, 4);
    // Only the silent exchange is reported; what was called off sent nothing.
    EXPECT_EQ(count_of(console, "Not able to decode.\n"), 1u) << console;
}

// Several browsers and the console at once: every answer belongs to its own
// request, and every instruction reaches the board whole.
TEST_F(Gpio_api, ConcurrentClientsAndConsoleWordsKeepTheirAnswers)
{
    constexpr int clients = 6;
    constexpr int requests_each = 15;
    for (int pin = 0; pin < clients * 2; ++pin) {
        sim().set_digital(pin, static_cast<std::uint8_t>(pin % 2));
        sim().set_analog(pin, static_cast<std::uint16_t>(1000 + pin));
    }

    std::atomic<int> wrong{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    testing::internal::CaptureStdout();
    for (int t = 0; t < clients; ++t) {
        threads.emplace_back([&, t] {
            auto c = client();
            for (int i = 0; i < requests_each; ++i) {
                const int pin = t * 2 + i % 2;
                const bool analog = (i / 2) % 2 == 1;
                auto r = c->Get(std::string("/api/gpio/") + (analog ? "gra/" : "grd/") + std::to_string(pin));
                if (!r || r->status != 200) {
                    ++failed;
                    continue;
                }
                const int expected = analog ? 1000 + pin : pin % 2;
                if (r->body != R"({"pin":)" + std::to_string(pin) + R"(,"value":)" + std::to_string(expected) + "}")
                    ++wrong;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < requests_each; ++i) {
            Server_response a = run_server_command("sta");
            if (a.first.size() != 4 || static_cast<unsigned char>(a.first[0]) != 0x40) ++wrong;
            a = run_server_command("g20rd");
            if (a.first.size() != 4 || static_cast<unsigned char>(a.first[1]) != 0x94) ++wrong;
        }
    });
    for (auto& th : threads) th.join();
    testing::internal::GetCapturedStdout();

    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrong, 0);
    const auto wire = sim().instructions();
    EXPECT_EQ(wire.size(), static_cast<std::size_t>(clients * requests_each + 2 * requests_each));
    for (const Bytes& instruction : wire)
        EXPECT_TRUE(instruction == Bytes{0x40} || (instruction.size() == 3 && instruction[2] == 0xFE))
            << "mixed instruction of " << instruction.size() << " bytes";
}

// A browser tab closed while the board is still answering: its answer has
// nowhere to go, and the program goes on serving.
TEST_F(Gpio_api, ClientGoneBeforeTheAnswerLeavesTheProgramRunning)
{
    sim().set_answer_delay(milliseconds(150));
    quietly([] {
        for (int i = 0; i < 3; ++i) {
            int fd = connect_loopback();
            ASSERT_GE(fd, 0);
            const std::string request = "GET /api/gpio/grd/5 HTTP/1.1\r\nHost: localhost\r\n\r\n";
            ASSERT_GT(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), 0);
            std::this_thread::sleep_for(milliseconds(20));
            ::close(fd);
        }
        std::this_thread::sleep_for(milliseconds(600));
    });
    sim().set_answer_delay(milliseconds(0));
    sim().clear_received();
    sim().set_digital(5, 1);
    expect_json(get("/api/gpio/grd/5"), 200, R"({"pin":5,"value":1})");
}

TEST_F(Gpio_api, RefusesCrossSiteRequests)
{
    sim().set_digital(5, 1);
    const std::string read_5 = R"({"pin":5,"value":1})";

    // Our own names, with or without the port, as tools and our pages send
    // them.
    for (const std::string host :
         {"localhost", "localhost:8088", "127.0.0.1", "127.0.0.1:8088", "[::1]", "[::1]:8088", "LocalHost:8088"}) {
        SCOPED_TRACE(host);
        expect_json(get("/api/gpio/grd/5", {{"Host", host}}), 200, read_5);
    }
    // A DNS-rebinding page reaches us under its own name.
    for (const std::string host : {"evil.example", "evil.example:8088", "localhost:9000", "localhost.evil.example",
                                   "127.0.0.2:8088", "[::1]:80", ""}) {
        SCOPED_TRACE(host);
        Exchange e = get("/api/gpio/grd/5", {{"Host", host}});
        expect_json(e, 403, forbidden);
        expect_untouched(e);
        e = post("/api/gpio/gwd/5", R"({"value":0})", {{"Host", host}});
        expect_json(e, 403, forbidden);
        expect_untouched(e);
    }
    // A request with no Host at all cannot tell us it is for us.
    const std::string raw = raw_exchange("GET /api/gpio/grd/5 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(raw.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << raw;
    EXPECT_EQ(body_of(raw), forbidden);
    EXPECT_TRUE(sim().instructions().empty());

    // Another site's page posting to us (a "simple" text/plain POST needs no
    // preflight), also one that hides its origin as "null".
    for (const std::string origin :
         {"http://evil.example", "null", "http://localhost:9000", "https://localhost:8088", "http://localhost"}) {
        SCOPED_TRACE(origin);
        Exchange e = exchange([&](httplib::Client& c) {
            return c.Post("/api/gpio/gwd/5", {{"Origin", origin}}, R"({"value":0})", "text/plain");
        });
        expect_json(e, 403, forbidden);
        expect_untouched(e);
        e = post("/api/gpio/config/5", R"({"mode":"output"})", {{"Origin", origin}});
        expect_json(e, 403, forbidden);
        expect_untouched(e);
    }
    for (const std::string origin : {"http://localhost:8088", "http://127.0.0.1:8088", "http://[::1]:8088"}) {
        SCOPED_TRACE(origin);
        Exchange e = post("/api/gpio/gwd/5", R"({"value":1})", {{"Origin", origin}});
        expect_json(e, 200, ok_body);
        EXPECT_EQ(e.wire.size(), 1u);
    }
    // A GET carries no change to the board, and fetches of our own page
    // send no Origin; only POSTs are judged by it.
    expect_json(get("/api/gpio/grd/5", {{"Origin", "http://evil.example"}}), 200, read_5);
}

// An answer given before the whole request was read closes its connection,
// so a body that is itself a request is never run as the next one: a
// refused cross-site POST (as a page elsewhere can send with fetch in
// "no-cors" mode), an oversize POST, and a GET, whose body the server never
// reads.
TEST_F(Gpio_api, AnAnswerBeforeTheWholeRequestClosesItsConnection)
{
    const std::string inner =
        "POST /api/gpio/gwd/2 HTTP/1.1\r\nHost: localhost:8088\r\nContent-Type: application/json\r\n"
        "Content-Length: 11\r\n\r\n{\"value\":1}";
    const auto carrying = [&inner](const std::string& head, std::size_t length) {
        return head + "Content-Length: " + std::to_string(length) + "\r\n\r\n" + inner;
    };
    struct Case {
        const char* what;
        std::string request;
        std::string status_line;
    };
    const Case cases[] = {
        {"cross-site",
         carrying("POST /api/gpio/gwd/5 HTTP/1.1\r\nHost: localhost:8088\r\nOrigin: http://evil.example\r\n"
                  "Content-Type: text/plain\r\n",
                  inner.size()),
         "HTTP/1.1 403 Forbidden\r\n"},
        {"oversize", carrying("POST /api/gpio/gwd/5 HTTP/1.1\r\nHost: localhost:8088\r\n", 5000),
         "HTTP/1.1 413 Payload Too Large\r\n"},
        {"GET with a body", carrying("GET /api/gpio/grd/64 HTTP/1.1\r\nHost: localhost:8088\r\n", inner.size()),
         "HTTP/1.1 400 Bad Request\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int fd = connect_loopback();
        ASSERT_GE(fd, 0);
        std::optional<std::string> raw;
        testing::internal::CaptureStdout();
        if (send_all(fd, c.request)) raw = read_to_close(fd);
        const std::string console = testing::internal::GetCapturedStdout();
        ::close(fd);
        ASSERT_TRUE(raw) << "the connection stayed open";
        EXPECT_EQ(count_of(*raw, "HTTP/1.1 "), 1u) << *raw;
        EXPECT_TRUE(raw->starts_with(c.status_line)) << *raw;
        EXPECT_NE(raw->find("\r\nConnection: close\r\n"), std::string::npos) << *raw;
        EXPECT_EQ(raw->find("Keep-Alive"), std::string::npos) << *raw;
        EXPECT_EQ(console.find("Pin Update: "), std::string::npos) << console;
        EXPECT_TRUE(sim().instructions().empty());

        // The next request from our own site is served.
        Exchange e = post("/api/gpio/gwd/2", R"({"value":1})");
        expect_json(e, 200, ok_body);
        EXPECT_EQ(e.wire, (std::vector<Bytes>{{0xA4, 0x82, 0x81, 0xFE}}));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new Connected_board);
    return RUN_ALL_TESTS();
}
