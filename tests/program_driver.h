#pragma once
// Runs the built qorvel program as an operator would, for tests and
// benchmarks: standard input, output and error on pipes (or all three on a
// terminal of its own), a fresh temporary working directory, and a fake
// `xdg-open` first in PATH that records every browser start instead of
// opening a browser (and, if asked, stays a while as a browser would; the
// driver ends it with the test).
//
// Interface summary
//   Program_driver(opts)     starts the program (QORVEL_BINARY by default)
//   send(text) / send_line   types into the program's standard input
//   close_input()            ends standard input (the operator's end of input)
//   hang_up()                with on_terminal, closes the terminal as a
//                            closed window does; out() keeps what came before
//   unread_output()          with output_unread, the bytes waiting in the
//                            output pipe
//   read_until(text, t)      waits until text appears in standard output
//                            after the cursor; returns the output from the
//                            cursor through the match and moves the cursor
//                            past it, or nothing after t
//   wait_output(done, t)     waits until done(all standard output so far)
//                            holds; false after t
//   wait_err(text, t)        waits until text appears in standard error
//   pending()                standard output after the cursor (diagnostics)
//   take_pending()           the same, and moves the cursor to its end
//   out() / err()            everything read so far from each stream
//   terminal_path()          with on_terminal, the program's terminal
//   wait_exit(t)             the exit code (or -signal) once the program has
//                            ended and both streams are drained
//   browser_calls()          one entry per start of the fake browser: the
//                            argument count, "|", then the first argument
//   wait_browser_calls(n,t)  waits until n starts have been recorded
//   browser_process()        the first fake browser's session and signal
//                            masks, as it found them when it started
//   children()               the program's child processes now (zombies too)
//   cpu_seconds()            user + system CPU time the program used so far
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class Program_driver {
public:
    struct Options {
        std::string binary;  // empty: QORVEL_BINARY
        // How long the fake browser stays after it has recorded its start;
        // shows whether the program waits for it.
        std::chrono::milliseconds browser_stay{0};
        // Standard input, output and error on the slave side of a
        // pseudo-terminal that is the program's controlling terminal, as
        // in an operator's terminal window; echo and output processing are
        // off, so out() holds the program's own bytes. err() stays empty.
        bool on_terminal = false;
        // With on_terminal: false leaves the program without a controlling
        // terminal (a session of its own, the terminal opened O_NOCTTY), as
        // when it is started detached with its streams on a terminal.
        bool controlling_terminal = true;
        // Folders made in the working directory before the program starts
        // (the web server serves "pages" and "help" only if they are there).
        std::vector<std::string> folders;
        // Arguments after the program's name (for a shell that runs it).
        std::vector<std::string> arguments;
        // Standard output is a pipe that nobody reads, as under a paused
        // pager; out() stays empty.
        bool output_unread = false;
        // Signals the program starts with ignored, and with blocked, as a
        // shell's background job or a desktop launcher may hand them down.
        std::vector<int> ignored_signals;
        std::vector<int> blocked_signals;
    };

    // The process a browser start ran in, from /proc: its session, and its
    // ignored and blocked signals as bit masks (bit n-1 for signal n).
    struct Browser_process {
        pid_t session = -1;
        unsigned long long ignored = 0;
        unsigned long long blocked = 0;
    };

    Program_driver();
    explicit Program_driver(Options options);
    ~Program_driver();
    Program_driver(const Program_driver&) = delete;
    Program_driver& operator=(const Program_driver&) = delete;

    const std::string& work_dir() const { return work_dir_; }
    const std::string& terminal_path() const { return terminal_path_; }
    pid_t pid() const { return pid_; }

    void send(const std::string& text);
    void send_line(const std::string& line);
    void close_input();
    void hang_up();
    std::size_t unread_output();

    std::optional<std::string> read_until(
        const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool wait_output(const std::function<bool(const std::string&)>& done,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool wait_err(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::string pending();
    std::string take_pending();
    std::string out();
    std::string err();

    std::optional<int> wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool running();

    std::vector<std::string> browser_calls() const;
    bool wait_browser_calls(std::size_t n, std::chrono::milliseconds timeout);
    std::optional<Browser_process> browser_process() const;

    std::vector<pid_t> children() const;

    double cpu_seconds() const;

private:
    void read_output();
    void reap(int status);
    void end_lingering_browsers();
    void release();
    void stop_reading();

    Options options_;
    std::string work_dir_;
    std::string browser_log_;
    std::string terminal_path_;
    std::string browser_pids_;
    std::string browser_proc_;
    pid_t pid_ = -1;
    std::optional<int> exit_code_;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
    int stderr_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::thread reader_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    std::size_t cursor_ = 0;
    bool out_closed_ = false;
    bool err_closed_ = false;
};
