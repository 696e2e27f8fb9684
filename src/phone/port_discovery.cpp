// What every platform's port scan shares: binding the ports found to slots.
#include <algorithm>
#include <vector>

#include "phone/port_discovery.h"
#include "phone/serial_port.h"

namespace k730 {

int ComPortNumberFromName(const std::string& name) {
  if (name.size() < 4 || name.size() > 9 || name.compare(0, 3, "COM") != 0) return -1;
  int value = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    value = value * 10 + (name[i] - '0');
  }
  return value;
}

void BindPhonePorts(const std::vector<int>& found, int (&comPorts)[kMaxComPorts], int& slotCount,
                    int& comPort) {
  slotCount = 0;
  std::fill(std::begin(comPorts), std::end(comPorts), 0);
  for (const int number : found) {
    comPort = number;
    if (std::find(comPorts, comPorts + slotCount, number) != comPorts + slotCount) continue;
    if (slotCount < kMaxComPorts) comPorts[slotCount++] = number;
  }
  if (slotCount > kMaxPhoneSlots) slotCount = kMaxPhoneSlots;
}

void DiscoverPhonePorts(const std::string& portDir, std::array<int, kMaxComPorts>& comPorts,
                        int& slotCount, int& comPort) {
  int ports[kMaxComPorts];
  DiscoverPhonePorts(portDir, ports, slotCount, comPort);
  std::copy(std::begin(ports), std::end(ports), comPorts.begin());
}

void DiscoverPhonePorts(int (&comPorts)[kMaxComPorts], int& slotCount, int& comPort) {
  DiscoverPhonePorts(PortDirectory(), comPorts, slotCount, comPort);
}

}  // namespace k730
