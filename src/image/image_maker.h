// The Image Maker's fields and operations, with no toolkit in them: the
// window shows the file dialogs and message boxes and wraps this class;
// k730-image drives the same operations from the command line.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/operator_prompt.h"
#include "image/image_formats.h"
#include "image/source_info.h"

namespace k730 {

// The date or time a picker holds; the build stamp takes the date part of one
// and the time part of the other.
struct StampDateTime {
  int year = 2000;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;

  static StampDateTime LocalNow();
};

// "%y/%m/%d" of date joined by "-" to "%H:%M:%S" of time.
std::string FormatBuildStamp(const StampDateTime& date, const StampDateTime& time);

enum class ImageOperation { MakeImg = 0, MakePda = 1, Combine = 2, Split = 3 };

// The work buffer limit: a component source, or the PDA image in Combine.
constexpr uint32_t kWorkBufferSize = 0x2900000;
// The longest output path, in characters.
constexpr size_t kMaxOutputPath = 255;
constexpr size_t kMaxVersionText = kTextFieldSize - 1;

// Output names of SPLIT IMG, in entry order of a United Binary.
constexpr const char* kSplitPhoneName = "TOVA_Phone.bin";
constexpr const char* kSplitIplName = "TOVA_IPL.bin";
constexpr const char* kSplitWidebinName = "TOVA_Korvan_Release.widebin";
constexpr const char* kSplitResourceName = "TOVA_Resource.bin";

enum class MakeOutcome {
  Finished,  // the window closes with OK
  Message,   // show message with buttons; the window stays open
  Stopped,   // nothing shown; the window stays open (reason says why)
};

struct MakeResult {
  MakeOutcome outcome = MakeOutcome::Stopped;
  std::string message;
  MessageIcon icon = MessageIcon::Exclamation;
  MessageButtons buttons = MessageButtons::Ok;
  std::string reason;                // one line, for logs and the command line
  std::vector<std::string> written;  // the files written, when finished
};

class ImageMaker {
 public:
  static constexpr int kChosenCount = 5;  // phone, IPL, widebin, resource, PDA data

  ImageMaker();

  // The window's fields. Initial values as when the window opens.
  ImageOperation operation = ImageOperation::MakeImg;
  std::string fileName = "TOVA_Korvan_release";
  std::string version = "10";
  StampDateTime buildDate;
  StampDateTime buildTime;
  std::array<std::string, kSourceKindCount> sourcePath;
  std::array<std::string, kSourceKindCount> sourceText;
  std::array<bool, kChosenCount> chosen{};
  bool unitedBinary = false;
  ImageHeader unitedHeader;  // 4 entries
  ImageHeader pdaHeader;     // 3 entries
  // Asked between blocks of a copy; true stops the operation, which then
  // leaves no output (k730-image sets it when a signal comes).
  std::function<bool()> interrupted;

  // Takes the path the file dialog returned, or nullopt when the operator
  // cancelled (then nothing changes). Returns what was read; on an open error
  // the earlier recorded values stay and the chosen flag is cleared.
  SourceInfo ChooseSource(SourceKind kind, const std::optional<std::string>& path);

  // Chooses a source without reading it first, for callers with no button
  // to show its CRC on: the stamp and length are recorded now, the CRC when
  // an operation copies the file (so it is read once, not twice).
  SourceInfo TakeSource(SourceKind kind, const std::string& path);

  bool IsChosen(SourceKind kind) const;

  // Runs the selected operation with the window's output rules: the output
  // directory is that of the WIDEBIN source, the name is fileName plus ".img"
  // or ".pda".
  MakeResult MakeFile();

  // The operations with explicit outputs; MakeFile and k730-image both end here.
  MakeResult MakeImgTo(const std::string& outputPath);
  MakeResult MakePdaTo(const std::string& outputPath);
  MakeResult CombineTo(const std::string& outputPath);
  // Splits the IMG or PDA File source into directory (a prefix: "" or ending in '/').
  MakeResult SplitTo(const std::string& directory);

  // The output directory of MakeFile.
  std::string OutputDirectory() const;

 private:
  MakeResult MakeContainer(const std::string& outputPath, bool united);
  bool EnsureBuffer();

  std::vector<uint8_t> buffer_;  // the bounded work buffer, allocated on first use
  // Sources taken by TakeSource, whose CRC is recorded when they are copied.
  std::array<bool, kSourceKindCount> crcPending_{};
};

}  // namespace k730
