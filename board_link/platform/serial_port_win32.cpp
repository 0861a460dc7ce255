// Win32 backend of the serial platform layer: the communications and
// SetupAPI calls themselves, with the arguments the link has always used.
#ifdef _WIN32

#include "serial_port.h"

#include <windows.h>
// initguid.h first, so that this unit defines the Ports class GUID itself
// instead of needing it from an import library.
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>

#include <cstring>
#include <string>

namespace serial_platform {

// The open handle and the line settings as the port reported them: the link
// changes only speed, byte size, parity and stop bits, and every other field
// of the DCB (flow control, DTR/RTS control, XON/XOFF characters) goes back
// to the driver exactly as it came.
struct Port {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB dcb{};
    std::string device_path;  // as opened, "\\.\COM3"
};

// The Windows line names the "\\.\" path alone: `why` stays empty.
Handle create_file(const std::string& device_path, Open_failure*)
{
    // Share mode 0: the port is ours alone while it is open.
    HANDLE h = CreateFileA(device_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return invalid_handle;
    }
    return new Port{h, {}, device_path};
}

// Device names are not case-sensitive on Windows: "\\.\com3" is COM3. A COM
// port is never the console, so nothing else can lead to the same port.
// The system closes a process's handles when it ends, however it ends, and
// that releases the port: there is nothing to do ahead of it.
void release_all_now() {}

bool is_open_as(Handle h, const std::string& device_path)
{
    if (h == invalid_handle || h->device_path.size() != device_path.size()) return false;
    const auto upper = [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; };
    for (std::size_t i = 0; i < device_path.size(); ++i) {
        if (upper(static_cast<unsigned char>(h->device_path[i])) != upper(static_cast<unsigned char>(device_path[i])))
            return false;
    }
    return true;
}

// The Windows lines name the "\\.\" path alone: `why` stays empty here too.
bool get_comm_state(Handle h, Port_settings& settings, Open_failure*)
{
    if (h == invalid_handle) {
        return false;
    }
    h->dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(h->handle, &h->dcb)) {
        return false;
    }
    settings.baud_rate = h->dcb.BaudRate;
    settings.byte_size = h->dcb.ByteSize;
    settings.parity = h->dcb.Parity;
    settings.stop_bits = h->dcb.StopBits;
    return true;
}

bool set_comm_state(Handle h, const Port_settings& settings, Open_failure*)
{
    if (h == invalid_handle) {
        return false;
    }
    h->dcb.BaudRate = settings.baud_rate;
    h->dcb.ByteSize = settings.byte_size;
    h->dcb.StopBits = settings.stop_bits;
    h->dcb.Parity = settings.parity;
    return SetCommState(h->handle, &h->dcb) != FALSE;
}

bool set_comm_timeouts(Handle h, const Timeouts& timeouts, Open_failure*)
{
    if (h == invalid_handle) {
        return false;
    }
    COMMTIMEOUTS ct{};
    ct.ReadIntervalTimeout = timeouts.read_interval;
    ct.ReadTotalTimeoutMultiplier = timeouts.read_total_multiplier;
    ct.ReadTotalTimeoutConstant = timeouts.read_total_constant;
    ct.WriteTotalTimeoutMultiplier = timeouts.write_total_multiplier;
    ct.WriteTotalTimeoutConstant = timeouts.write_total_constant;
    return SetCommTimeouts(h->handle, &ct) != FALSE;
}

bool escape_comm_function(Handle h, Escape what)
{
    if (h == invalid_handle) {
        return false;
    }
    return EscapeCommFunction(h->handle, what == Escape::set_dtr ? SETDTR : SETRTS) != FALSE;
}

bool purge_comm(Handle h)
{
    if (h == invalid_handle) {
        return false;
    }
    // Empties both queues without aborting a transfer (no PURGE_*ABORT):
    // nothing else is reading or writing while a port is being opened.
    return PurgeComm(h->handle, PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
}

bool purge_receive(Handle h)
{
    if (h == invalid_handle) {
        return false;
    }
    // Called between exchanges, under the link's lock: no read is running.
    return PurgeComm(h->handle, PURGE_RXCLEAR) != FALSE;
}

bool read_file(Handle h, char* buffer, std::uint32_t to_read, std::uint32_t& bytes_read)
{
    bytes_read = 0;
    if (h == invalid_handle) {
        return false;
    }
    // Synchronous read: the COMMTIMEOUTS set at open end it, so one call is
    // one answer burst.
    DWORD got = 0;
    if (!ReadFile(h->handle, buffer, to_read, &got, nullptr)) {
        return false;
    }
    bytes_read = got;
    return true;
}

bool write_file(Handle h, const char* data, std::uint32_t length, std::uint32_t& bytes_written)
{
    bytes_written = 0;
    if (h == invalid_handle) {
        return false;
    }
    DWORD put = 0;
    const BOOL ok = WriteFile(h->handle, data, length, &put, nullptr);
    bytes_written = put;
    return ok != FALSE;
}

bool close_handle(Handle h)
{
    if (h == invalid_handle) {
        return false;
    }
    const BOOL ok = CloseHandle(h->handle);
    delete h;
    return ok != FALSE;
}

bool list_port_devices(std::vector<std::string>& friendly_names)
{
    friendly_names.clear();
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return false;
    }
    SP_DEVINFO_DATA deviceInfoData{};
    deviceInfoData.cbSize = sizeof(deviceInfoData);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &deviceInfoData); ++index) {
        char friendlyName[256] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(set, &deviceInfoData, SPDRP_FRIENDLYNAME, nullptr,
                                               reinterpret_cast<PBYTE>(friendlyName),
                                               sizeof(friendlyName), nullptr)) {
            continue;  // no friendly name, or one longer than the buffer
        }
        // A registry string is not promised to end in a zero inside the buffer.
        friendly_names.emplace_back(friendlyName, strnlen(friendlyName, sizeof(friendlyName)));
    }
    SetupDiDestroyDeviceInfoList(set);
    return true;
}

}  // namespace serial_platform

#endif  // _WIN32
