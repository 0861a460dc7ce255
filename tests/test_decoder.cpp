// Answers to text: the board model's decoder and its GPIO branch.
#include "board_test_support.h"

namespace {

class Decoder : public testing::Test {
protected:
    void SetUp() override {
        serial_connected = 1;
        board.set_names("-", "-");
    }
    void TearDown() override { serial_connected = 0; }

    std::string decode(const std::string& word, const Server_response& answer) {
        return stdout_of([&] { board.decode_response(word, answer); });
    }
};

TEST_F(Decoder, EmptyAnswerPrintsNothingForAnyWordConnectedOrNot) {
    for (const char* word : {"sta", "systat", "g1rd", "iping", "zzz", "ihwmcu"})
        EXPECT_EQ(decode(word, {}), "") << word;
    serial_connected = 0;
    EXPECT_EQ(decode("sta", {}), "");
}

TEST_F(Decoder, AnswerWithoutLinkPrintsNop) {
    serial_connected = 0;
    EXPECT_EQ(decode("sta", answer_of({0x40, 0, 0, 0})), "Nop\n");
    EXPECT_EQ(decode("g1rd", answer_of({1, 2, 3, 4})), "Nop\n");
}

TEST_F(Decoder, StatusDumpShowsEveryNamedBit) {
    const std::string out = decode("status", answer_of({0x40, 0x90, 0x11, 0x08}));
    EXPECT_EQ(out,
              "\n"
              "bs_status: 10010000\n"
              "b7 == 1 : A Fault for User space exists\n"
              "b6 == 0 : No Alarm for User space\n"
              "b4 == 1 : U-ST (User Space scheduler) running\n"
              "b3 == 0 : No Fault for Kernel\n"
              "b2 == 0 : No Alarm for Kernel\n"
              "b0 == 0 : K-ST (Kernel Space scheduler) stopped\n"
              "\n"
              "bs_alarm: 00010001\n"
              "b4 == 1 : U-ST (User Space) Stack load is high\n"
              "b0 == 1 : K-ST (Kernel Space) Stack load is high\n"
              "\n"
              "bs_fault: 00001000\n"
              "b4 == 0 : U-ST (User Space) stack good\n"
              "b3 == 1 : Wadtchdog timer triggered (RT overload) TODO\n"
              "b0 == 0 : K-ST (Kernel Space) stack good\n");
    const std::string inverse = decode("sta", answer_of({0x40, 0x6F, 0xEE, 0xF7}));
    EXPECT_NE(inverse.find("bs_status: 01101111\nb7 == 0 : No Fault for User space\n"
                           "b6 == 1 : An Alarm for User space exists\n"
                           "b4 == 0 : U-ST (User Space scheduler) stopped\n"
                           "b3 == 1 : A Fault for Kernel exists\n"
                           "b2 == 1 : An Alarm for Kernel exists\n"
                           "b0 == 1 : K-ST (Kernel Space scheduler) running\n"),
              std::string::npos)
        << inverse;
    EXPECT_NE(inverse.find("b4 == 0 : U-ST (User Space) Stack load is good\n"
                           "b0 == 0 : K-ST (Kernel Space) Stack load is good\n"),
              std::string::npos);
    EXPECT_NE(inverse.find("b4 == 1 : U-ST (User Space) stack full\n"
                           "b3 == 0 : Wadtchdog timer good TODO\n"
                           "b0 == 1 : K-ST (Kernel Space) stack Full\n"),
              std::string::npos);
}

TEST_F(Decoder, StatusTestsTheCodeBeforeTheLength) {
    EXPECT_EQ(decode("sta", answer_of({0x41, 0, 0, 0})),
              "Error on transmission. The Request was: status (0x40) but reaback from server was 0x41\n");
    EXPECT_EQ(decode("sta", answer_of({0x41})),
              "Error on transmission. The Request was: status (0x40) but reaback from server was 0x41\n");
    EXPECT_EQ(decode("sta", answer_of({0x40})), "Error response length: 1 != 4\n");
}

TEST_F(Decoder, AcknowledgementsOfSingleServerCommands) {
    struct Row {
        const char* word;
        int code;
        const char* ok;
        const char* request;
    };
    const Row rows[] = {
        {"rust", 0x20, "Server operation ok: runust", "runust"},
        {"runust", 0x20, "Server operation ok: runust", "runust"},
        {"sust", 0x10, "Server operation ok: stopust", "stopust"},
        {"stopust", 0x10, "Server operation ok: stopust", "stopust"},
        {"clr", 0x08, "Server operation ok: clear fault and alarm words", "clear"},
        {"clear", 0x08, "Server operation ok: clear fault and alarm words", "clear"},
        {"rkst", 0x02, "Server operation ok: runkst", "runkst"},
        {"runkst", 0x02, "Server operation ok: runkst", "runkst"},
        {"skst", 0x01, "Server operation ok: stopkst", "stopkst"},
        {"stopkst", 0x01, "Server operation ok: stopkst", "stopkst"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(decode(r.word, answer_of({r.code})), std::string(r.ok) + "\n") << r.word;
        EXPECT_EQ(decode(r.word, answer_of({r.code, r.code})), "Error response length: 2 != 1\n");
        std::ostringstream wrong;
        wrong << "Error on transmission. The Request was: " << r.request << " (0x" << std::hex
              << r.code << ") but reaback from server was 0x40\n";
        EXPECT_EQ(decode(r.word, answer_of({0x40})), wrong.str()) << r.word;
    }
    EXPECT_EQ(decode("rust", answer_of({0x10})),
              "Error on transmission. The Request was: runust (0x20) but reaback from server was 0x10\n");
}

TEST_F(Decoder, RunAndStopAcceptEitherCodeOfTheirPair) {
    EXPECT_EQ(decode("run", answer_of({0x20})), "Server operation ok: run\n");
    EXPECT_EQ(decode("run", answer_of({0x02})), "Server operation ok: run\n");
    EXPECT_EQ(decode("stop", answer_of({0x10})), "Server operation ok: stop\n");
    EXPECT_EQ(decode("stop", answer_of({0x01})), "Server operation ok: stop\n");
    EXPECT_EQ(decode("run", answer_of({0x10})),
              "Error on transmission. The Request was: run (0x22) but reaback from server was 0x10\n");
    EXPECT_EQ(decode("stop", answer_of({0xFF})),
              "Error on transmission. The Request was: stop (0x11) but reaback from server was 0xffffffff\n");
    EXPECT_EQ(decode("stop", answer_of({0x80})),
              "Error on transmission. The Request was: stop (0x11) but reaback from server was 0xffffff80\n");
    EXPECT_EQ(decode("run", answer_of({0x20, 0x02})), "Error response length: 2 != 1\n");
}

TEST_F(Decoder, SystatDumpInPercent) {
    const std::string out =
        decode("systat", answer_of({0x04, 10, 20, 15, 0, 40, 3, 6, 5, 10, 12, 20}));
    EXPECT_EQ(out,
              "\n"
              "Systats:\n"
              "RT load min:           25 % (10 / 40)\n"
              "RT load max:           50 % (20 / 40)\n"
              "RT load avg:           37.5 % (15 / 40)\n"
              "Kernel stack load min: 25 % (3 / 12)\n"
              "Kernel stack load max: 50 % (6 / 12)\n"
              "User stack load min:   25 % (5 / 20)\n"
              "User stack load max:   50 % (10 / 20)\n");
}

TEST_F(Decoder, SystatWrapsAReversedPeriodAndSurvivesZeroScales) {
    const std::string wrapped =
        decode("sys", answer_of({0x04, 10, 20, 15, 200, 100, 1, 1, 1, 1, 3, 3}));
    EXPECT_NE(wrapped.find("RT load min:           2.32831e-07 % (10 / 4294967196)\n"),
              std::string::npos)
        << wrapped;
    const std::string zero = decode("sys", answer_of({0x04, 0, 20, 0, 7, 7, 0, 1, 0, 0, 0, 0}));
    const auto lines = lines_of(zero);
    ASSERT_EQ(lines.size(), 9u) << zero;
    EXPECT_EQ(lines[3], "RT load max:           inf % (20 / 0)");
    EXPECT_NE(lines[2].find("nan"), std::string::npos) << lines[2];
}

TEST_F(Decoder, SystatLengthAndCodeErrors) {
    EXPECT_EQ(decode("systat", answer_of({0x04, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10})),
              "Error status response length: 11 != 12\n");
    EXPECT_EQ(decode("systat", answer_of({0x05, 1, 2})),
              "Error on transmission. The Request was: systat (0x4) but reaback from server was 0x5\n");
}

TEST_F(Decoder, IdentificationSetsTheBoardNames) {
    EXPECT_EQ(decode("ihwmcu", answer_of({0x55, 0x66, 0x06, 0x09})), "");
    EXPECT_EQ(board.get_names(), std::make_pair(std::string("Arduino"), std::string("Uno_R4_Minima")));
    decode("ihwmcu", answer_of({0, 0, 0x30, 0x09}));
    EXPECT_EQ(board.get_names(), std::make_pair(std::string("Microchip"), std::string("PIC16F628")));
    // An unknown maker: empty maker name, the device name kept.
    decode("ihwmcu", answer_of({0, 0, 0x07, 0x09}));
    EXPECT_EQ(board.get_names(), std::make_pair(std::string(""), std::string("PIC16F628")));
    // A known maker with an unknown board.
    decode("ihwmcu", answer_of({0, 0, 0x06, 0x0A}));
    EXPECT_EQ(board.get_names(), std::make_pair(std::string("Arduino"), std::string("")));
    EXPECT_EQ(decode("ihwmcu", answer_of({0, 0, 0x30, 0x09, 0})), "Error response length: 5 != 4\n");
    EXPECT_EQ(board.get_names(), std::make_pair(std::string("Arduino"), std::string("")));
    // Bytes 0x80 and above are ids, not negative numbers.
    board.hw_makers[0xC6] = "Tested";
    decode("ihwmcu", answer_of({0, 0, 0xC6, 0x09}));
    EXPECT_EQ(board.get_names().first, "Tested");
    board.hw_makers.erase(0xC6);
}

TEST_F(Decoder, AnswersItCannotInterpret) {
    const char* expected =
        "Unhandled Decoding: %s\n"
        "A response was received from server, but Server::decode_response:\n"
        "does not know how to interpret it ...\n";
    for (const char* word : {"iping", "csleep", "zz"}) {
        char buf[256];
        std::snprintf(buf, sizeof buf, expected, word);
        EXPECT_EQ(decode(word, answer_of({1})), buf);
    }
}

TEST_F(Decoder, GpioModesAndLengths) {
    EXPECT_EQ(decode("g2co", answer_of({0x81, 0x82, 0xFE})), "Pin 2 set as Digital Output.\n");
    EXPECT_EQ(decode("g2co", answer_of({0x81, 0x82, 0xFE, 0})), "Error response length: 4 != 3\n");
    EXPECT_EQ(decode("g1ci", answer_of({1, 2, 3})), "Pin 1 set as Digital Input.\n");
    EXPECT_EQ(decode("g8ca", answer_of({1, 2, 3})), "Pin 8 set as Analog Input.\n");
    EXPECT_EQ(decode("g12cp", answer_of({1, 2, 3})), "Pin 12 set as PWM Output.\n");
    // The pin is shown as typed, even without digits.
    EXPECT_EQ(decode("gco", answer_of({1, 2, 3})), "Pin  set as Digital Output.\n");
    EXPECT_EQ(decode("g007ci", answer_of({1, 2, 3})), "Pin 007 set as Digital Input.\n");
}

TEST_F(Decoder, GpioReadsTakeBytesAsUnsigned) {
    EXPECT_EQ(decode("g1rd", answer_of({0x98, 0x81, 0xFF, 0xFE})), "Pin 1 value: 255\n");
    EXPECT_EQ(decode("g65rd", answer_of({0, 0, 7, 0})), "Pin 65 value: 7\n");
    EXPECT_EQ(decode("g1rd", answer_of({0x98, 0x81, 0xFE})), "Error response length: 3 != 4\n");
    EXPECT_EQ(decode("g3ra", answer_of({0xA0, 0x83, 0xFF, 0x03, 0xFE})), "Pin 3 value: 1023\n");
    EXPECT_EQ(decode("g3ra", answer_of({0xA0, 0x83, 0xFF, 0xFF, 0xFE})), "Pin 3 value: 65535\n");
    EXPECT_EQ(decode("g3ra", answer_of({0xA0, 0x83, 0xFF, 0xFE})), "Error response length: 4 != 5\n");
}

TEST_F(Decoder, GpioWriteShowsTheTypedValue) {
    EXPECT_EQ(decode("g2wd1", answer_of({9, 9, 9, 9})), "Pin 2 value: 1 written on port.\n");
    EXPECT_EQ(decode("g65wd65", answer_of({0, 0, 0, 0})), "Pin 65 value: 65 written on port.\n");
    EXPECT_EQ(decode("g2wd1x", answer_of({0, 0, 0, 0})), "Pin 2 value: 1 written on port.\n");
    EXPECT_EQ(decode("g2wd1", answer_of({0, 0, 0})), "Error response length: 3 != 4\n");
    EXPECT_EQ(decode("gwd1", answer_of({0, 0, 0, 0})), "");
    EXPECT_EQ(decode("g2wd", answer_of({0, 0, 0, 0})), "");
    EXPECT_EQ(decode("g2wdx", answer_of({0, 0, 0, 0})), "");
    EXPECT_EQ(decode("g2wp5", answer_of({0, 0, 0, 0})), "");
    EXPECT_EQ(decode("g2wp", answer_of({0, 0})), "Error response length: 2 != 4\n");
}

TEST_F(Decoder, GpioWordsWithoutARowAreReported) {
    for (const char* op : {"cr", "cod", "cpu", "rd8", "w"}) {
        const std::string out = decode(std::string("g2") + op, answer_of({1}));
        const auto lines = lines_of(out);
        ASSERT_EQ(lines.size(), 3u) << out;
        EXPECT_EQ(lines[0], std::string("Unhandled command decoder: ") + op);
        EXPECT_EQ(lines[1].rfind("Build: ", 0), 0u);
        EXPECT_NE(lines[2].find("class_halcyr_server.cpp:"), std::string::npos) << lines[2];
    }
}

}  // namespace
