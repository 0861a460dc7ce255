#pragma once
// POSIX-only additions to the serial platform layer (serial_port.h).
//
// Interface summary
//   list_port_devices_in(root, names)  the listing of list_port_devices,
//                                      read from another sysfs tty class
//                                      directory (list_port_devices uses
//                                      /sys/class/tty)
//
// How the POSIX backend reads the calls of serial_port.h:
//   - A device path loses its "\\.\" prefix; a relative name is looked up in
//     /dev. Each path component is matched against its directory's entries
//     ignoring ASCII case when no entry has the exact name, since the console
//     upper-cases the typed port name: "TTYACM0" opens /dev/ttyACM0.
//   - Exclusivity holds against this process and others, root included, for
//     terminals; a file that is no terminal opens, and then fails at
//     get_comm_state.
//   - A failed create_file gives the path it resolved and the system's
//     reason (a port held by another process reads as busy); permission
//     denied adds how to join the dialout group. A failed get_comm_state or
//     set_comm_state gives that path and the reason as well ("Inappropriate
//     ioctl for device" for a file that is no terminal).
//   - get_comm_state fails on anything that is not a terminal. set_comm_state
//     also makes the line raw: every byte value passes unchanged both ways,
//     no flow control, receiver on, modem lines ignored.
//   - A read time-out of 0 (interval, or constant + multiplier x count)
//     means that limit is not used, as on Windows.
//   - A hang-up, an I/O error or an end of file ends a read at once as a
//     failure.
#include <string>
#include <vector>

namespace serial_platform {

// Each entry of sysfs_root (such as /sys/class/tty) that has a device behind
// it gives one friendly name "<description> (<tty name>)", in name order. The
// description is the USB product string of the USB device the entry belongs
// to, otherwise the name of the hardware's driver (past the serial core's own
// port devices), otherwise the tty name.
// Parentheses inside a description become brackets, so that the first "("
// and ")" always enclose the tty name. Serial-core ports whose `type` is 0
// (an 8250 slot with no UART behind it) are left out. Returns false, with
// no names, when sysfs_root cannot be read.
bool list_port_devices_in(const std::string& sysfs_root, std::vector<std::string>& friendly_names);

}  // namespace serial_platform
