// The console's fixed rules of the job set-up, as plain functions: the Browse
// dialogs and limits, the file endings Go accepts, the device-mode control
// table, the phone-event texts and the progress arithmetic.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "console/console_view.h"

namespace k730 {

// Message texts of the job set-up.
constexpr const char* kSelectFileMessage = "[ERROR]Select File\r\n";
constexpr const char* kMismatchMessage = "[ERROR] DL Mode & File Type is not Matched \r\n";
constexpr const char* kFileAccessMessage = "[ERROR] File Access Error";
constexpr const char* kFileSizeMessage = "[ERROR] File Size is abnormal";
// A slot's line when the image cannot be read or the phone half staged.
constexpr const char* kFileAccessLine = "[ERROR]File Access error!\r\n";
constexpr const char* kUnknownPhoneModeLine = "Unknown Phone DL Mode \r\n";
constexpr const char* kUnknownPdaModeLine = "Unknown PDA DL Mode \r\n";
constexpr const char* kPdaSkipLine = "PDA DL Mode is SKIP\r\n";
constexpr const char* kPhoneSkipLine = "Phone DL Mode is SKIP\r\n";

// The Browse dialog for a job; nothing (and the slot-0 line to log) when the
// mode has no file kind.
struct BrowseChoice {
  std::optional<FileDialogSpec> dialog;
  std::string refusalLine;
};
BrowseChoice BrowseDialogFor(int deviceMode, int phoneMode, int pdaMode);

// The ending a file name must have for a PDA mode (0-6), "" otherwise.
std::string PdaModeEnding(int pdaMode);
// The last four characters of the (already lower-cased) path, or all of it.
std::string PathEnding(const std::string& lowerPath);
std::string ToLowerAscii(std::string text);

// What CheckJob decides, without the side effects.
struct JobCheck {
  enum class Verdict { Go, MessageBox, SlotLine } verdict = Verdict::Go;
  std::string text;  // the message box text or the slot-0 line
};
JobCheck CheckJobRules(const JobForm& job);

// One change the device mode makes to a control: enable or disable it, or
// show or hide it (the other state is left as it is).
struct ControlChange {
  enum class Kind { Enable, Show };
  int id = 0;
  Kind kind = Kind::Enable;
  bool on = true;
  bool operator==(const ControlChange&) const = default;
};
std::vector<ControlChange> DeviceModeControls(int deviceMode, int slotCount);

// WM_PHONE_PROGRESS: wParam x 100 / 0x1F0000 in unsigned 32-bit arithmetic.
uint32_t PhoneProgressPercent(uintptr_t address);

// The name of a step index, "" outside the table.
const char* StepName(uintptr_t index);

// The decimal value of a setting's leading digits (empty or other text: 0),
// capped at 1,000,000,000.
int LeadingDecimal(const std::string& text);

}  // namespace k730
