#include "console/job_rules.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "console/console_ids.h"

namespace k730 {
namespace {

TEST(BrowseDialog, EveryJobHasItsDialogAndLimit) {
  struct Case {
    int device, phone, pda;
    const char* ext;
    const char* name;
    const char* filter;
    uint32_t limit;
  };
  const Case cases[] = {
      {0, 4, 7, "k760", "TOVA_Korvan_Release.img",
       "United Binary  (*.img)|*.img|United Binary  (*.k760)|*.k760|All Files (*.*)|*.*||",
       42991616},
      {1, 2, 7, "bin", "k760Down.bin", "Phone image  (*.bin)|*.bin|All Files (*.*)|*.*||", 2097152},
      {2, 4, 0, "smallrom", "TOVA_Korvan_Release.smallrom",
       "smallrom or bin image (*.smallrom)|*smallrom|All Files (*.*)|*.*||", 131072},
      {2, 4, 1, "rom", "TOVA_Korvan_Release.rom",
       "Big Rom image (*.rom)|*.rom|All Files (*.*)|*.*||", 22020096},
      {2, 4, 2, "bin", "TOVA_Resource.bin", "Resource Data (*.bin)|*.bin|All Files (*.*)|*.*||",
       16777216},
      {2, 4, 3, "pda", "TOVA_Korvan_Release.pda", "PDA image (*.pda)|*.pda|All Files (*.*)|*.*||",
       42991616},
      {2, 4, 4, "bin", "dformat_RQ27.bin", "DFORMAT  (*.bin)|*.bin|All Files (*.*)|*.*||", 307200},
      {2, 4, 5, "widebin", "TOVA_Korvan_Release.widebin",
       "WIDEBIN  (*.widebin)|*.widebin|All Files (*.*)|*.*||", 22020096},
      {2, 4, 6, "widebin", "TOVA_Korvan_Release.widebin",
       "WIDEBIN  (*.widebin)|*.widebin|All Files (*.*)|*.*||", 22020096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " pda mode " + std::to_string(c.pda));
    const BrowseChoice choice = BrowseDialogFor(c.device, c.phone, c.pda);
    ASSERT_TRUE(choice.dialog.has_value());
    EXPECT_EQ(choice.dialog->defaultExtension, c.ext);
    EXPECT_EQ(choice.dialog->initialName, c.name);
    EXPECT_EQ(choice.dialog->filter, c.filter);
    EXPECT_EQ(choice.dialog->sizeLimit, c.limit);
  }
  // PHONE takes the same dialog in all four flashing modes.
  for (int phone = 0; phone < 4; ++phone)
    EXPECT_EQ(BrowseDialogFor(1, phone, 7).dialog->initialName, "k760Down.bin");
}

TEST(BrowseDialog, ModesWithoutAFileKindLogInsteadOfOpeningADialog) {
  EXPECT_FALSE(BrowseDialogFor(1, 4, 3).dialog);
  EXPECT_EQ(BrowseDialogFor(1, 4, 3).refusalLine, "Unknown Phone DL Mode \r\n");
  EXPECT_EQ(BrowseDialogFor(1, -1, 3).refusalLine, "Unknown Phone DL Mode \r\n");
  EXPECT_EQ(BrowseDialogFor(2, 0, 7).refusalLine, "Unknown PDA DL Mode \r\n");
  EXPECT_EQ(BrowseDialogFor(2, 0, 8).refusalLine, "Unknown PDA DL Mode \r\n");
  EXPECT_EQ(BrowseDialogFor(2, 0, -1).refusalLine, "Unknown PDA DL Mode \r\n");
  // PDA+PHONE opens its dialog whatever the modes.
  EXPECT_TRUE(BrowseDialogFor(0, 4, 7).dialog);
  EXPECT_TRUE(BrowseDialogFor(0, -1, -1).dialog);
}

JobCheck Check(const std::string& path, int device, int phone, int pda) {
  return CheckJobRules(JobForm{path, device, phone, pda, 0});
}

TEST(CheckJobRules, RefusalsInOrder) {
  using V = JobCheck::Verdict;
  EXPECT_EQ(Check("", 0, 0, 3).verdict, V::MessageBox);
  EXPECT_EQ(Check("", 0, 0, 3).text, "[ERROR]Select File\r\n");
  EXPECT_EQ(Check("", 2, 0, 7).text, "[ERROR]Select File\r\n");  // before the skip line

  const std::string mismatch = "[ERROR] DL Mode & File Type is not Matched \r\n";
  // PDA+PHONE: ".img" or "k760" (the path arrives lower-cased).
  EXPECT_EQ(Check("/x/tova_korvan_release.img", 0, 0, 3).verdict, V::Go);
  EXPECT_EQ(Check("/x/release.k760", 0, 4, 7).verdict, V::Go);
  EXPECT_EQ(Check("/x/release.pda", 0, 0, 3).text, mismatch);
  EXPECT_EQ(Check("img", 0, 0, 3).text, mismatch);  // shorter than four: the whole path
  // PHONE: ".bin", then the skip line.
  EXPECT_EQ(Check("/x/k760down.bin", 1, 0, 7).verdict, V::Go);
  EXPECT_EQ(Check("/x/k760down.img", 1, 0, 7).text, mismatch);
  EXPECT_EQ(Check("/x/k760down.bin", 1, 4, 7).verdict, V::SlotLine);
  EXPECT_EQ(Check("/x/k760down.bin", 1, 4, 7).text, "Phone DL Mode is SKIP\r\n");
  EXPECT_EQ(Check("/x/k760down.img", 1, 4, 7).text, mismatch);  // ending checked first
  // PDA: the ending of the PDA mode, then the skip line.
  EXPECT_EQ(Check("/x/a.widebin", 2, 4, 5).verdict, V::Go);
  EXPECT_EQ(Check("/x/a.widebin", 2, 4, 6).verdict, V::Go);
  EXPECT_EQ(Check("/x/a.pda", 2, 4, 3).verdict, V::Go);
  EXPECT_EQ(Check("/x/anything.bin", 2, 4, 4).verdict, V::Go);
  EXPECT_EQ(Check("/x/anything.bin", 2, 4, 2).verdict, V::Go);
  EXPECT_EQ(Check("/x/a.smallrom", 2, 4, 0).verdict, V::Go);
  EXPECT_EQ(Check("/x/a.rom", 2, 4, 1).text, mismatch);  // BigRom wants "ebin"
  EXPECT_EQ(Check("/x/a.pda", 2, 4, 5).text, mismatch);
  EXPECT_EQ(Check("/x/a.bin", 2, 4, 7).verdict, V::SlotLine);
  EXPECT_EQ(Check("/x/a.bin", 2, 4, 7).text, "PDA DL Mode is SKIP\r\n");
}

TEST(CheckJobRules, EndingsAndLowerCase) {
  EXPECT_EQ(ToLowerAscii("/Data/TOVA.K760"), "/data/tova.k760");
  EXPECT_EQ(PathEnding("/data/tova.k760"), "k760");
  EXPECT_EQ(PathEnding(".im"), ".im");
  EXPECT_EQ(PdaModeEnding(0), "lrom");
  EXPECT_EQ(PdaModeEnding(1), "ebin");
  EXPECT_EQ(PdaModeEnding(3), ".pda");
  EXPECT_EQ(PdaModeEnding(7), "");
}

bool Has(const std::vector<ControlChange>& changes, int id, ControlChange::Kind kind, bool on) {
  return std::find(changes.begin(), changes.end(), ControlChange{id, kind, on}) != changes.end();
}

TEST(DeviceModeControls, TableForEachDeviceMode) {
  using K = ControlChange::Kind;
  const auto phone = DeviceModeControls(mode::kPhone, 3);
  for (int id : ctl::kPhoneRadios) EXPECT_TRUE(Has(phone, id, K::Enable, true)) << id;
  for (int id : {ctl::kPdaSmallRom, ctl::kPdaBigRom, ctl::kPdaResource, ctl::kPdaAll,
                 ctl::kPdaWidebin, ctl::kPdaBigrom6, ctl::kPdaSkip, ctl::kPdaDFormat})
    EXPECT_TRUE(Has(phone, id, K::Enable, false)) << id;
  for (int slot = 1; slot < 3; ++slot) {
    EXPECT_TRUE(Has(phone, ctl::kLogPane[slot], K::Enable, false));
    EXPECT_TRUE(Has(phone, ctl::kStatusBox[slot], K::Show, false));
    EXPECT_TRUE(Has(phone, ctl::kProgressBar[slot], K::Show, false));
  }
  for (int id : {ctl::kPortLabel, ctl::kPortEdit, ctl::kPortSpin})
    EXPECT_TRUE(Has(phone, id, K::Show, true));

  const auto both = DeviceModeControls(mode::kPdaPhone, 3);
  EXPECT_TRUE(Has(both, ctl::kPdaAll, K::Enable, true));
  EXPECT_TRUE(Has(both, ctl::kPdaDFormat, K::Enable, false));
  EXPECT_TRUE(Has(both, ctl::kLogPane[2], K::Enable, true));
  EXPECT_TRUE(Has(both, ctl::kStatusBox[2], K::Show, true));

  const auto pda = DeviceModeControls(mode::kPda, 3);
  for (int id : ctl::kPhoneRadios) EXPECT_TRUE(Has(pda, id, K::Enable, false)) << id;
  EXPECT_TRUE(Has(pda, ctl::kPdaDFormat, K::Enable, true));
  for (int id : {ctl::kPortLabel, ctl::kPortEdit, ctl::kPortSpin})
    EXPECT_TRUE(Has(pda, id, K::Show, false));

  // Slot 0 is never touched, nor slots beyond the live ones; the port edit is
  // only shown or hidden, never enabled.
  for (const auto& changes : {phone, both, pda}) {
    for (const ControlChange& c : changes) {
      EXPECT_NE(c.id, ctl::kLogPane[0]);
      EXPECT_NE(c.id, ctl::kStatusBox[0]);
      EXPECT_NE(c.id, ctl::kLogPane[3]);
      if (c.id == ctl::kPortEdit) {
        EXPECT_EQ(c.kind, K::Show);
      }
    }
  }
  EXPECT_EQ(DeviceModeControls(mode::kPhone, 6).size(),
            DeviceModeControls(mode::kPhone, 1).size() + 15);
}

TEST(PhoneEvents, ProgressArithmeticAndStepNames) {
  EXPECT_EQ(PhoneProgressPercent(1015808), 50u);
  EXPECT_EQ(PhoneProgressPercent(2031616), 100u);
  EXPECT_EQ(PhoneProgressPercent(2096128), 103u);  // 0x1FFC00, the last block from 0x10000
  EXPECT_EQ(PhoneProgressPercent(0x10000), 3u);
  EXPECT_EQ(PhoneProgressPercent(0), 0u);
  // Unsigned 32-bit arithmetic: the product wraps as it does on the device side.
  EXPECT_EQ(PhoneProgressPercent(0x3000000), (0x3000000u * 100u) / 0x1F0000u);

  EXPECT_STREQ(StepName(0), "AUTOTEST");
  EXPECT_STREQ(StepName(4), "VERSION");
  EXPECT_STREQ(StepName(11), "START2, ERASE Start");
  EXPECT_STREQ(StepName(15), "WRITE");
  EXPECT_STREQ(StepName(18), "SET_PDA");
  EXPECT_STREQ(StepName(19), "");
  EXPECT_STREQ(StepName(static_cast<uintptr_t>(-1)), "");
}

TEST(Settings, LeadingDecimal) {
  EXPECT_EQ(LeadingDecimal(""), 0);
  EXPECT_EQ(LeadingDecimal("7"), 7);
  EXPECT_EQ(LeadingDecimal("12abc"), 12);
  EXPECT_EQ(LeadingDecimal("x12"), 0);
  EXPECT_EQ(LeadingDecimal("999999999x"), 999999999);
  // Values past the cap stay there instead of wrapping to negative bases.
  for (const char* big : {"1000000000", "2147483648", "3000000000", "99999999999999999999"})
    EXPECT_EQ(LeadingDecimal(big), 1000000000) << big;
  EXPECT_EQ(LeadingDecimal(std::string(40, '9')), 1000000000);
}

}  // namespace
}  // namespace k730
