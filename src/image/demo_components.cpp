#include "image/demo_components.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/byte_order.h"
#include "image/file_io.h"
#include "image/image_formats.h"
#include "image/source_info.h"

namespace k730 {
namespace {

constexpr double kBaseIpl = 24576;
constexpr double kBaseWidebin = 212992;
constexpr double kBaseResource = 165888;
constexpr uint32_t kDemoStartAddress = 0x00010000;

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

bool WriteComponent(const std::string& path, uint64_t seed, uint32_t size, bool phone,
                    std::string& error) {
  OutputFile out;
  if (!out.Create(path)) {
    error = out.Error();
    return false;
  }
  std::vector<uint8_t> chunk(kStreamChunkSize);
  for (uint64_t at = 0; at < size; at += chunk.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - at));
    FillDemoBytes(seed, at, chunk.data(), n);
    if (phone) {
      // Patch the trailer where it falls into this chunk.
      uint8_t trailer[18];
      FillDemoBytes(seed, size - 18, trailer, sizeof trailer);
      trailer[0] = 0x5A;  // the word at end-18 can never be all ones
      WriteU32LE(trailer + 2, kDemoStartAddress);
      for (size_t i = 0; i < sizeof trailer; ++i) {
        const uint64_t pos = size - 18 + i;
        if (pos >= at && pos < at + n) chunk[pos - at] = trailer[i];
      }
    }
    if (!out.Write(chunk.data(), n)) {
      error = out.Error();
      return false;
    }
  }
  if (!out.Commit()) {
    error = out.Error();
    return false;
  }
  return true;
}

}  // namespace

DemoSizes DemoComponentSizes(double scale) {
  DemoSizes s;
  s.phone = kPhoneImageSize;
  s.ipl = static_cast<uint32_t>(std::llround(kBaseIpl * scale));
  s.widebin = std::max<uint32_t>(kSmallRomSize + 4096,
                                 static_cast<uint32_t>(std::llround(kBaseWidebin * scale)));
  s.resource = static_cast<uint32_t>(std::llround(kBaseResource * scale));
  return s;
}

void FillDemoBytes(uint64_t seed, uint64_t position, uint8_t* out, size_t count) {
  // Each 8-byte word is a hash of its index, so any range is reproducible alone.
  for (size_t i = 0; i < count;) {
    const uint64_t word = (position + i) / 8;
    const uint64_t value = Mix(seed * 0x100000001B3ull ^ word);
    for (size_t b = (position + i) % 8; b < 8 && i < count; ++b, ++i)
      out[i] = static_cast<uint8_t>(value >> (8 * b));
  }
}

bool WriteDemoComponents(const std::string& directory, double scale, std::string& error) {
  if (!(scale > 0 && scale <= kDemoMaxScale)) {
    error = "size scale must be greater than 0 and at most 100";
    return false;
  }
  const DemoSizes sizes = DemoComponentSizes(scale);
  std::string prefix = directory;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  return WriteComponent(prefix + kDemoPhoneName, 1, sizes.phone, true, error) &&
         WriteComponent(prefix + kDemoIplName, 2, sizes.ipl, false, error) &&
         WriteComponent(prefix + kDemoWidebinName, 3, sizes.widebin, false, error) &&
         WriteComponent(prefix + kDemoResourceName, 4, sizes.resource, false, error);
}

}  // namespace k730
