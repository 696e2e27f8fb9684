#include "image/image_maker.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "../support/test_files.h"
#include "core/byte_order.h"
#include "file_helpers.h"
#include "image/crc32.h"

namespace k730 {
namespace {

using test::Pattern;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr std::time_t kStampTime = 1709618828;  // 2024-03-05 06:07:08 UTC

std::vector<uint8_t> Concat(std::initializer_list<const std::vector<uint8_t>*> parts) {
  std::vector<uint8_t> out;
  for (const auto* p : parts) out.insert(out.end(), p->begin(), p->end());
  return out;
}

std::string At(const std::vector<uint8_t>& file, size_t position) {
  return std::string(reinterpret_cast<const char*>(&file[position]));
}

std::set<std::string> Entries(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(directory))
    names.insert(e.path().filename().string());
  return names;
}

// Changes the process's current directory for one scope.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& path) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~CurrentDirectory() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

class ImageMakerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::UseTimeZone("UTC");
    std::filesystem::create_directory(dir / "fw");
    std::filesystem::create_directory(dir / "out");
    maker.buildDate = StampDateTime{2024, 5, 1, 23, 59, 59};
    maker.buildTime = StampDateTime{1999, 12, 31, 12, 34, 56};
  }

  std::string Put(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir / name;
    WriteFile(path, bytes);
    test::SetModificationTime(path, kStampTime);
    return path;
  }

  void Choose(SourceKind kind, const std::string& name, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(maker.ChooseSource(kind, Put(name, bytes)).opened) << name;
  }

  void ChooseComponents(bool withPhone = true) {
    if (withPhone) Choose(SourceKind::Phone, "phone.bin", phone);
    Choose(SourceKind::Ipl, "ipl.bin", ipl);
    Choose(SourceKind::Widebin, "fw/w.widebin", widebin);
    Choose(SourceKind::Resource, "res.bin", resource);
  }

  // A PDA image as a writer lays it out, with the given entry CRCs.
  std::vector<uint8_t> PdaImage(const uint32_t crcs[3]) {
    ImageHeader h;
    h.headerSize = kPdaHeaderSize;
    h.magic = IMAGE_MAGIC;
    h.headerVersion = 1;
    SetTextField(h.versionText, "pda-version");
    const std::vector<uint8_t>* parts[3] = {&ipl, &widebin, &resource};
    uint32_t offset = kPdaHeaderSize;
    for (int k = 0; k < 3; ++k) {
      SetTextField(h.entries[k].sourceStamp,
                   "[Date]:01/02/03-04:05:0" + std::to_string(k) + "    ");
      h.entries[k].offset = offset;
      h.entries[k].length = static_cast<uint32_t>(parts[k]->size());
      h.entries[k].crc = crcs[k];
      offset += h.entries[k].length;
    }
    h.totalSize = offset;
    std::vector<uint8_t> file = WriteImageHeader(h, kPdaEntryCount);
    for (auto* p : parts) file.insert(file.end(), p->begin(), p->end());
    return file;
  }

  static void ExpectMessage(const MakeResult& r, const std::string& text, MessageButtons buttons) {
    EXPECT_EQ(r.outcome, MakeOutcome::Message);
    EXPECT_EQ(r.message, text);
    EXPECT_EQ(r.buttons, buttons);
  }

  static void ExpectRefusal(const MakeResult& r) {
    EXPECT_EQ(r.outcome, MakeOutcome::Message) << r.reason;
    EXPECT_EQ(r.message.rfind("[ERROR]", 0), 0u) << r.message;
    EXPECT_EQ(r.message.substr(r.message.size() - 3), "!\r\n");
    EXPECT_EQ(r.buttons, MessageButtons::Ok);
    EXPECT_FALSE(r.reason.empty());
  }

  TempDir dir;
  ImageMaker maker;
  // The 100/200/300 example, with a phone binary in front.
  std::vector<uint8_t> phone = Pattern(64, 0);
  std::vector<uint8_t> ipl = Pattern(100, 1);
  std::vector<uint8_t> widebin = Pattern(200, 2);
  std::vector<uint8_t> resource = Pattern(300, 3);
};

TEST_F(ImageMakerTest, InitialFieldsAndSourceChoices) {
  ImageMaker fresh;
  EXPECT_EQ(fresh.operation, ImageOperation::MakeImg);
  EXPECT_EQ(fresh.fileName, "TOVA_Korvan_release");
  EXPECT_EQ(fresh.version, "10");
  for (bool c : fresh.chosen) EXPECT_FALSE(c);

  // Cancelling the dialog changes nothing.
  EXPECT_FALSE(maker.ChooseSource(SourceKind::Phone, std::nullopt).opened);
  EXPECT_TRUE(maker.sourcePath[0].empty());
  EXPECT_FALSE(maker.chosen[0]);

  Choose(SourceKind::Phone, "p1.bin", Pattern(10, 9));
  Choose(SourceKind::Phone, "p2.bin", phone);  // the last choice wins
  EXPECT_EQ(maker.sourcePath[0], dir / "p2.bin");
  EXPECT_EQ(maker.unitedHeader.entries[0].length, 64u);
  EXPECT_EQ(maker.unitedHeader.entries[0].crc, Crc32(phone.data(), 0, phone.size()));
  EXPECT_EQ(TextField(maker.unitedHeader.entries[0].sourceStamp), "[Date]:24/03/05-06:07:08    ");
  EXPECT_EQ(maker.sourceText[0].rfind("Phonem binary\r\n[File]:" + dir / "p2.bin", 0), 0u);
  EXPECT_TRUE(maker.chosen[0]);

  Choose(SourceKind::Ipl, "ipl.bin", ipl);
  Choose(SourceKind::Widebin, "w.widebin", widebin);
  Choose(SourceKind::Resource, "r.bin", resource);
  EXPECT_EQ(maker.pdaHeader.entries[0].length, 100u);
  EXPECT_EQ(maker.pdaHeader.entries[1].length, 200u);
  EXPECT_EQ(maker.pdaHeader.entries[2].crc, Crc32(resource.data(), 0, resource.size()));

  // A failed choice keeps the recorded values but clears the chosen flag.
  const SourceInfo bad = maker.ChooseSource(SourceKind::Ipl, dir / "missing.bin");
  EXPECT_FALSE(bad.opened);
  EXPECT_FALSE(maker.chosen[1]);
  EXPECT_EQ(maker.sourceText[1],
            "IPL binary\r\n[File]:" + dir / "missing.bin" + " open error!\r\n");
  EXPECT_EQ(maker.pdaHeader.entries[0].length, 100u);

  // The IMG or PDA File source sets the United-Binary flag from the name, even
  // when the file does not open; it has no chosen flag and records nothing.
  maker.ChooseSource(SourceKind::ImgOrPda, dir / "gone.img");
  EXPECT_TRUE(maker.unitedBinary);
  maker.ChooseSource(SourceKind::ImgOrPda, Put("x.IMG", {1, 2}));
  EXPECT_FALSE(maker.unitedBinary);
  EXPECT_EQ(maker.pdaHeader.entries[2].length, 300u);
}

TEST_F(ImageMakerTest, MakeImgWritesEveryFieldAtItsPositionIntoTheWidebinDirectory) {
  ChooseComponents();
  maker.fileName = "TOVA_Korvan_release";
  const MakeResult r = maker.MakeFile();
  ASSERT_EQ(r.outcome, MakeOutcome::Finished) << r.reason;
  const std::string out = dir / "fw/TOVA_Korvan_release.img";
  ASSERT_EQ(r.written, std::vector<std::string>{out});

  const std::vector<uint8_t> file = ReadFile(out);
  ASSERT_EQ(file.size(), 256u + 64 + 100 + 200 + 300);
  EXPECT_EQ(ReadU32LE(&file[0]), 256u);
  EXPECT_EQ(ReadU32LE(&file[4]), 0x12345678u);
  EXPECT_EQ(ReadU32LE(&file[8]), 1u);
  EXPECT_EQ(file[12], '1');
  EXPECT_EQ(file[13], '0');
  EXPECT_EQ(file[14], 0);
  // Date from the date picker, time from the time picker.
  EXPECT_EQ(At(file, 44), "24/05/01-12:34:56");
  EXPECT_EQ(ReadU32LE(&file[76]), 920u);
  const std::vector<uint8_t>* parts[4] = {&phone, &ipl, &widebin, &resource};
  const uint32_t offsets[4] = {256, 320, 420, 620};
  for (int k = 0; k < 4; ++k) {
    const size_t e = 80 + 44 * k;
    EXPECT_EQ(At(file, e), "[Date]:24/03/05-06:07:08    ") << k;
    EXPECT_EQ(ReadU32LE(&file[e + 32]), offsets[k]) << k;
    EXPECT_EQ(ReadU32LE(&file[e + 36]), parts[k]->size()) << k;
    EXPECT_EQ(ReadU32LE(&file[e + 40]), Crc32(parts[k]->data(), 0, parts[k]->size())) << k;
  }
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + 256, file.end()),
            Concat({&phone, &ipl, &widebin, &resource}));
  // Nothing but the output appeared; no temporary file is left behind.
  EXPECT_EQ(Entries(dir / "fw"), (std::set<std::string>{"w.widebin", "TOVA_Korvan_release.img"}));
}

TEST_F(ImageMakerTest, MakePdaNeedsNoPhoneAndLaysOutTheExample) {
  ChooseComponents(false);
  maker.operation = ImageOperation::MakePda;
  maker.fileName = "pda";
  const MakeResult r = maker.MakeFile();
  ASSERT_EQ(r.outcome, MakeOutcome::Finished) << r.reason;
  const std::vector<uint8_t> file = ReadFile(dir / "fw/pda.pda");
  ASSERT_EQ(file.size(), 812u);
  EXPECT_EQ(ReadU32LE(&file[0]), 212u);
  EXPECT_EQ(ReadU32LE(&file[76]), 812u);
  EXPECT_EQ(ReadU32LE(&file[112]), 212u);
  EXPECT_EQ(ReadU32LE(&file[156]), 312u);
  EXPECT_EQ(ReadU32LE(&file[200]), 512u);
  EXPECT_EQ(ReadU32LE(&file[204]), 300u);
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + 212, file.end()),
            Concat({&ipl, &widebin, &resource}));
}

TEST_F(ImageMakerTest, RefusalsOfTheWindowAndWhatTheyLeave) {
  maker.fileName = "";
  ExpectMessage(maker.MakeFile(), "Make File Name", MessageButtons::OkCancel);

  // Three of four chosen: nothing is written.
  maker.fileName = "x";
  ChooseComponents(false);
  ExpectMessage(maker.MakeFile(), "Files not selected", MessageButtons::OkCancel);
  // A phone whose choice failed counts as not chosen.
  maker.ChooseSource(SourceKind::Phone, dir / "missing.bin");
  ExpectMessage(maker.MakeFile(), "Files not selected", MessageButtons::OkCancel);
  maker.operation = ImageOperation::Combine;
  ExpectMessage(maker.MakeFile(), "Files not selected", MessageButtons::OkCancel);
  maker.operation = ImageOperation::Split;
  ExpectMessage(maker.MakeFile(), "[ERROR]File Access error!\r\n", MessageButtons::Ok);
  EXPECT_EQ(Entries(dir / "fw"), std::set<std::string>{"w.widebin"});
}

TEST_F(ImageMakerTest, CombineCarriesThePdaEntriesUnchangedAndSplitGivesEverythingBack) {
  const uint32_t fakeCrcs[3] = {0xDEADBEEF, 0x01234567, 0};  // deliberately wrong
  Choose(SourceKind::Phone, "phone.bin", phone);
  Choose(SourceKind::PdaData, "image.pda", PdaImage(fakeCrcs));
  maker.operation = ImageOperation::Combine;
  maker.fileName = "combined";
  maker.version = "v2";
  MakeResult r;
  {
    // No widebin chosen: the name is relative to the current directory.
    CurrentDirectory cwd(dir / "fw");
    r = maker.MakeFile();
  }
  ASSERT_EQ(r.outcome, MakeOutcome::Finished) << r.reason;
  ASSERT_EQ(r.written, std::vector<std::string>{"combined.img"});
  const std::vector<uint8_t> file = ReadFile(dir / "fw/combined.img");
  ASSERT_EQ(file.size(), 920u);
  EXPECT_EQ(At(file, 12), "v2");
  EXPECT_EQ(At(file, 44), "24/05/01-12:34:56");
  EXPECT_EQ(ReadU32LE(&file[76]), 64u + 812 + 44);
  EXPECT_EQ(ReadU32LE(&file[120]), Crc32(phone.data(), 0, phone.size()));
  for (int k = 0; k < 3; ++k) {
    const size_t e = 80 + 44 * (k + 1);
    EXPECT_EQ(At(file, e), "[Date]:01/02/03-04:05:0" + std::to_string(k) + "    ");
    EXPECT_EQ(ReadU32LE(&file[e + 40]), fakeCrcs[k]);
  }
  EXPECT_EQ(ReadU32LE(&file[156]), 320u);
  EXPECT_EQ(ReadU32LE(&file[200]), 420u);
  EXPECT_EQ(ReadU32LE(&file[244]), 620u);
  // The PDA image's header became the working PDA header.
  EXPECT_EQ(maker.pdaHeader.entries[0].crc, 0xDEADBEEFu);

  // Split in a new window, into the directory of a widebin chosen there.
  const std::string img = Put("round.img", file);
  ImageMaker splitter;
  splitter.operation = ImageOperation::Split;
  ASSERT_TRUE(splitter.ChooseSource(SourceKind::Widebin, Put("out/any.widebin", {1})).opened);
  splitter.ChooseSource(SourceKind::ImgOrPda, img);
  const MakeResult s = splitter.MakeFile();
  ASSERT_EQ(s.outcome, MakeOutcome::Finished) << s.reason;
  EXPECT_EQ(s.written.size(), 4u);
  EXPECT_EQ(ReadFile(dir / "out/TOVA_Phone.bin"), phone);
  EXPECT_EQ(ReadFile(dir / "out/TOVA_IPL.bin"), ipl);
  EXPECT_EQ(ReadFile(dir / "out/TOVA_Korvan_Release.widebin"), widebin);
  EXPECT_EQ(ReadFile(dir / "out/TOVA_Resource.bin"), resource);
  EXPECT_EQ(splitter.unitedHeader.entries[1].crc, 0xDEADBEEFu);
}

TEST_F(ImageMakerTest, SplitOfAPdaImageWritesThreeFilesIntoTheCurrentDirectory) {
  const uint32_t crcs[3] = {1, 2, 3};
  const std::string pda = Put("image.pda", PdaImage(crcs));
  maker.operation = ImageOperation::Split;
  maker.ChooseSource(SourceKind::ImgOrPda, pda);
  MakeResult r;
  {
    CurrentDirectory cwd(dir / "out");
    r = maker.MakeFile();
  }
  ASSERT_EQ(r.outcome, MakeOutcome::Finished) << r.reason;
  EXPECT_EQ(r.written, (std::vector<std::string>{"TOVA_IPL.bin", "TOVA_Korvan_Release.widebin",
                                                 "TOVA_Resource.bin"}));
  EXPECT_EQ(ReadFile(dir / "out/TOVA_IPL.bin"), ipl);
  EXPECT_EQ(ReadFile(dir / "out/TOVA_Korvan_Release.widebin"), widebin);
  EXPECT_EQ(ReadFile(dir / "out/TOVA_Resource.bin"), resource);
  EXPECT_EQ(maker.pdaHeader.entries[2].crc, 3u);
}

TEST_F(ImageMakerTest, SplitRefusesHostileHeadersAndKeepsExistingFiles) {
  ChooseComponents();
  ASSERT_EQ(maker.MakeImgTo(dir / "good.img").outcome, MakeOutcome::Finished);
  const std::vector<uint8_t> good = ReadFile(dir / "good.img");
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  for (const char* name :
       {"TOVA_Phone.bin", "TOVA_IPL.bin", "TOVA_Korvan_Release.widebin", "TOVA_Resource.bin"})
    WriteFile(dir / (std::string("out/") + name), old);

  auto patched = [&](uint32_t position, uint32_t value) {
    std::vector<uint8_t> f = good;
    WriteU32LE(&f[position], value);
    return f;
  };
  const std::vector<std::pair<std::string, std::vector<uint8_t>>> hostile = {
      {"last entry beyond the end", patched(248, 301)},
      {"offset overflow", patched(244, 0xFFFFFFF0u)},
      {"length overflow", patched(116, 0xFFFFFFFFu)},
      {"header size of a PDA image", patched(0, 212)},
      {"shorter than the header", std::vector<uint8_t>(good.begin(), good.begin() + 255)},
      {"empty", {}},
  };
  for (const auto& [what, bytes] : hostile) {
    ImageMaker splitter;
    splitter.sourcePath[static_cast<int>(SourceKind::Widebin)] = dir / "out/w.widebin";
    splitter.ChooseSource(SourceKind::ImgOrPda, Put("hostile.img", bytes));
    splitter.operation = ImageOperation::Split;
    const MakeResult r = splitter.MakeFile();
    SCOPED_TRACE(what);
    ExpectRefusal(r);
    EXPECT_EQ(splitter.unitedHeader.headerSize, 0u);  // the working header is untouched
    EXPECT_EQ(dir.Names().size(), 7u);  // fw, out, three sources, good.img, hostile.img
    for (const auto& e : std::filesystem::directory_iterator(dir / "out"))
      EXPECT_EQ(ReadFile(e.path().string()), old) << e.path();
  }
  // A PDA image taken for a United Binary by its name is refused as well.
  const uint32_t crcs[3] = {1, 2, 3};
  ImageMaker splitter;
  splitter.ChooseSource(SourceKind::ImgOrPda, Put("really-a-pda.img", PdaImage(crcs)));
  ExpectRefusal(splitter.SplitTo(dir / "out/"));
}

TEST_F(ImageMakerTest, CombineRefusesPdaImagesThatAreNotSound) {
  Choose(SourceKind::Phone, "phone.bin", phone);
  const uint32_t crcs[3] = {1, 2, 3};
  const std::vector<uint8_t> pda = PdaImage(crcs);
  auto patched = [&](uint32_t position, uint32_t value) {
    std::vector<uint8_t> f = pda;
    WriteU32LE(&f[position], value);
    return f;
  };
  const std::vector<std::pair<std::string, std::vector<uint8_t>>> bad = {
      {"shorter than its header", std::vector<uint8_t>(pda.begin(), pda.begin() + 211)},
      {"empty", {}},
      {"United Binary header size", patched(0, 256)},
      {"total size beyond the file", patched(76, 813)},
      {"total size below the header", patched(76, 100)},
      {"pieces beyond the total size", patched(204, 301)},
      {"components not one after another", patched(156, ReadU32LE(&pda[156]) + 1)},
      {"first component not right after the header", patched(112, 213)},
  };
  const ImageHeader before = maker.pdaHeader;
  for (const auto& [what, bytes] : bad) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(maker.ChooseSource(SourceKind::PdaData, Put("bad.pda", bytes)).opened);
    ExpectRefusal(maker.CombineTo(dir / "out/c.img"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
    EXPECT_EQ(WriteImageHeader(maker.pdaHeader, 3), WriteImageHeader(before, 3));
  }
}

TEST_F(ImageMakerTest, AnOutputWrittenOverKeepsItsPermissions) {
  if (!test::FilesHavePermissionBits()) GTEST_SKIP() << "no permission bits";
  ChooseComponents();
  const std::string out = dir / "out/x.img";
  WriteFile(out, {'o', 'l', 'd'});
  using std::filesystem::perms;
  const perms mode = perms::owner_read | perms::owner_write | perms::group_read;
  std::filesystem::permissions(out, mode);
  const MakeResult r = maker.MakeImgTo(out);
  ASSERT_EQ(r.outcome, MakeOutcome::Finished) << r.reason;
  EXPECT_EQ(std::filesystem::status(out).permissions(), mode);
  EXPECT_GT(std::filesystem::file_size(out), 3u);
}

TEST_F(ImageMakerTest, SourcesThatChangedOrVanishedLeaveNoOutputAndKeepTheOldOne) {
  ChooseComponents();
  const std::string out = dir / "out/x.img";
  WriteFile(out, {'o', 'l', 'd'});

  // Shorter than when it was chosen.
  WriteFile(dir / "res.bin", std::vector<uint8_t>(resource.begin(), resource.begin() + 299));
  ExpectRefusal(maker.MakeImgTo(out));
  EXPECT_EQ(ReadFile(out), (std::vector<uint8_t>{'o', 'l', 'd'}));

  // Same length, other bytes: the recorded CRC would be a lie.
  std::vector<uint8_t> altered = resource;
  altered[150] ^= 1;
  WriteFile(dir / "res.bin", altered);
  ExpectRefusal(maker.MakeImgTo(out));

  // Longer: the recorded length of the original bytes is still copied.
  std::vector<uint8_t> longer = resource;
  longer.push_back(0xEE);
  WriteFile(dir / "res.bin", longer);
  ASSERT_EQ(maker.MakeImgTo(out).outcome, MakeOutcome::Finished);
  EXPECT_EQ(ReadFile(out).size(), 920u);

  // A source that no longer opens stops the operation without a message.
  WriteFile(out, {'o', 'l', 'd'});
  std::filesystem::remove(dir / "ipl.bin");
  const MakeResult r = maker.MakeImgTo(out);
  EXPECT_EQ(r.outcome, MakeOutcome::Stopped);
  EXPECT_NE(r.reason.find("ipl.bin"), std::string::npos);
  EXPECT_EQ(ReadFile(out), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(Entries(dir / "out"), std::set<std::string>{"x.img"});
}

TEST_F(ImageMakerTest, TakenSourcesGetTheirCrcWhileTheyAreCopied) {
  ASSERT_TRUE(maker.TakeSource(SourceKind::Phone, Put("phone.bin", phone)).opened);
  ASSERT_TRUE(maker.TakeSource(SourceKind::Ipl, Put("ipl.bin", ipl)).opened);
  ASSERT_TRUE(maker.TakeSource(SourceKind::Widebin, Put("fw/w.widebin", widebin)).opened);
  ASSERT_TRUE(maker.TakeSource(SourceKind::Resource, Put("res.bin", resource)).opened);
  EXPECT_EQ(maker.pdaHeader.entries[1].length, 200u);
  EXPECT_EQ(TextField(maker.pdaHeader.entries[1].sourceStamp), "[Date]:24/03/05-06:07:08    ");
  EXPECT_EQ(maker.sourceText[1].find("[CRC]"), std::string::npos);

  ASSERT_EQ(maker.MakeImgTo(dir / "t.img").outcome, MakeOutcome::Finished);
  const std::vector<uint8_t> file = ReadFile(dir / "t.img");
  const std::vector<uint8_t>* parts[4] = {&phone, &ipl, &widebin, &resource};
  for (int k = 0; k < 4; ++k)
    EXPECT_EQ(ReadU32LE(&file[120 + 44 * k]), Crc32(parts[k]->data(), 0, parts[k]->size())) << k;
  // The CRCs learnt are recorded, and now guard the sources like chosen ones.
  EXPECT_EQ(maker.pdaHeader.entries[2].crc, Crc32(resource.data(), 0, resource.size()));
  ASSERT_EQ(maker.MakePdaTo(dir / "t.pda").outcome, MakeOutcome::Finished);
  std::vector<uint8_t> altered = resource;
  altered[0] ^= 1;
  WriteFile(dir / "res.bin", altered);
  ExpectRefusal(maker.MakePdaTo(dir / "t.pda"));

  // A taken source that does not open is not chosen, as with the dialog.
  const SourceInfo missing = maker.TakeSource(SourceKind::Ipl, dir / "missing.bin");
  EXPECT_FALSE(missing.opened);
  EXPECT_FALSE(missing.error.empty());
  EXPECT_FALSE(maker.chosen[1]);
  ExpectMessage(maker.MakePdaTo(dir / "t.pda"), "Files not selected", MessageButtons::OkCancel);
}

TEST_F(ImageMakerTest, OutputsOverAnInputOrWhatIsNotAPlainFileAreRefusedUntouched) {
  ChooseComponents();
  const std::string united = dir / "out/TOVA_Resource.bin";  // a container named like a part
  ASSERT_EQ(maker.MakeImgTo(united).outcome, MakeOutcome::Finished);
  const std::string target = Put("target.pda", {1, 2, 3});
  // Where the platform has no FIFOs (or may not make links) those cases go.
  const bool link = test::MakeSymlink(target, dir / "link.pda");
  const bool fifo = test::MakeFifo(dir / "fifo.pda");
  struct Case {
    const char* what;
    std::function<MakeResult()> run;
    std::string kept;  // a file that must stay as it was
  };
  std::vector<Case> cases = {
      {"an input", [&] { return maker.MakePdaTo(dir / "ipl.bin"); }, dir / "ipl.bin"},
      {"the file split",
       [&] {
         maker.sourcePath[static_cast<int>(SourceKind::ImgOrPda)] = united;
         maker.unitedBinary = true;
         return maker.SplitTo(dir / "out/");
       },
       united},
  };
  if (link)
    cases.push_back(
        {"a link to a file", [&] { return maker.MakePdaTo(dir / "link.pda"); }, target});
  if (fifo) cases.push_back({"a FIFO", [&] { return maker.MakeImgTo(dir / "fifo.pda"); }, target});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<uint8_t> before = ReadFile(c.kept);
    const std::set<std::string> entries = Entries(dir.Path()), outEntries = Entries(dir / "out");
    ExpectRefusal(c.run());
    EXPECT_EQ(ReadFile(c.kept), before);
    EXPECT_EQ(Entries(dir.Path()), entries);
    EXPECT_EQ(Entries(dir / "out"), outEntries);
  }
  EXPECT_EQ(std::filesystem::is_symlink(dir / "link.pda"), link);
  EXPECT_EQ(std::filesystem::is_fifo(dir / "fifo.pda"), fifo);
}

TEST_F(ImageMakerTest, UnusableOutputsAndOverlongPathsWriteNothing) {
  ChooseComponents();
  const MakeResult stopped = maker.MakeImgTo(dir / "no/such/dir/x.img");
  EXPECT_EQ(stopped.outcome, MakeOutcome::Stopped);
  EXPECT_FALSE(stopped.reason.empty());

  maker.fileName = std::string(300 - (dir / "fw/").size(), 'n');
  ExpectRefusal(maker.MakeFile());
  EXPECT_EQ(Entries(dir / "fw"), std::set<std::string>{"w.widebin"});
  // Exactly 255 characters is allowed.
  maker.fileName = std::string(255 - (dir / "fw/").size() - 4, 'n');
  const MakeResult longest = maker.MakeFile();
  EXPECT_EQ(longest.outcome, MakeOutcome::Finished) << longest.reason;
}

TEST_F(ImageMakerTest, ComponentsLargerThanTheWorkBufferAreRefused) {
  ChooseComponents();
  const std::string big = dir / "big.bin";
  WriteFile(big, {});
  std::filesystem::resize_file(big, kWorkBufferSize + 1);  // reads as zeros
  ASSERT_TRUE(maker.ChooseSource(SourceKind::Resource, big).opened);
  ExpectRefusal(maker.MakeImgTo(dir / "out/x.img"));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));

  Choose(SourceKind::Phone, "phone.bin", phone);
  ASSERT_TRUE(maker.ChooseSource(SourceKind::PdaData, big).opened);
  ExpectRefusal(maker.CombineTo(dir / "out/x.img"));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
}

TEST_F(ImageMakerTest, EmptyComponentAndLongVersionText) {
  resource.clear();
  ChooseComponents(false);
  maker.version = std::string(40, 'V');
  ASSERT_EQ(maker.MakePdaTo(dir / "e.pda").outcome, MakeOutcome::Finished);
  const std::vector<uint8_t> file = ReadFile(dir / "e.pda");
  ASSERT_EQ(file.size(), 512u);
  EXPECT_EQ(At(file, 12), std::string(31, 'V'));
  EXPECT_EQ(ReadU32LE(&file[200]), 512u);  // offset of the empty resource: the end
  EXPECT_EQ(ReadU32LE(&file[204]), 0u);
  EXPECT_EQ(ReadU32LE(&file[208]), 0u);

  maker.ChooseSource(SourceKind::ImgOrPda, dir / "e.pda");
  const MakeResult r = maker.SplitTo(dir / "out/");
  ASSERT_EQ(r.outcome, MakeOutcome::Finished) << r.reason;
  EXPECT_TRUE(ReadFile(dir / "out/TOVA_Resource.bin").empty());
  EXPECT_TRUE(std::filesystem::exists(dir / "out/TOVA_Resource.bin"));
}

TEST(BuildStamp, TwoDigitFieldsFromDateAndTime) {
  EXPECT_EQ(FormatBuildStamp({2009, 1, 2, 0, 0, 0}, {2030, 9, 9, 3, 4, 5}), "09/01/02-03:04:05");
  EXPECT_EQ(FormatBuildStamp({1999, 12, 31, 0, 0, 0}, {0, 1, 1, 23, 59, 59}), "99/12/31-23:59:59");
  EXPECT_EQ(FormatBuildStamp({2000, 1, 1, 0, 0, 0}, {}).size(), 17u);
}

}  // namespace
}  // namespace k730
