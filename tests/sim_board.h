#pragma once
// A simulated board on the master side of a real pseudo-terminal.
//
// The program under test opens device_path() (the slave side) exactly as it
// would open a serial port. The board reads instructions from the master
// side: a byte below 0x80 is a single-byte server command; a byte 0x80 or
// above starts a framed instruction that runs to its 0xFE or 0xFD
// terminator. It records every byte it receives and answers each
// instruction in one burst, in the layouts the program's readers rely on:
//   server command c      -> c echoed (0x40 status -> 4 bytes, 0x04 systat -> 12)
//   0xE0 .. 0xFD ihwmcu   -> {0x00, 0x00, maker, board}
//   GPIO configure        -> {opcode, pin, 0xFE}                  (3 bytes)
//   GPIO digital read     -> {0x98, pin, value, 0xFE}             (4 bytes)
//   GPIO analog read      -> {0xA0, pin, low, high, 0xFE}         (5 bytes)
//   GPIO digital write    -> {0xA4, pin, value, 0xFE}             (4 bytes)
//   anything else framed  -> {opcode, 0xFE}
// In echo mode the board answers every instruction with exactly the bytes
// it received for it, terminator included, so the answer shows what went out.
// When the program purges both queues of the line (as it does on opening
// the port) the board greets with one byte, 0x55, which the opening drains.
// Tests can script the next answers, make it stay silent, or hang up.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

class Sim_board {
public:
    Sim_board();
    ~Sim_board();
    Sim_board(const Sim_board&) = delete;
    Sim_board& operator=(const Sim_board&) = delete;

    // The slave side, e.g. /dev/pts/7: what the program opens.
    std::string device_path() const { return path_; }

    // Scripted answers, consumed one per instruction before the normal ones.
    // An empty Bytes means "say nothing to that instruction".
    void script(Bytes answer);
    void set_silent(bool silent);            // answer nothing at all
    void set_echo(bool echo);                // answer each instruction with itself
    void set_identity(std::uint8_t maker, std::uint8_t board);  // default 0x06, 0x09
    void set_status(std::uint8_t status, std::uint8_t alarm, std::uint8_t fault);
    void set_systat(Bytes eleven_bytes);     // bytes 1..11 of the systat answer
    void set_analog(int pin, std::uint16_t value);
    void set_digital(int pin, std::uint8_t value);
    std::uint8_t digital(int pin);            // last value written / set
    std::uint8_t mode(int pin);               // last configure opcode, 0 if none
    // Delay before each answer is written (default none).
    void set_answer_delay(std::chrono::milliseconds delay);

    // Closes the master side: the program's next read fails.
    void hang_up();

    // Every byte received so far, and the instructions they formed.
    Bytes received();
    std::vector<Bytes> instructions();
    void clear_received();
    // Waits until at least n instructions have been received.
    bool wait_for_instructions(std::size_t n,
                               std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    void run();
    Bytes answer_for(const Bytes& instruction);

    int master_ = -1;
    int slave_keep_ = -1;  // keeps the line alive while the program has it closed
    int stop_pipe_[2] = {-1, -1};
    std::string path_;
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable changed_;
    Bytes received_;
    std::vector<Bytes> instructions_;
    Bytes pending_;
    std::deque<Bytes> script_;
    bool silent_ = false;
    bool echo_ = false;
    bool hung_up_ = false;
    int flushes_ = 0;  // the purges seen since the last instruction
    std::uint8_t maker_ = 0x06, board_ = 0x09;
    std::uint8_t status_[3] = {0x11, 0x00, 0x00};
    Bytes systat_ = {10, 20, 15, 0, 40, 3, 6, 5, 10, 12, 20};
    std::map<int, std::uint8_t> digital_;
    std::map<int, std::uint16_t> analog_;
    std::map<int, std::uint8_t> mode_;
    std::chrono::milliseconds delay_{0};
};
