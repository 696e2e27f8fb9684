// What every platform's serial port shares: the device string, the port
// names and the scaled time-outs.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>

#include "core/clock.h"
#include "phone/serial_port.h"

namespace k730 {
namespace {

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Decimal number at the start of text (leading digits only), as atoi would.
uint32_t LeadingNumber(const std::string& text, size_t from) {
  uint64_t value = 0;
  for (size_t i = from; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

std::string PhoneSettingsString(int comNumber) {
  char text[64];
  std::snprintf(text, sizeof text, kPhoneSettingsFormat, comNumber);
  return text;
}

std::string ComPortName(const std::string& portName) {
  std::string name = UpperCase(portName);
  static const std::string kPrefix = "\\\\.\\";
  if (name.compare(0, kPrefix.size(), kPrefix) == 0) name.erase(0, kPrefix.size());
  if (name.size() < 4 || name.size() > 9 || name.compare(0, 3, "COM") != 0) return {};
  for (size_t i = 3; i < name.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return {};
  return name;
}

bool ParseDeviceString(const std::string& deviceString, PortSettings& settings) {
  const std::string text = UpperCase(deviceString);
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string params = text.substr(colon + 1);
  const size_t comma = params.find(',');
  if (comma == std::string::npos) return false;
  const std::string fields = params.substr(comma + 1);
  if (fields.size() < 3) return false;
  settings.portName = text.substr(0, colon);
  settings.baudRate = LeadingNumber(params, 0);
  switch (fields[0]) {
    case 'N':
      settings.parity = kParityNone;
      break;
    case 'O':
      settings.parity = kParityOdd;
      break;
    case 'E':
      settings.parity = kParityEven;
      break;
    case 'M':
      settings.parity = kParityMark;
      break;
    default:
      settings.parity = kParitySpace;
      break;
  }
  settings.dataBits = static_cast<uint8_t>(std::min<uint32_t>(LeadingNumber(fields, 2), 255));
  return true;
}

int SerialPort::Open(const std::string& deviceString) {
  PortSettings parsed;
  if (!ParseDeviceString(deviceString, parsed)) return 0;
  settings_ = parsed;
  return OpenPort(parsed.portName, parsed.baudRate, parsed.parity, parsed.dataBits);
}

void SerialPort::RememberSettings(const std::string& portName, uint32_t baudRate, uint8_t parity,
                                  uint8_t dataBits) {
  settings_.portName = UpperCase(portName);
  settings_.baudRate = baudRate;
  settings_.parity = parity;
  settings_.dataBits = dataBits;
}

uint64_t SerialPort::WireWaitMicros(uint32_t ms) {
  // Scaled like every protocol wait, but never so short that a reply already
  // on its way is missed.
  return std::max<uint64_t>(ProcessClock().RealMicros(ms), kMinWaitMicros);
}

std::chrono::steady_clock::time_point SerialPort::WireDeadline(uint32_t ms) {
  return std::chrono::steady_clock::now() + std::chrono::microseconds(WireWaitMicros(ms));
}

uint32_t SerialPort::ReadSize(uint32_t waiting, uint32_t count, uint32_t bufferSize) const {
  if (count > 0) return std::min({count, kStagingSize, bufferSize});
  const uint32_t queue = inQueueSize_ ? inQueueSize_ : kStagingSize;
  return std::min({waiting, queue, kStagingSize, bufferSize});
}

bool SerialPort::WaitRxChar(uint32_t timeoutMs) {
  return WaitRxCharUntil(WireDeadline(timeoutMs));
}

}  // namespace k730
