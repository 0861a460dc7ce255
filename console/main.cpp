// The program entry: three threads of our own, started and joined in a fixed
// order. The process-wide objects (HTTP server, serial link, board model,
// console word) are built before this runs and torn down after it returns;
// their order is fixed by QORVEL_INIT_ORDER, not by this file.
#include <thread>

#include "console/console.h"
#include "web_ui/web_server.h"

int main(int, char**)
{
    std::thread thread_console(main_console);
    std::thread thread_websrv(main_webserver);
    std::thread thread_webcli(main_webclient);

    thread_console.join();
    thread_websrv.join();
    thread_webcli.join();
    return 0;
}
