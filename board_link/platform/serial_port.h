#pragma once
// Platform layer under the serial link: the few operating-system calls that
// Serial_win makes, in the link's own terms. Each backend lives in a file of
// its own (serial_port_posix.cpp, serial_port_win32.cpp); Serial_win never
// sees which.
//
// Interface summary
//   create_file(path, why)    open "\\.\NAME" read-write and exclusively;
//                             on failure `why` says what was tried and why
//   get_comm_state(h, s, why) read the line settings; fails on a non-port
//   set_comm_state(h, s, why) apply baud rate, byte size, parity, stop bits
//                             (the rest of the line is kept / made raw)
//   set_comm_timeouts(h, t, why)  the read time-outs that end one answer
//                             burst; each of these three fills `why` on
//                             failure as create_file does
//   escape_comm_function(h,e) raise DTR or RTS
//   purge_comm(h)             empty the transmit and receive queues
//   purge_receive(h)          empty the receive queue only
//   read_file(h, buf, n, got) one read of up to n bytes under the time-outs
//   write_file(h, s, n, put)  one write of n bytes, no time-out
//   close_handle(h)           close the port; h is invalid afterwards
//   release_all_now()         every open port let go of at once, from a
//                             signal handler too (the end that cannot wait)
//   is_open_as(h, path)       whether path names the port h has open
//   list_port_devices(names)  friendly names of the present serial devices
//
// Every call returns true on success. None prints anything.
#include <cstdint>
#include <string>
#include <vector>

namespace serial_platform {

struct Port;  // an open port; defined by the backend
using Handle = Port*;
inline constexpr Handle invalid_handle = nullptr;

// The port settings. The link sets only these four; whatever else the
// platform keeps for the line stays as get_comm_state found it.
struct Port_settings {
    std::uint32_t length = 0;  // set by the caller to sizeof(Port_settings)
    std::uint32_t baud_rate = 0;
    std::uint8_t byte_size = 0;
    std::uint8_t parity = 0;     // no_parity
    std::uint8_t stop_bits = 0;  // one_stop_bit
};
inline constexpr std::uint8_t no_parity = 0;
inline constexpr std::uint8_t one_stop_bit = 0;

// Time-outs in milliseconds. A read returns when the requested count has
// come, when more than read_interval passes between two bytes once the first
// has come, or when read_total_constant + read_total_multiplier * requested
// has passed since it began. Write time-outs of 0 mean none.
struct Timeouts {
    std::uint32_t read_interval = 0;
    std::uint32_t read_total_multiplier = 0;
    std::uint32_t read_total_constant = 0;
    std::uint32_t write_total_multiplier = 0;
    std::uint32_t write_total_constant = 0;
};

enum class Escape { set_dtr, set_rts };

// Why an open, or the setting up of the port just opened, failed, for the
// operator's error line: a bare "cannot open" leaves a missing device, a busy
// port and missing permissions looking alike, and a bare "failed to get
// state" leaves unsaid what the device is instead of a port. A backend with
// nothing to add leaves every field empty.
struct Open_failure {
    std::string device;  // the device as tried or opened; empty: the path as given
    std::string reason;  // the system's own words
    std::string advice;  // one line on how to get access, when there is one
};

// Opens the device "\\.\" + name (or a path the backend understands) for
// reading and writing, exclusively: a second open of the same port fails.
// A device that is the program's own terminal (where its operator types) is
// refused before anything on it is changed. Returns invalid_handle on
// failure, and then fills *why when it is given.
Handle create_file(const std::string& device_path, Open_failure* why = nullptr);
// On failure these three fill *why, when it is given, as create_file does.
bool get_comm_state(Handle h, Port_settings& settings, Open_failure* why = nullptr);
bool set_comm_state(Handle h, const Port_settings& settings, Open_failure* why = nullptr);
bool set_comm_timeouts(Handle h, const Timeouts& timeouts, Open_failure* why = nullptr);
bool escape_comm_function(Handle h, Escape what);
bool purge_comm(Handle h);
// Drops what has come in and not been read (a late answer to an earlier
// instruction); what is on its way out is left to go.
bool purge_receive(Handle h);
// A failed read (device gone, I/O error) returns false with bytes_read 0 at
// once; a read that times out with nothing is a success with bytes_read 0.
bool read_file(Handle h, char* buffer, std::uint32_t to_read, std::uint32_t& bytes_read);
bool write_file(Handle h, const char* data, std::uint32_t length, std::uint32_t& bytes_written);
bool close_handle(Handle h);
// For an end that cannot wait for the link (a second Ctrl-C, an orderly end
// that overran its time): every port this process has open stops being its
// alone at once, so that the next program can open it; the descriptors stay
// open until the process ends a moment later. Makes async-signal-safe calls
// only, takes no lock and allocates nothing: a signal handler may call it.
void release_all_now();
// True when device_path (as create_file takes it) leads to the very port
// that h has open, whatever name or link it goes by. An exclusive port
// cannot be opened twice, so the link closes it before opening it again.
bool is_open_as(Handle h, const std::string& device_path);

// The friendly names of the present serial devices, each ending in
// "(" + port name + ")" where the platform gives one. A device whose name
// cannot be read is left out. Returns false when the device list cannot be
// obtained at all.
bool list_port_devices(std::vector<std::string>& friendly_names);

}  // namespace serial_platform
