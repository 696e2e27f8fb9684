// End-to-end tests of k730-image: the real binary from $K730_TEST_BIN_DIR,
// run in scratch directories.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../image/file_helpers.h"
#include "core/byte_order.h"
#include "image/crc32.h"

namespace k730 {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string BinDir() {
  if (const char* dir = std::getenv("K730_TEST_BIN_DIR"); dir && *dir)
    return std::filesystem::absolute(dir).string();
  return std::filesystem::canonical("/proc/self/exe").parent_path().string();
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class CliTest : public ::testing::Test {
 protected:
  // Runs k730-image in the scratch directory; prefix is shell text run first.
  Outcome Image(const std::vector<std::string>& args, const std::string& prefix = "") {
    std::string command =
        "cd " + Quote(dir.Path()) + " && " + prefix + Quote(BinDir() + "/k730-image");
    for (const auto& a : args) command += " " + Quote(a);
    command += " >" + Quote(logs / "out") + " 2>" + Quote(logs / "err");
    const int raw = std::system(command.c_str());
    Outcome r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
    r.out = Slurp(logs / "out");
    r.err = Slurp(logs / "err");
    return r;
  }

  void Demo() {
    const Outcome r = Image({"demo-components", "-C", "."});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  Outcome MakeImg(const std::string& out, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        "make-img",     "--phone",    "phone.bin",    "--ipl", "ipl.bin", "--widebin",
        "demo.widebin", "--resource", "resource.bin", "-o",    out};
    args.insert(args.end(), extra.begin(), extra.end());
    return Image(args);
  }

  static bool OneLine(const std::string& text) {
    return !text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1;
  }

  TempDir dir;
  TempDir logs;
};

TEST_F(CliTest, HelpAndBadUsage) {
  Outcome r = Image({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("make-img"), std::string::npos);
  for (const char* command :
       {"make-img", "make-pda", "combine", "split", "info", "demo-components"}) {
    r = Image({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_EQ(r.out.rfind(std::string("Usage: k730-image ") + command, 0), 0u) << r.out;
  }
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"make-img", "--phone", "a", "-o", "x"},                          // sources missing
      {"make-pda", "--ipl", "a", "--widebin", "b", "--resource", "c"},  // no -o
      {"split"},
      {"split", "a", "b"},
      {"info", "x", "--bogus"},
      {"combine", "--phone"},  // option without its value
      {"combine", "--phone", "a", "--phone", "b", "--pda", "c", "-o", "x"},
      {"make-pda", "--ipl", "a", "--widebin", "b", "--resource", "c", "-o", "x", "--date",
       "24/13/01"},
      {"make-pda", "--ipl", "a", "--widebin", "b", "--resource", "c", "-o", "x", "--date",
       "23/02/29"},
      {"make-pda", "--ipl", "a", "--widebin", "b", "--resource", "c", "-o", "x", "--time",
       "24:00:00"},
      {"make-pda", "--ipl", "a", "--widebin", "b", "--resource", "c", "-o", "x", "--version",
       std::string(32, 'v')},
      {"demo-components", "-C", ".", "--size-scale", "0"},
      {"demo-components", "-C", ".", "--size-scale", "abc"},
  };
  for (const auto& args : bad) {
    r = Image(args);
    EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]) << " " << r.err;
    EXPECT_NE(r.err.find("Usage: "), std::string::npos) << r.err;
  }
}

TEST_F(CliTest, MakeImgInfoVerifyAndSplitGiveTheComponentsBack) {
  Demo();
  Outcome r =
      MakeImg("sub.img", {"--version", "7.1", "--date", "2024/02/29", "--time", "08:09:10"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<uint8_t> img = ReadFile(dir / "sub.img");
  ASSERT_GT(img.size(), 256u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&img[12])), "7.1");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&img[44])), "24/02/29-08:09:10");

  r = Image({"info", "sub.img", "--verify"});
  EXPECT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("United Binary (4 entries)"), std::string::npos);
  EXPECT_NE(r.out.find("Verified"), std::string::npos);
  EXPECT_TRUE(r.err.empty());

  std::filesystem::create_directory(dir / "parts");
  r = Image({"split", "sub.img", "-C", "parts"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir / "parts/TOVA_Phone.bin"), ReadFile(dir / "phone.bin"));
  EXPECT_EQ(ReadFile(dir / "parts/TOVA_IPL.bin"), ReadFile(dir / "ipl.bin"));
  EXPECT_EQ(ReadFile(dir / "parts/TOVA_Korvan_Release.widebin"), ReadFile(dir / "demo.widebin"));
  EXPECT_EQ(ReadFile(dir / "parts/TOVA_Resource.bin"), ReadFile(dir / "resource.bin"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "parts"), {}), 4);

  // Without -C the current directory; the header size, not the name, decides.
  std::filesystem::copy_file(dir / "sub.img", dir / "renamed.pda");
  r = Image({"split", "renamed.pda"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir / "TOVA_Phone.bin"), ReadFile(dir / "phone.bin"));
}

TEST_F(CliTest, MakePdaCombineAndSplitRoundTrip) {
  Demo();
  Outcome r = Image({"make-pda", "--ipl", "ipl.bin", "--widebin", "demo.widebin", "--resource",
                     "resource.bin", "-o", "image.pda"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Image({"info", "image.pda", "--verify"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("PDA image (3 entries)"), std::string::npos);

  r = Image({"combine", "--phone", "phone.bin", "--pda", "image.pda", "-o", "united.img"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Image({"info", "united.img", "--verify"});
  EXPECT_EQ(r.status, 0) << r.out;
  // The PDA entries, stamps included, are carried over byte for byte.
  const std::vector<uint8_t> pda = ReadFile(dir / "image.pda");
  const std::vector<uint8_t> united = ReadFile(dir / "united.img");
  ASSERT_EQ(united.size(), pda.size() + 2097152 + 44);
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(std::equal(pda.begin() + 80 + 44 * k, pda.begin() + 112 + 44 * k,
                           united.begin() + 124 + 44 * k));
    EXPECT_EQ(ReadU32LE(&pda[120 + 44 * k]), ReadU32LE(&united[164 + 44 * k]));
  }
  EXPECT_TRUE(std::equal(pda.begin() + 212, pda.end(), united.begin() + 256 + 2097152));

  std::filesystem::create_directory(dir / "a");
  std::filesystem::create_directory(dir / "b");
  ASSERT_EQ(Image({"split", "united.img", "-C", "a/"}).status, 0);
  ASSERT_EQ(Image({"split", "image.pda", "-C", "b"}).status, 0);
  EXPECT_EQ(ReadFile(dir / "a/TOVA_Phone.bin"), ReadFile(dir / "phone.bin"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "b"), {}), 3);
  for (const char* name : {"TOVA_IPL.bin", "TOVA_Korvan_Release.widebin", "TOVA_Resource.bin"})
    EXPECT_EQ(ReadFile(dir / "a/" + name), ReadFile(dir / "b/" + name)) << name;
}

TEST_F(CliTest, FailuresExitOneWithOneLineAndLeaveNothingBehind) {
  Demo();
  // A missing source.
  Outcome r = Image({"make-pda", "--ipl", "nope.bin", "--widebin", "demo.widebin", "--resource",
                     "resource.bin", "-o", "x.pda"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_NE(r.err.find("nope.bin"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "x.pda"));

  // Hostile headers for split and info.
  ASSERT_EQ(MakeImg("good.img").status, 0);
  std::vector<uint8_t> hostile = ReadFile(dir / "good.img");
  WriteU32LE(&hostile[248], 0x7FFFFFFF);
  WriteFile(dir / "hostile.img", hostile);
  std::filesystem::create_directory(dir / "out");
  r = Image({"split", "hostile.img", "-C", "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
  r = Image({"info", "hostile.img", "--verify"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("PROBLEM: entry 3 (resource data)"), std::string::npos) << r.out;
  WriteU32LE(&hostile[0], 300);
  WriteFile(dir / "hostile.img", hostile);
  for (const char* command : {"split", "info"}) {
    r = Image({command, "hostile.img"});
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_NE(r.err.find("header size 300"), std::string::npos) << r.err;
  }

  // A flipped byte is found by --verify only.
  std::vector<uint8_t> flipped = ReadFile(dir / "good.img");
  flipped[1000] ^= 1;
  WriteFile(dir / "flipped.img", flipped);
  EXPECT_EQ(Image({"info", "flipped.img"}).status, 0);
  r = Image({"info", "flipped.img", "--verify"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("PROBLEM: entry 0 (phone binary): CRC"), std::string::npos) << r.out;
  EXPECT_TRUE(OneLine(r.err));
}

TEST_F(CliTest, AWriteFailureKeepsTheExistingOutputIntact) {
  Demo();
  WriteFile(dir / "keep.img", {'o', 'l', 'd'});
  // Under a 1 MiB file size limit the 2.4 MB image cannot be written.
  const Outcome r = Image({"make-img", "--phone", "phone.bin", "--ipl", "ipl.bin", "--widebin",
                           "demo.widebin", "--resource", "resource.bin", "-o", "keep.img"},
                          "ulimit -f 1024 && ");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_EQ(ReadFile(dir / "keep.img"), (std::vector<uint8_t>{'o', 'l', 'd'}));
  for (const auto& e : std::filesystem::directory_iterator(dir.Path()))
    EXPECT_EQ(e.path().filename().string().find(".k730tmp"), std::string::npos) << e.path();
}

}  // namespace
}  // namespace k730
