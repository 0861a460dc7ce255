#pragma once
// The serial link to the board: the one road to the wire.
//
// Interface summary
//   Serial_win()            enumerates the ports; "No serial port in Vector."
//                           when there is none
//   ~Serial_win()           closes an open port ("Closed <port> port")
//   enumerate_ports()       rebuilds the port list from the platform
//   list_ports()            "  Port: <port> - <friendly name>" per port
//   open(name)              opens "\\.\"+name at 115200 8N1 with the answer
//                           time-outs; an open port is closed once the new
//                           one is ready, and kept when it fails (the same
//                           port named again is closed and opened afresh)
//   clear()                 DTR/RTS up, queues purged, one draining read
//   close()                 closes, or says "Not connected."
//   close_if_open()         closes an open port ("Closed <port> port"),
//                           silent when none is open (the program's end)
//   close_quietly()         closes an open port without a word; returns its
//                           name, empty when none was open (the end on a
//                           signal, which speaks only once the port is free)
//   discard_input()         drops bytes that came in and were not read
//   write(s)                writes s up to its first zero byte
//   read()                  reads one answer burst
//   read_failed()           whether the last read failed (port gone, I/O
//                           error), as against a board that said nothing
//   get_port_name()         the port last opened successfully
//   get_connection_state()  {state, port} by value
//
//   release_serial_ports_now()  every open port let go of at once, without
//                           waiting for the link: safe in a signal handler
//                           (an end that cannot wait)
//
// Exchanges (write + read) are kept apart by the senders' lock; open, close
// and enumerate_ports are called under that same lock by the console, and so
// is the close at the end on a signal.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_port.h"
#include "server_response.h"

struct PortInfo {
    std::string port;           // e.g. COM3, cut out of the friendly name
    std::string friendly_name;  // the device's whole friendly name
};

// Cuts the port name out of a device's friendly name: the text between its
// first "(" and its first ")". False (the device is not listed) when either
// is missing or the ")" comes first.
bool port_from_friendly_name(const std::string& friendly_name, PortInfo& info);

void release_serial_ports_now();

struct ConnectionState {
    int state = 0;     // 1 while a port is open
    std::string port;  // last port opened successfully; kept after close
};

class Serial_win {
public:
    Serial_win();
    ~Serial_win();
    Serial_win(const Serial_win&) = delete;
    Serial_win& operator=(const Serial_win&) = delete;

    void enumerate_ports();
    void list_ports();
    void open(std::string serial_port_shortname);
    void clear();
    void close();
    void close_if_open();
    std::string close_quietly();
    void discard_input();
    std::uint32_t write(const char* s);
    Server_response read();
    bool read_failed() const { return last_read_failed; }
    std::string get_port_name();
    ConnectionState get_connection_state();

    // The discovered ports, in discovery order (for tests and the console).
    std::vector<PortInfo> get_ports();

private:
    void clear(const std::string& opening_port);
    // Steps 3 to 6 of open: the port opened and set up, or invalid_handle
    // after its error lines, with nothing left open.
    serial_platform::Handle open_and_set_up(const std::string& serial_port);
    void set_connection(int state, const std::string* port);

    serial_platform::Handle handle = serial_platform::invalid_handle;
    serial_platform::Port_settings dcb{};
    serial_platform::Timeouts timeouts{};
    std::uint32_t bytes_read = 0;
    std::uint32_t bytes_written = 0;
    char readBuffer[1024] = {};
    bool last_read_failed = false;
    std::vector<PortInfo> ports;
    ConnectionState connection;
    // The prompt reads the connection record from any thread while the
    // console opens and closes; this guards the record only.
    std::mutex connection_mutex;
};
