// The serial link to the board. Every operating-system call goes through the
// platform layer (platform/serial_port.h), so this file is the same on every
// system.
#include "class_serial.h"

#include <cstring>
#include <iostream>

#include "case_report.h"

namespace sp = serial_platform;

namespace {

// Each read asks for one byte less than the buffer holds, so that a zero can
// always stand behind the answer.
constexpr std::uint32_t read_size = 1023;

}  // namespace

bool port_from_friendly_name(const std::string& friendly_name, PortInfo& info)
{
    const std::size_t open = friendly_name.find('(');
    const std::size_t close = friendly_name.find(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    info.port = friendly_name.substr(open + 1, close - open - 1);
    info.friendly_name = friendly_name;
    return true;
}

// serial_link is built before the ordinary static objects, the standard
// streams among them: the Init object makes them usable here.
Serial_win::Serial_win()
{
    const std::ios_base::Init streams;
    enumerate_ports();
    if (ports.empty()) print_line("No serial port in Vector.");
}

Serial_win::~Serial_win()
{
    const std::ios_base::Init streams;
    close_if_open();
}

void Serial_win::enumerate_ports()
{
    // 1. The list is rebuilt from empty.
    ports.clear();
    // 2. The present devices.
    std::vector<std::string> friendly_names;
    if (!sp::list_port_devices(friendly_names)) {
        report_error("Invalid Handle.", __FILE__, __LINE__);
        return;
    }
    // 3.-5. A device whose friendly name holds no port name is skipped.
    for (const std::string& fn : friendly_names) {
        PortInfo info;
        if (port_from_friendly_name(fn, info)) ports.push_back(std::move(info));
    }
}

void Serial_win::list_ports()
{
    for (const PortInfo& p : ports) {
        print_line("  Port: " + p.port + " - " + p.friendly_name);
    }
}

void Serial_win::open(std::string serial_port_shortname)
{
    // 1. Nothing of an earlier exchange is left.
    bytes_read = 0;
    bytes_written = 0;
    std::memset(readBuffer, 0, sizeof readBuffer);

    // 2. The device path, in the Windows device namespace; the platform
    // layer maps it to its own.
    const std::string serial_port = "\\\\.\\" + serial_port_shortname;

    // The port that is open, named again: an exclusive port cannot be opened
    // a second time, so it is let go and opened afresh.
    if (get_connection_state().state == 1 && sp::is_open_as(handle, serial_port)) close();

    // 3.-6. The new port is opened and set up beside the one that is open,
    // which stays the link until the new one is ready: a mistyped name must
    // not cost the operator a board that works.
    const sp::Handle fresh = open_and_set_up(serial_port);
    if (fresh == sp::invalid_handle) return;

    // The operator who connects elsewhere means the port just named; the
    // old one is let go, with its line, before the new one is cleared.
    if (get_connection_state().state == 1) close();
    handle = fresh;

    // 7. Wake the board and drop whatever it said before.
    clear(serial_port_shortname);

    // 8. Connected.
    set_connection(1, &serial_port_shortname);
}

serial_platform::Handle Serial_win::open_and_set_up(const std::string& serial_port)
{
    // A failed step names the device as the platform tried it (the device
    // path itself where the platform says nothing more) and the system's
    // reason when there is one.
    sp::Open_failure why;
    const auto device = [&] { return why.device.empty() ? serial_port : why.device; };
    const auto reason = [&] { return why.reason.empty() ? std::string() : ": " + why.reason; };

    // 3. Open it, ours alone.
    const sp::Handle port = sp::create_file(serial_port, &why);
    if (port == sp::invalid_handle) {
        print_line("Error: Cannot open " + device() + reason());
        if (!why.advice.empty()) print_line(why.advice);
        return sp::invalid_handle;
    }

    // A step that fails says so and lets the port go.
    const auto give_up = [port](const std::string& line) {
        print_line(line);
        sp::close_handle(port);
        return sp::invalid_handle;
    };

    // 4. Read its settings; a device that is no serial port fails here.
    dcb.length = sizeof dcb;
    if (!sp::get_comm_state(port, dcb, &why)) {
        std::cerr << "Error: Failed to get COM state\n" << std::flush;
        // The reason, when there is one, takes the place of the line's
        // closing blank.
        return give_up("Error: Failed to get COM " + device() + " state" + (why.reason.empty() ? " " : reason()));
    }

    // 5. 115200 baud, 8N1.
    dcb.baud_rate = 115200;
    dcb.byte_size = 8;
    dcb.stop_bits = sp::one_stop_bit;
    dcb.parity = sp::no_parity;
    if (!sp::set_comm_state(port, dcb, &why)) {
        return give_up("Error: Failed to set " + device() + " parameters" + reason());
    }

    // 6. An answer burst ends 5 ms after its last byte, or after 20 ms + 2 ms
    // per byte asked for; writes have no time-out.
    timeouts.read_interval = 5;
    timeouts.read_total_constant = 20;
    timeouts.read_total_multiplier = 2;
    if (!sp::set_comm_timeouts(port, timeouts, &why)) {
        return give_up("Error: Failed to set " + device() + " timeouts" + reason());
    }
    return port;
}

void Serial_win::clear()
{
    // Only an open port can be cleared; with none there is no handle to use.
    if (get_connection_state().state == 1) clear(get_port_name());
}

void Serial_win::clear(const std::string& opening_port)
{
    // The results are not looked at: a line without modem lines (a
    // pseudo-terminal) refuses DTR and RTS and serves all the same.
    sp::escape_comm_function(handle, sp::Escape::set_dtr);
    sp::escape_comm_function(handle, sp::Escape::set_rts);
    sp::purge_comm(handle);
    // What the board says when DTR rises (a boot banner, say) is no answer.
    sp::read_file(handle, readBuffer, read_size, bytes_read);
    print_line("Serial_win::clear() " + opening_port + " port");
}

void Serial_win::close()
{
    if (get_connection_state().state != 1) {
        print_line("Not connected.");
        return;
    }
    close_if_open();
}

void Serial_win::close_if_open()
{
    const std::string closed = close_quietly();
    if (!closed.empty()) print_line("Closed " + closed + " port");
}

std::string Serial_win::close_quietly()
{
    if (get_connection_state().state != 1) return {};
    sp::close_handle(handle);
    handle = sp::invalid_handle;
    set_connection(0, nullptr);
    return get_port_name();
}

void release_serial_ports_now() { sp::release_all_now(); }

void Serial_win::discard_input()
{
    // With no port open there is nothing to discard; the write that follows
    // reports the missing port.
    if (handle != sp::invalid_handle) sp::purge_receive(handle);
}

std::uint32_t Serial_win::write(const char* s)
{
    // With no port open there is no handle to write through: a failed write.
    if (handle == sp::invalid_handle ||
        !sp::write_file(handle, s, static_cast<std::uint32_t>(std::strlen(s)), bytes_written)) {
        std::cerr << "Error: Failed to write to COM port\n" << std::flush;
        return 0;
    }
    return bytes_written;
}

Server_response Serial_win::read()
{
    // 1. One read under the time-outs; with no port open, a failed read.
    const bool ok = handle != sp::invalid_handle && sp::read_file(handle, readBuffer, read_size, bytes_read);
    last_read_failed = !ok;
    // 2. A zero behind the answer; a failure delivers nothing.
    if (!ok) {
        bytes_read = 0;
        std::cerr << "\nError: Failed to read from COM port\n" << std::flush;
    } else if (bytes_read > 0) {
        readBuffer[bytes_read] = 0;
    }
    // 3. The answer's bytes as they came, zeros included.
    return Server_response(std::vector<char>(readBuffer, readBuffer + bytes_read), static_cast<int>(bytes_read));
}

std::string Serial_win::get_port_name()
{
    const std::lock_guard<std::mutex> lock(connection_mutex);
    return connection.port;
}

ConnectionState Serial_win::get_connection_state()
{
    const std::lock_guard<std::mutex> lock(connection_mutex);
    return connection;
}

std::vector<PortInfo> Serial_win::get_ports()
{
    return ports;
}

void Serial_win::set_connection(int state, const std::string* port)
{
    const std::lock_guard<std::mutex> lock(connection_mutex);
    connection.state = state;
    if (port != nullptr) connection.port = *port;
}
