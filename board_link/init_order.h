#pragma once
// The process-wide objects live in different source files but must be built
// in one fixed order before main (and destroyed in the reverse order after
// it): the HTTP server, the serial link, the board model, the console word.
// GCC's init_priority makes that order independent of the link order.
// Priorities below 65535 run before every ordinary static object, so any
// constructor here that prints must make sure the standard streams exist
// (std::ios_base::Init) before it uses them.
#if defined(__GNUC__)
#define QORVEL_INIT_ORDER(n) __attribute__((init_priority(n)))
#else
#define QORVEL_INIT_ORDER(n)
#endif

#define QORVEL_INIT_HTTP_SERVER 1001
#define QORVEL_INIT_SERIAL_LINK 1002
#define QORVEL_INIT_BOARD 1003
#define QORVEL_INIT_CONSOLE_COMMAND 1004
