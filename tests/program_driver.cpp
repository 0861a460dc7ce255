#include "program_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

void make_pipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
}

void close_fd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Records each start as "<argument count>|<first argument>" at once, then
// stays for the configured time, like an opener that runs the browser itself
// until the operator closes it. Before that line it notes, in `proc`, its
// /proc stat line and the signal lines of what it starts: what the program
// handed down to it. A lingering one also notes its process id, so that the
// driver can end it with the test.
void write_fake_browser(const std::string& path, const std::string& log, const std::string& proc,
                        const std::string& pids, std::chrono::milliseconds stay)
{
    std::ofstream script(path);
    // bash hands its commands the signal dispositions and mask it was
    // started with, and so the signal lines of a command it runs are what a
    // browser started by the opener would get. (bash itself ignores SIGQUIT;
    // dash empties the mask as it starts.)
    script << "#!/bin/bash\n";
    script << "{ cat /proc/$$/stat; grep '^Sig' /proc/self/status; } >> '" << proc << "'\n";
    script << "printf '%s|%s\\n' \"$#\" \"$1\" >> '" << log << "'\n";
    if (stay.count() > 0) {
        // exec: the noted id stays that of the process that lingers.
        script << "echo $$ >> '" << pids << "'\n";
        script << "exec sleep " << stay.count() / 1000.0 << "\n";
    }
    script.close();
    ::chmod(path.c_str(), 0755);
}

// A new pseudo-terminal for the program: its master side, and in `path` the
// slave side, set to pass the program's output unchanged and not to echo.
int open_terminal(std::string& path)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
        throw std::runtime_error(std::string("pseudo-terminal: ") + std::strerror(errno));
    }
    path = name;
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (slave < 0 || ::tcgetattr(slave, &t) != 0) {
        throw std::runtime_error(std::string("pseudo-terminal slave: ") + std::strerror(errno));
    }
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    ::tcsetattr(slave, TCSANOW, &t);
    ::close(slave);
    return master;
}

// A process's line in /proc: its command name, and the fields after it,
// from field 3 (the state) on; nothing when the process is gone.
struct Proc_stat {
    std::string name;
    std::vector<std::string> fields;
    const std::string& field(int number) const { return fields.at(static_cast<std::size_t>(number - 3)); }
};

std::optional<Proc_stat> parse_proc_stat(const std::string& line)
{
    // The command name stands in parentheses and may hold blanks.
    const std::size_t open = line.find('(');
    const std::size_t close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    Proc_stat process{line.substr(open + 1, close - open - 1), {}};
    std::istringstream fields(line.substr(close + 1));
    for (std::string field; fields >> field;) {
        process.fields.push_back(field);
    }
    if (process.fields.size() < 13) {
        return std::nullopt;
    }
    return process;
}

std::optional<Proc_stat> read_proc_stat(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    return parse_proc_stat(line);
}

}  // namespace

Program_driver::Program_driver() : Program_driver(Options{}) {}

Program_driver::Program_driver(Options options) : options_(std::move(options))
{
    if (options_.binary.empty()) {
        options_.binary = QORVEL_BINARY;
    }
    // A write to the program after it has ended must fail, not kill the test.
    ::signal(SIGPIPE, SIG_IGN);

    char dir_template[] = "/tmp/qorvel_session_XXXXXX";
    if (::mkdtemp(dir_template) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    work_dir_ = dir_template;
    const std::string bin_dir = work_dir_ + "/bin";
    std::filesystem::create_directory(bin_dir);
    for (const std::string& folder : options_.folders) std::filesystem::create_directories(work_dir_ + "/" + folder);
    browser_log_ = work_dir_ + "/browser.log";
    browser_pids_ = work_dir_ + "/browser.pids";
    browser_proc_ = work_dir_ + "/browser.proc";
    write_fake_browser(bin_dir + "/xdg-open", browser_log_, browser_proc_, browser_pids_, options_.browser_stay);

    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    make_pipe(stop_pipe_);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    short flags = POSIX_SPAWN_SETSIGDEF;
    if (options_.on_terminal) {
        // A session of its own, in which the terminal, opened first, becomes
        // the controlling one unless it is opened O_NOCTTY.
        const int master = open_terminal(terminal_path_);
        posix_spawn_file_actions_addopen(&actions, 0, terminal_path_.c_str(),
                                         O_RDWR | (options_.controlling_terminal ? 0 : O_NOCTTY), 0);
        posix_spawn_file_actions_adddup2(&actions, 0, 1);
        posix_spawn_file_actions_adddup2(&actions, 0, 2);
        flags |= POSIX_SPAWN_SETSID;
        in_pipe[1] = ::fcntl(master, F_DUPFD_CLOEXEC, 0);
        out_pipe[0] = master;
    } else {
        make_pipe(in_pipe);
        make_pipe(out_pipe);
        make_pipe(err_pipe);
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    }
    posix_spawn_file_actions_addchdir_np(&actions, work_dir_.c_str());

    // We ignore SIGPIPE; the program must start with the default unless it
    // is to start with it ignored. A signal ignored here at the spawn stays
    // ignored in the program; each is ignored only for the spawn itself.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    std::vector<std::pair<int, struct sigaction>> handed_down;
    for (const int signal : options_.ignored_signals) {
        struct sigaction ignore{};
        ignore.sa_handler = SIG_IGN;
        struct sigaction before{};
        ::sigaction(signal, &ignore, &before);
        handed_down.emplace_back(signal, before);
        sigdelset(&defaults, signal);
    }
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal : options_.blocked_signals) {
        sigaddset(&blocked, signal);
    }
    posix_spawnattr_setsigmask(&attr, &blocked);
    posix_spawnattr_setflags(&attr, static_cast<short>(flags | POSIX_SPAWN_SETSIGMASK));

    std::vector<std::string> env;
    std::string path = bin_dir;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "PATH=", 5) == 0) {
            path += ":" + std::string(*e + 5);
        } else {
            env.emplace_back(*e);
        }
    }
    env.push_back("PATH=" + path);
    std::vector<char*> envp;
    for (auto& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string program = options_.binary;
    std::vector<char*> argv{program.data()};
    for (std::string& argument : options_.arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const int rc = posix_spawn(&pid_, program.c_str(), &actions, &attr, argv.data(), envp.data());
    for (auto it = handed_down.rbegin(); it != handed_down.rend(); ++it) {
        ::sigaction(it->first, &it->second, nullptr);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close_fd(in_pipe[0]);
    close_fd(out_pipe[1]);
    close_fd(err_pipe[1]);
    stdin_fd_ = in_pipe[1];
    stdout_fd_ = out_pipe[0];
    stderr_fd_ = err_pipe[0];
    if (rc != 0) {
        // The destructor will not run: release what was made so far.
        close_input();
        release();
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    }
    err_closed_ = stderr_fd_ < 0;
    out_closed_ = options_.output_unread;
    reader_ = std::thread([this] { read_output(); });
}

Program_driver::~Program_driver()
{
    close_input();
    if (pid_ > 0 && !exit_code_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) == -1 && errno == EINTR) {
        }
    }
    stop_reading();
    end_lingering_browsers();
    release();
}

void Program_driver::stop_reading()
{
    if (stop_pipe_[1] >= 0) {
        const char stop = 1;
        [[maybe_unused]] auto n = ::write(stop_pipe_[1], &stop, 1);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

void Program_driver::hang_up()
{
    // The reader lets go of the terminal first; then its last descriptors
    // on the master side close, and the kernel hangs the terminal up.
    stop_reading();
    close_input();
    close_fd(stdout_fd_);
}

std::size_t Program_driver::unread_output()
{
    int waiting = 0;
    if (stdout_fd_ < 0 || ::ioctl(stdout_fd_, FIONREAD, &waiting) != 0) return 0;
    return static_cast<std::size_t>(waiting);
}

void Program_driver::end_lingering_browsers()
{
    std::ifstream noted(browser_pids_);
    for (pid_t pid = 0; noted >> pid && pid > 0;) {
        // Only the fake's own sleep: an id whose process has ended may have
        // been given to another since.
        const auto process = read_proc_stat(pid);
        if (process && process->name == "sleep") {
            ::kill(pid, SIGKILL);
        }
    }
}

void Program_driver::release()
{
    close_fd(stdout_fd_);
    close_fd(stderr_fd_);
    close_fd(stop_pipe_[0]);
    close_fd(stop_pipe_[1]);
    std::error_code ignored;
    std::filesystem::remove_all(work_dir_, ignored);
}

void Program_driver::read_output()
{
    char buffer[4096];
    // A terminal's master side says EIO once the program, the last holder
    // of the slave side, has gone: the same end as a closed pipe.
    bool out_open = !options_.output_unread, err_open = stderr_fd_ >= 0;
    while (out_open || err_open) {
        pollfd fds[3] = {{out_open ? stdout_fd_ : -1, POLLIN, 0},
                         {err_open ? stderr_fd_ : -1, POLLIN, 0},
                         {stop_pipe_[0], POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[2].revents != 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if (n > 0) {
                (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
            } else {
                (i == 0 ? out_open : err_open) = false;
                (i == 0 ? out_closed_ : err_closed_) = true;
            }
            changed_.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    out_closed_ = err_closed_ = true;
    changed_.notify_all();
}

void Program_driver::send(const std::string& text)
{
    std::size_t done = 0;
    while (stdin_fd_ >= 0 && done < text.size()) {
        const ssize_t n = ::write(stdin_fd_, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // the program has gone; what it printed tells the test why
        }
        done += static_cast<std::size_t>(n);
    }
}

void Program_driver::send_line(const std::string& line)
{
    send(line + "\n");
}

void Program_driver::close_input()
{
    close_fd(stdin_fd_);
}

std::optional<std::string> Program_driver::read_until(const std::string& text,
                                                      std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t found = std::string::npos;
    const bool seen = changed_.wait_for(lock, timeout, [&] {
        found = out_.find(text, cursor_);
        return found != std::string::npos || out_closed_;
    });
    if (!seen || found == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t end = found + text.size();
    std::string taken = out_.substr(cursor_, end - cursor_);
    cursor_ = end;
    return taken;
}

bool Program_driver::wait_output(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    // Output that has ended cannot come to hold later.
    changed_.wait_for(lock, timeout, [&] { return done(out_) || out_closed_; });
    return done(out_);
}

bool Program_driver::wait_err(const std::string& text, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return err_.find(text) != std::string::npos || err_closed_; });
    return err_.find(text) != std::string::npos;
}

std::string Program_driver::pending()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return out_.substr(cursor_);
}

std::string Program_driver::take_pending()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string taken = out_.substr(cursor_);
    cursor_ = out_.size();
    return taken;
}

std::string Program_driver::out()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string Program_driver::err()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

void Program_driver::reap(int status)
{
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

bool Program_driver::running()
{
    if (exit_code_) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reap(status);
        return false;
    }
    return true;
}

std::optional<int> Program_driver::wait_exit(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (running()) {
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Both streams drained, so out() and err() are complete.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [&] { return out_closed_ && err_closed_; });
    return exit_code_;
}

std::vector<std::string> Program_driver::browser_calls() const
{
    std::vector<std::string> calls;
    std::ifstream log(browser_log_);
    for (std::string line; std::getline(log, line);) {
        calls.push_back(line);
    }
    return calls;
}

bool Program_driver::wait_browser_calls(std::size_t n, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (browser_calls().size() < n) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::optional<Program_driver::Browser_process> Program_driver::browser_process() const
{
    std::ifstream noted(browser_proc_);
    std::string line;
    if (!std::getline(noted, line)) {
        return std::nullopt;
    }
    const auto stat = parse_proc_stat(line);
    if (!stat) {
        return std::nullopt;
    }
    Browser_process process;
    process.session = static_cast<pid_t>(std::stol(stat->field(6)));
    bool ignored = false, blocked = false;
    // The signal lines follow, up to the next start's stat line.
    while (std::getline(noted, line) && line.rfind("Sig", 0) == 0) {
        const std::size_t colon = line.find(':');
        const std::string name = line.substr(0, colon);
        if (name == "SigIgn" || name == "SigBlk") {
            const unsigned long long mask = std::stoull(line.substr(colon + 1), nullptr, 16);
            (name == "SigIgn" ? process.ignored : process.blocked) = mask;
            (name == "SigIgn" ? ignored : blocked) = true;
        }
    }
    if (!ignored || !blocked) {
        return std::nullopt;
    }
    return process;
}

std::vector<pid_t> Program_driver::children() const
{
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const auto process = read_proc_stat(static_cast<pid_t>(std::stol(name)));
        if (process && process->field(4) == std::to_string(pid_)) {
            found.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return found;
}

double Program_driver::cpu_seconds() const
{
    const auto process = read_proc_stat(pid_);
    if (!process) {
        return -1.0;
    }
    // utime and stime, in clock ticks.
    const double ticks = std::stod(process->field(14)) + std::stod(process->field(15));
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}
