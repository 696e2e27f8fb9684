#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "phone/phone_frame_codec.h"
#include "phone/phone_link.h"
#include "phone_test_support.h"

namespace k730 {
namespace {

TEST(PhoneTrace, FramesWrittenAndRepliesReadAreLoggedPerPort) {
  // Before the first trace call: the file is opened once, at first use.
  setenv("K730_TRACE", K730_TRACE_FILE, 1);
  std::remove(K730_TRACE_FILE);
  test::TempDir dir;
  test::ScopedPortDir portDir(dir.Path());
  test::ScriptedPeer peer(dir.Path(), 7);
  peer.Script({{0x7E, 0x02, 0x6A, 0xD3, 0x7E}});
  peer.Serve();

  SerialPort port;
  port.Setup(2048, 2048);
  ASSERT_EQ(port.Open(PhoneSettingsString(7)), 1);
  PhoneFrameCodec codec;
  codec.SetNoLeadingFlag(1);
  PhoneLink link(port);
  const size_t length = codec.BuildVersion(link.Frame());
  ASSERT_EQ(link.Exchange(static_cast<uint32_t>(length), 1, kCommandSettleMs), 2);
  port.Close();

  const std::vector<uint8_t> raw = test::ReadFile(K730_TRACE_FILE);
  const std::string text(raw.begin(), raw.end());
  EXPECT_NE(text.find(" COM7 > 4 00 78 F0 7E\n"), std::string::npos) << text;
  EXPECT_NE(text.find(" COM7 < 5 7E 02 6A D3 7E\n"), std::string::npos) << text;
  // Each line starts with the time in seconds and milliseconds.
  ASSERT_FALSE(text.empty());
  const size_t dot = text.find('.');
  ASSERT_NE(dot, std::string::npos);
  EXPECT_EQ(text.find(' '), dot + 4);
}

}  // namespace
}  // namespace k730
