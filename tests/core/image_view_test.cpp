#include "core/image_view.h"

#include <gtest/gtest.h>

#include <vector>

namespace k730 {
namespace {

TEST(ImageView, ReadsSequentiallyAndNeverPastItsRange) {
  std::vector<uint8_t> buffer(100);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i);
  ImageView view;
  EXPECT_FALSE(view.IsAttached());
  view.Attach(buffer.data() + 10, 25);
  EXPECT_EQ(view.Length(), 25u);

  uint8_t out[64] = {};
  EXPECT_EQ(view.Read(out, 20), 20u);
  EXPECT_EQ(out[0], 10);
  EXPECT_EQ(out[19], 29);
  EXPECT_EQ(view.Read(out, 20), 5u);  // only what is left of the range
  EXPECT_EQ(out[4], 34);
  EXPECT_EQ(view.Read(out, 20), 0u);

  view.Rewind();
  EXPECT_EQ(view.Read(out, 1), 1u);
  EXPECT_EQ(out[0], 10);

  view.Detach();
  EXPECT_FALSE(view.IsAttached());
  EXPECT_EQ(view.Length(), 0u);
  EXPECT_EQ(view.Read(out, 1), 0u);
}

TEST(ImageView, NullStartIsAnEmptyView) {
  ImageView view(nullptr, 50);
  uint8_t out[4];
  EXPECT_EQ(view.Length(), 0u);
  EXPECT_EQ(view.Read(out, 4), 0u);
}

}  // namespace
}  // namespace k730
