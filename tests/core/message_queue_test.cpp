#include "core/message_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace k730 {
namespace {

TEST(MessageQueue, DeliversInPostOrderAcrossThreadsUntilQuit) {
  MessageQueue queue;
  std::thread poster([&] {
    for (int i = 0; i < 1000; ++i) queue.PostMessage(1124, static_cast<uintptr_t>(i), 3);
    queue.PostQuit();
  });
  std::vector<uintptr_t> seen;
  Message m;
  while (queue.GetMessage(m)) {
    EXPECT_EQ(m.id, 1124u);
    EXPECT_EQ(m.lParam, 3);
    seen.push_back(m.wParam);
  }
  poster.join();
  ASSERT_EQ(seen.size(), 1000u);
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i);
}

TEST(MessageQueue, IsBoundedButQuitAlwaysGetsThrough) {
  MessageQueue queue(2);
  EXPECT_TRUE(queue.PostMessage(1, 0, 0));
  EXPECT_TRUE(queue.PostMessage(2, 0, 0));
  EXPECT_FALSE(queue.PostMessage(3, 0, 0));
  queue.PostQuit();
  EXPECT_EQ(queue.Size(), 3u);
  Message m;
  EXPECT_TRUE(queue.GetMessage(m));
  EXPECT_TRUE(queue.GetMessage(m));
  EXPECT_FALSE(queue.GetMessage(m));
  EXPECT_FALSE(queue.WaitMessage(m, 1));
}

}  // namespace
}  // namespace k730
