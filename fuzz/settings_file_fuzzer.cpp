// The settings file: the input is the file as a user or another program may
// have left it. Reading never fails loudly; writing one value keeps the other
// readable as it was, reads back as written, and writing it again leaves the
// file as it is.

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/settings.h"
#include "fuzz_support.h"

namespace {

using namespace k730;

struct Fixture {
  Fixture() : dir("settings"), path(dir.File("k730/settings.ini")) {
    setenv("K730_SETTINGS_FILE", path.c_str(), 1);
  }
  fuzz::ScratchDir dir;
  std::string path;
};

std::string FileText(const std::string& path) {
  std::vector<uint8_t> content;
  K730_FUZZ_CHECK(fuzz::ReadBytes(path, content));
  return std::string(content.begin(), content.end());
}

// A value a user could type: the input's printable run after its last NUL.
std::string ValueFrom(const uint8_t* data, size_t size) {
  std::string value;
  for (size_t i = 0; i < size && value.size() < 300; ++i) {
    if (data[i] == 0)
      value.clear();
    else if (data[i] >= 0x20)
      value += static_cast<char>(data[i]);
  }
  return value;
}

void CheckWrite(const std::string& path, const std::string& name, const std::string& other,
                const std::string& value) {
  const std::string otherBefore = ReadSetting(other);
  K730_FUZZ_CHECK(WriteSetting(name, value) == 1);
  K730_FUZZ_CHECK(ReadSetting(name) == value);
  K730_FUZZ_CHECK(ReadSetting(other) == otherBefore);
  const std::string once = FileText(path);
  K730_FUZZ_CHECK(WriteSetting(name, value) == 1);
  K730_FUZZ_CHECK(FileText(path) == once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;
  fuzz::RemoveTree(fixture.dir.File("k730"));
  // A missing file reads as nothing.
  K730_FUZZ_CHECK(ReadSetting(kSettingUploadPath).empty());

  K730_FUZZ_CHECK(mkdir(fixture.dir.File("k730").c_str(), 0700) == 0);
  fuzz::WriteBytes(fixture.path, data, size);

  // Names that cannot be stored are refused and read as nothing.
  for (const char* bad : {"", "A=B", "[X", "A\nB", ";C"}) {
    K730_FUZZ_CHECK(ReadSetting(bad).empty());
    K730_FUZZ_CHECK(WriteSetting(bad, "1") == 0);
  }
  K730_FUZZ_CHECK(WriteSetting(kSettingUploadPort, "1\n2") == 0);
  K730_FUZZ_CHECK(FileText(fixture.path) == std::string(data, data + size));

  CheckWrite(fixture.path, kSettingUploadPort, kSettingUploadPath, "7");
  CheckWrite(fixture.path, kSettingUploadPath, kSettingUploadPort, ValueFrom(data, size));
  return 0;
}
