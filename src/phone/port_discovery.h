// The modem-port scan: which handsets' modem ports exist, bound to slots.
// On POSIX the ports are the COM<n> entries of the port directory, in
// ascending n (port_discovery_posix.cpp); on Windows the values
// "\\Device\\hvcdmdm<d>" of the registry key HARDWARE\DEVICEMAP\SERIALCOMM,
// in ascending d (port_discovery_win32.cpp).
#pragma once

#include <array>
#include <string>
#include <vector>

namespace k730 {

constexpr int kMaxComPorts = 10;  // room in the console's port table
constexpr int kMaxPhoneSlots = 6;

// Fills comPorts with the distinct numbers of found in their order (at most
// 10; all zeroed first), sets slotCount to how many were stored, at most 6,
// and leaves comPort at the last number read (unchanged when none was).
void BindPhonePorts(const std::vector<int>& found, int (&comPorts)[kMaxComPorts], int& slotCount,
                    int& comPort);

// Lists the ports of portDir (PortDirectory(): the entries COM<n> that are
// character devices, directly or through a symbolic link; on Windows the
// modem values under the registry key of that name) and binds them as
// BindPhonePorts does. A missing directory or key gives no slots.
void DiscoverPhonePorts(const std::string& portDir, int (&comPorts)[kMaxComPorts], int& slotCount,
                        int& comPort);
void DiscoverPhonePorts(const std::string& portDir, std::array<int, kMaxComPorts>& comPorts,
                        int& slotCount, int& comPort);
// The same on PortDirectory() (K730_PORT_DIR, else /dev/k730; on Windows
// SERIALCOMM).
void DiscoverPhonePorts(int (&comPorts)[kMaxComPorts], int& slotCount, int& comPort);

// Who holds the modem port at devicePath (PortDevicePath) so that it cannot
// be opened: "name (pid N)" of a process that has it open, or a note that its
// holder cannot be seen; "" when the port is free or missing. Never waits.
std::string PortHolder(const std::string& devicePath);

// The port number of a directory entry named COM<n> (n decimal, at most six
// digits), or -1 for any other name.
int ComPortNumberFromName(const std::string& name);

}  // namespace k730
