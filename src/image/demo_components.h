// Deterministic pseudo-random component files for demos, tests and benchmarks.
#pragma once

#include <cstdint>
#include <string>

namespace k730 {

constexpr const char* kDemoPhoneName = "phone.bin";
constexpr const char* kDemoIplName = "ipl.bin";
constexpr const char* kDemoWidebinName = "demo.widebin";
constexpr const char* kDemoResourceName = "resource.bin";

// Scale 100 makes the four components total 42,442,752 bytes, which with a
// United Binary's header stays within the largest image the console accepts.
constexpr double kDemoMaxScale = 100.0;

struct DemoSizes {
  uint32_t phone = 0;  // always 2,097,152
  uint32_t ipl = 0;
  uint32_t widebin = 0;  // always longer than the 131,072-byte SmallRom part
  uint32_t resource = 0;
};

// Sizes at a scale in (0, kDemoMaxScale]; scale 1 totals about 2.4 MB.
DemoSizes DemoComponentSizes(double scale);

// The bytes of a component: a fixed pseudo-random sequence per seed. The
// phone binary's trailer is then set: the word at end-18 is not all ones and
// the start address at end-16 is 0x00010000.
void FillDemoBytes(uint64_t seed, uint64_t position, uint8_t* out, size_t count);

// Writes phone.bin, ipl.bin, demo.widebin and resource.bin into directory
// (created beforehand by the caller). False with error set on failure.
bool WriteDemoComponents(const std::string& directory, double scale, std::string& error);

}  // namespace k730
