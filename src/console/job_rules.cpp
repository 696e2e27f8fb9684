#include "console/job_rules.h"

#include "console/console_ids.h"

namespace k730 {

BrowseChoice BrowseDialogFor(int deviceMode, int phoneMode, int pdaMode) {
  BrowseChoice choice;
  auto dialog = [&](const char* ext, const char* name, const char* filter, uint32_t limit) {
    choice.dialog = FileDialogSpec{ext, name, filter, limit};
  };
  if (deviceMode == mode::kPhone) {
    if (phoneMode < mode::kPhNormal || phoneMode > mode::kPhChEmergency) {
      choice.refusalLine = kUnknownPhoneModeLine;
      return choice;
    }
    dialog("bin", "k760Down.bin", "Phone image  (*.bin)|*.bin|All Files (*.*)|*.*||", 0x200000);
    return choice;
  }
  if (deviceMode == mode::kPda) {
    switch (pdaMode) {
      case mode::kPdaSmallRom:
        dialog("smallrom", "TOVA_Korvan_Release.smallrom",
               "smallrom or bin image (*.smallrom)|*smallrom|All Files (*.*)|*.*||", 0x20000);
        break;
      case mode::kPdaBigRom:
        dialog("rom", "TOVA_Korvan_Release.rom",
               "Big Rom image (*.rom)|*.rom|All Files (*.*)|*.*||", 0x1500000);
        break;
      case mode::kPdaResource:
        dialog("bin", "TOVA_Resource.bin", "Resource Data (*.bin)|*.bin|All Files (*.*)|*.*||",
               0x1000000);
        break;
      case mode::kPdaAll:
        dialog("pda", "TOVA_Korvan_Release.pda", "PDA image (*.pda)|*.pda|All Files (*.*)|*.*||",
               0x2900000);
        break;
      case mode::kPdaDFormat:
        dialog("bin", "dformat_RQ27.bin", "DFORMAT  (*.bin)|*.bin|All Files (*.*)|*.*||", 0x4B000);
        break;
      case mode::kPdaWidebin:
      case mode::kPdaBigrom:
        dialog("widebin", "TOVA_Korvan_Release.widebin",
               "WIDEBIN  (*.widebin)|*.widebin|All Files (*.*)|*.*||", 0x1500000);
        break;
      default:
        choice.refusalLine = kUnknownPdaModeLine;
    }
    return choice;
  }
  // PDA+PHONE whatever the modes (and any unset device mode, as the dialog's
  // fall-through does).
  dialog("k760", "TOVA_Korvan_Release.img",
         "United Binary  (*.img)|*.img|United Binary  (*.k760)|*.k760|All Files (*.*)|*.*||",
         0x2900000);
  return choice;
}

std::string PdaModeEnding(int pdaMode) {
  switch (pdaMode) {
    case mode::kPdaSmallRom:
      return "lrom";
    case mode::kPdaBigRom:
    case mode::kPdaWidebin:
    case mode::kPdaBigrom:
      return "ebin";
    case mode::kPdaResource:
    case mode::kPdaDFormat:
      return ".bin";
    case mode::kPdaAll:
      return ".pda";
    default:
      return "";
  }
}

std::string PathEnding(const std::string& lowerPath) {
  return lowerPath.size() <= 4 ? lowerPath : lowerPath.substr(lowerPath.size() - 4);
}

std::string ToLowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

JobCheck CheckJobRules(const JobForm& job) {
  using V = JobCheck::Verdict;
  if (job.imagePath.empty()) return {V::MessageBox, kSelectFileMessage};
  const std::string ending = PathEnding(job.imagePath);
  if (job.deviceMode == mode::kPda) {
    if (job.pdaMode >= mode::kPdaSmallRom && job.pdaMode <= mode::kPdaBigrom) {
      if (ending != PdaModeEnding(job.pdaMode)) return {V::MessageBox, kMismatchMessage};
      return {V::Go, ""};
    }
    if (job.pdaMode == mode::kPdaSkip) return {V::SlotLine, kPdaSkipLine};
    // No PDA mode selected: nothing to flash, refused like a mismatch.
    return {V::MessageBox, kMismatchMessage};
  }
  if (job.deviceMode == mode::kPhone) {
    if (ending != ".bin") return {V::MessageBox, kMismatchMessage};
    if (job.phoneMode == mode::kPhSkip) return {V::SlotLine, kPhoneSkipLine};
    if (job.phoneMode < mode::kPhNormal || job.phoneMode > mode::kPhSkip)
      return {V::MessageBox, kMismatchMessage};
    return {V::Go, ""};
  }
  if (job.deviceMode == mode::kPdaPhone) {
    if (ending != "k760" && ending != ".img") return {V::MessageBox, kMismatchMessage};
    return {V::Go, ""};
  }
  return {V::MessageBox, kMismatchMessage};
}

std::vector<ControlChange> DeviceModeControls(int deviceMode, int slotCount) {
  using K = ControlChange::Kind;
  const bool pdaPhone = deviceMode == mode::kPdaPhone;
  const bool phone = deviceMode == mode::kPhone;
  const bool pda = deviceMode == mode::kPda;
  std::vector<ControlChange> changes;
  for (int id :
       {ctl::kPhEmergency, ctl::kPhChEmergency, ctl::kPhNormal, ctl::kPhChNormal, ctl::kPhSkip})
    changes.push_back({id, K::Enable, pdaPhone || phone});
  for (int id : {ctl::kPdaSmallRom, ctl::kPdaBigRom, ctl::kPdaResource, ctl::kPdaAll,
                 ctl::kPdaWidebin, ctl::kPdaBigrom6, ctl::kPdaSkip})
    changes.push_back({id, K::Enable, pdaPhone || pda});
  changes.push_back({ctl::kPdaDFormat, K::Enable, pda});
  for (int id : {ctl::kPortLabel, ctl::kPortEdit, ctl::kPortSpin})
    changes.push_back({id, K::Show, !pda});
  const int live = slotCount < kSlotCount ? slotCount : kSlotCount;
  for (int slot = 1; slot < live; ++slot) {
    changes.push_back({ctl::kLogPane[slot], K::Enable, pdaPhone});
    changes.push_back({ctl::kStatusBox[slot], K::Show, pdaPhone});
    changes.push_back({ctl::kProgressBar[slot], K::Show, pdaPhone});
  }
  return changes;
}

uint32_t PhoneProgressPercent(uintptr_t address) {
  return static_cast<uint32_t>(static_cast<uint32_t>(address) * 100u) / 0x1F0000u;
}

const char* StepName(uintptr_t index) {
  return index < kStepNames.size() ? kStepNames[index] : "";
}

int LeadingDecimal(const std::string& text) {
  // Capped, so that no stored value can wrap to a negative port base.
  constexpr long kCap = 1000000000;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value >= kCap) return static_cast<int>(kCap);
  }
  return static_cast<int>(value);
}

}  // namespace k730
