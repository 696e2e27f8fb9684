#include "core/slot_writer.h"

#include <gtest/gtest.h>

#include <vector>

namespace k730 {
namespace {

class RecordingWriter : public SlotWriter {
 public:
  void AppendSlotLog(int slot, const std::string& text) override { lines.push_back({slot, text}); }
  void ClearSlotLog(int) override {}
  void SetSlotProgress(int, uint32_t, uint32_t) override {}
  void SetSlotStatus(int, int) override {}
  void EnableGo(bool) override {}
  std::vector<std::pair<int, std::string>> lines;
};

TEST(SlotWriter, FormatsPrintfStyleAndCutsAt255) {
  RecordingWriter writer;
  writer.SlotLog(2, "[PHONE:%d]%s Ok.\r\n", 2, "RESTART");
  ASSERT_EQ(writer.lines.size(), 1u);
  EXPECT_EQ(writer.lines[0].first, 2);
  EXPECT_EQ(writer.lines[0].second, "[PHONE:2]RESTART Ok.\r\n");

  const std::string longText(400, 'x');
  writer.SlotLog(0, "%s", longText.c_str());
  EXPECT_EQ(writer.lines[1].second.size(), 255u);
  EXPECT_EQ(FormatBounded(4, "%d", 123456), "1234");
}

}  // namespace
}  // namespace k730
