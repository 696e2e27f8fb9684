#include "phone/port_discovery.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

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

void DiscoverPhonePorts(const std::string& portDir, int (&comPorts)[kMaxComPorts], int& slotCount,
                        int& comPort) {
  slotCount = 0;
  std::fill(std::begin(comPorts), std::end(comPorts), 0);

  std::vector<int> numbers;
  if (DIR* dir = opendir(portDir.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const int number = ComPortNumberFromName(entry->d_name);
      if (number < 0) continue;
      // A link left behind by a handset that has gone is not a port.
      struct stat status {};
      const std::string path = portDir + "/" + entry->d_name;
      if (stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) continue;
      numbers.push_back(number);
    }
    closedir(dir);
  }
  std::stable_sort(numbers.begin(), numbers.end());

  for (const int number : numbers) {
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
