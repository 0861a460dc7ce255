#pragma once
// What the web benchmarks share: the web server run in the benchmark's own
// process, as the program runs it, against the simulated board.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include <httplib.h>

#include "board_link/halcyr_transcoder.h"
#include "board_link/qn_commands.h"
#include "board_link/shared_flags.h"
#include "sim_board.h"
#include "web_ui/web_server.h"

// True once the server answers HTTP on 127.0.0.1:8088 (within about 2 s).
inline bool server_up()
{
    for (int i = 0; i < 200; ++i) {
        httplib::Client client("127.0.0.1", 8088);
        auto r = client.Get("/api/gpio/grd/64");
        if (r && r->status == 400) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A folder of the benchmark's own whose "pages" directory holds the files
// named, each of the size given; the working directory while the object
// lives. Made before the web server starts, which looks for its page
// directories then.
class Bench_pages {
public:
    explicit Bench_pages(std::initializer_list<std::pair<const char*, std::size_t>> files)
        : was_(std::filesystem::current_path())
    {
        std::filesystem::create_directories(dir_ / "pages");
        for (const auto& [name, size] : files) std::ofstream(dir_ / "pages" / name) << std::string(size, 'p');
        std::filesystem::current_path(dir_);
    }
    ~Bench_pages()
    {
        std::filesystem::current_path(was_);
        std::filesystem::remove_all(dir_);
    }
    Bench_pages(const Bench_pages&) = delete;
    Bench_pages& operator=(const Bench_pages&) = delete;

private:
    std::filesystem::path was_;
    std::filesystem::path dir_ =
        std::filesystem::temp_directory_path() / ("qorvel_bench_" + std::to_string(::getpid()));
};

// The simulated board on the link and main_webserver on its thread, for as
// long as the object lives. The console lines of every exchange (prompts,
// the server's start and quit lines) would drown the report: standard
// output goes nowhere meanwhile; reports go to standard error.
class Bench_web_server {
public:
    Bench_web_server()
    {
        std::fflush(stdout);
        console_ = ::dup(1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::close(null);
        {
            std::lock_guard<std::mutex> lock(link_mutex());
            serial_link.open(sim_.device_path());
        }
        if (serial_link.get_connection_state().state != 1) {
            std::fprintf(stderr, "could not open the simulated board\n");
            return;
        }
        serial_connected = 1;
        ui_mode = 0;
        web_ = std::thread(main_webserver);
        up_ = server_up();
        if (!up_) std::fprintf(stderr, "the web server did not come up on 127.0.0.1:8088\n");
    }
    ~Bench_web_server()
    {
        ui_mode = 2;
        if (web_.joinable()) web_.join();
        {
            std::lock_guard<std::mutex> lock(link_mutex());
            serial_link.close();
        }
        std::fflush(stdout);
        ::dup2(console_, 1);
        ::close(console_);
    }
    Bench_web_server(const Bench_web_server&) = delete;
    Bench_web_server& operator=(const Bench_web_server&) = delete;

    bool up() const { return up_; }
    Sim_board& sim() { return sim_; }

private:
    int console_ = -1;
    Sim_board sim_;
    std::thread web_;
    bool up_ = false;
};
