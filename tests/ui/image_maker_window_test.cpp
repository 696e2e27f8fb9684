// The Image Maker window driven as an operator would: operations, source
// buttons, file dialogs (scripted), Make File, and the files it writes.
#include <QDateEdit>
#include <QDir>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeEdit>

#include "image/demo_components.h"
#include "image/image_formats.h"
#include "ui/image_maker_window.h"
#include "ui/ui_style.h"
#include "ui_test_support.h"

using namespace k730;
using namespace k730::ui;
using namespace k730::ui::test;

namespace {

constexpr int kSourceIds[] = {imc::kPhone,    imc::kIpl,     imc::kWidebin,
                              imc::kResource, imc::kPdaData, imc::kImgOrPda};

// Waits for the source read or the operation a click started.
bool WaitIdle(ImageMakerWindow& window) {
  return QTest::qWaitFor([&] { return !window.Busy(); }, 20000);
}

void ClickSource(ImageMakerWindow& window, int id) {
  QTest::mouseClick(Control<QPushButton>(&window, id), Qt::LeftButton);
  QVERIFY(WaitIdle(window));
}

void ClickOperation(ImageMakerWindow& window, int id) {
  QTest::mouseClick(Control<QRadioButton>(&window, id), Qt::LeftButton);
}

ImageHeader ReadHeader(const QString& path, int entries) {
  const QByteArray bytes = ReadAll(path);
  ImageHeader header;
  ReadImageHeader(reinterpret_cast<const uint8_t*>(bytes.constData()),
                  static_cast<size_t>(bytes.size()), entries, header);
  return header;
}

}  // namespace

class ImageMakerWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString Path(const QString& name) const { return dir_.filePath(name); }

  // The four components, small, in the temporary folder.
  void WriteComponents() {
    std::string error;
    QVERIFY2(WriteDemoComponents(dir_.path().toStdString(), 0.05, error), error.c_str());
  }

  // Chooses the four component sources of Make img file.
  void ChooseComponents(ImageMakerWindow& window, ScriptedFileDialogs& dialogs) {
    dialogs.Answer(Path(kDemoPhoneName));
    ClickSource(window, imc::kPhone);
    dialogs.Answer(Path(kDemoIplName));
    ClickSource(window, imc::kIpl);
    dialogs.Answer(Path(kDemoWidebinName));
    ClickSource(window, imc::kWidebin);
    dialogs.Answer(Path(kDemoResourceName));
    ClickSource(window, imc::kResource);
  }

  // The expected source layout, as the operator sees it.
  static void CheckLayout(ImageMakerWindow& window, const char* shown, const char* enabled) {
    for (int k = 0; k < 6; ++k) {
      auto* button = Control<QPushButton>(&window, kSourceIds[k]);
      QVERIFY(button);
      QCOMPARE(button->isVisibleTo(&window), shown[k] == '1');
      QCOMPARE(button->isEnabled(), enabled[k] == '1');
    }
  }

 private Q_SLOTS:
  void initTestCase() { QVERIFY(dir_.isValid()); }

  void opensWithOperationZeroAndDefaults() {
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMakerWindow window(dialogs, prompt);
    window.show();
    QCOMPARE(window.windowTitle(), QStringLiteral("KRV Image Maker"));
    QVERIFY(Control<QRadioButton>(&window, imc::kMakeImg)->isChecked());
    CheckLayout(window, "111100", "111100");
    QCOMPARE(Control<QLineEdit>(&window, imc::kVersion)->text(), QStringLiteral("10"));
    QCOMPARE(Control<QLineEdit>(&window, imc::kFileName)->text(),
             QStringLiteral("TOVA_Korvan_release"));
    QCOMPARE(Control<QDateEdit>(&window, imc::kDate)->date(), QDate::currentDate());
    QCOMPARE(Control<QPushButton>(&window, imc::kMakeFile)->text(), QStringLiteral("&Make File"));
    QVERIFY(Control<QPushButton>(&window, imc::kMakeFile)->isDefault());
    QCOMPARE(Control<QPushButton>(&window, imc::kCancel)->text(), QStringLiteral("Cancel"));
    QCOMPARE(Control<QPushButton>(&window, imc::kPhone)->text(), QStringLiteral("&Phone Binary"));
    QCOMPARE(Control<QPushButton>(&window, imc::kImgOrPda)->text(),
             QStringLiteral("IM&G or PDA File"));
    QCOMPARE(Control<QRadioButton>(&window, imc::kCombine)->text(),
             QStringLiteral("&3.Combine Phone+pda file"));
  }

  void controlsSitAtTheirDialogUnitPositions() {
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMakerWindow window(dialogs, prompt);
    const DialogUnits du(window.font());
    QCOMPARE(window.size(), du.Size(307, 232));
    QCOMPARE(Control<QPushButton>(&window, imc::kPhone)->geometry(), du.Rect(121, 9, 178, 49));
    QCOMPARE(Control<QPushButton>(&window, imc::kPdaData)->geometry(), du.Rect(122, 65, 178, 50));
    QCOMPARE(Control<QPushButton>(&window, imc::kImgOrPda)->geometry(), du.Rect(121, 11, 178, 50));
    QCOMPARE(Control<QPushButton>(&window, imc::kCancel)->geometry(), du.Rect(67, 198, 45, 26));
    QCOMPARE(Control<QLineEdit>(&window, imc::kFileName)->geometry(), du.Rect(6, 176, 108, 15));
    auto* groupBox = window.findChild<QGroupBox*>();
    const QRect group = groupBox->geometry();
    QCOMPARE(group.topLeft(), du.Rect(4, 10, 105, 71).topLeft());
    QCOMPARE(group.height(), du.Y(71));
    QVERIFY(group.width() >= du.X(105));
    // Captions are not cut: each radio is as wide as its text needs, and
    // stands below the group's title, inside its frame.
    window.show();
    const QRect inside(groupBox->mapTo(&window, groupBox->contentsRect().topLeft()),
                       groupBox->contentsRect().size());
    for (int id : {imc::kMakeImg, imc::kMakePda, imc::kCombine, imc::kSplit}) {
      auto* radio = Control<QRadioButton>(&window, id);
      QVERIFY(radio->width() >= radio->sizeHint().width());
      const QRect place(radio->mapTo(&window, QPoint(0, 0)), radio->size());
      QVERIFY2(inside.contains(place), qPrintable(radio->text()));
    }
    // Every control lies inside the window.
    for (QWidget* child : window.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
      QVERIFY2(window.rect().contains(child->geometry()), qPrintable(child->objectName()));
  }

  void sourceLayoutFollowsTheOperation() {
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMakerWindow window(dialogs, prompt);
    window.show();
    ClickOperation(window, imc::kMakePda);
    CheckLayout(window, "111100", "011100");
    ClickOperation(window, imc::kCombine);
    CheckLayout(window, "100010", "100010");
    ClickOperation(window, imc::kSplit);
    CheckLayout(window, "000001", "000001");
    ClickOperation(window, imc::kMakeImg);
    CheckLayout(window, "111100", "111100");
  }

  void eachSourceOpensItsFilter() {
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMakerWindow window(dialogs, prompt);
    window.show();
    for (int id : {imc::kPhone, imc::kIpl, imc::kWidebin, imc::kResource}) ClickSource(window, id);
    ClickOperation(window, imc::kCombine);
    ClickSource(window, imc::kPdaData);
    ClickOperation(window, imc::kSplit);
    ClickSource(window, imc::kImgOrPda);
    QCOMPARE(dialogs.requests.size(), size_t{6});
    const char* expected[] = {
        "Phone binary(*.BIN)|*.BIN|*.*|*.*||",
        "IPL binary(*.BIN)|*.BIN|*.*|*.*||",
        "Widebin(*.Widebin)|*.Widebin|*.*|*.*||",
        "TOVA_Resource (*.BIN)|*.BIN|*.*|*.*||",
        "TOVA_Korvan_Release (*.pda)|*.pda|*.*|*.*||",
        "United Binary  (*.img)|*.img|United Binary  (*.pda)|*.pda||",
    };
    for (int k = 0; k < 6; ++k) QCOMPARE(dialogs.requests[k].pipeFilter, std::string(expected[k]));
    const std::vector<FileFilter> phone{{QStringLiteral("Phone binary(*.BIN)"), {"*.BIN"}},
                                        {QStringLiteral("*.*"), {"*"}}};
    QVERIFY(dialogs.requests[0].filters == phone);
    QVERIFY(dialogs.requests[0].initialName.isEmpty());
    // Cancelled dialogs change nothing.
    QCOMPARE(Control<QPushButton>(&window, imc::kImgOrPda)->text(),
             QStringLiteral("IM&G or PDA File"));
    QVERIFY(!window.Maker().IsChosen(SourceKind::Phone));
  }

  void chosenSourceShowsItsTextAndSurvivesOperationChanges() {
    WriteComponents();
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMakerWindow window(dialogs, prompt);
    window.show();
    ClickOperation(window, imc::kCombine);
    dialogs.Answer(Path(kDemoPhoneName));
    ClickSource(window, imc::kPhone);
    auto* phone = static_cast<SourceButton*>(Control<QPushButton>(&window, imc::kPhone));
    const QString text = phone->InfoText();
    QVERIFY2(text.startsWith(QStringLiteral("Phonem binary\r\n[File]:") + Path(kDemoPhoneName) +
                             QStringLiteral("\r\n[Size]:2097152 bytes    [Date]:")),
             qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("[CRC]:")));
    QVERIFY(window.Maker().IsChosen(SourceKind::Phone));

    ClickOperation(window, imc::kMakeImg);
    QCOMPARE(phone->InfoText(), text);
    ClickOperation(window, imc::kMakePda);
    QVERIFY(phone->isVisible());
    QVERIFY(!phone->isEnabled());
    QVERIFY(window.Maker().IsChosen(SourceKind::Phone));

    // A later choice that does not open shows the error text and unchooses.
    ClickOperation(window, imc::kMakeImg);
    dialogs.Answer(Path(QStringLiteral("missing.bin")));
    ClickSource(window, imc::kPhone);
    QCOMPARE(phone->InfoText(), QStringLiteral("Phone binary\r\n[File]:") +
                                    Path(QStringLiteral("missing.bin")) +
                                    QStringLiteral(" open error!\r\n"));
    QVERIFY(!window.Maker().IsChosen(SourceKind::Phone));
  }

  // A path of about 110 characters: the button still shows the title, the
  // path shortened in its middle, and every figure, each line within the face.
  void aLongSourcePathIsShortenedNotClipped() {
    const QString folder =
        Path(QStringLiteral("a-rather-long-folder-name-for-the-release-candidate-"
                            "of-the-resource/build-0042"));
    const QString path = folder + QStringLiteral("/TOVA_Resource.BIN");
    QVERIFY(QDir().mkpath(folder) && path.size() >= 110 && WriteAll(path, QByteArray(8294, 'r')));
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMakerWindow window(dialogs, prompt);
    window.show();
    dialogs.Answer(path);
    ClickSource(window, imc::kResource);
    auto* button = static_cast<SourceButton*>(Control<QPushButton>(&window, imc::kResource));
    const QStringList lines = button->DisplayLines();
    const QFontMetrics metrics(button->font());
    QVERIFY(lines.size() * metrics.lineSpacing() <= button->TextRect().height());
    for (const QString& line : lines)
      QVERIFY2(metrics.horizontalAdvance(line) <= button->TextRect().width(), qPrintable(line));
    const QString shown = lines.join('\n');
    for (const char* piece : {"Resource data", "[File]:", "TOVA_Resource.BIN", "[Size]:8294 bytes",
                              "[Date]:", "[CRC]:"})
      QVERIFY2(shown.contains(QString::fromLatin1(piece)), piece);
    QVERIFY(!shown.contains(path) && button->toolTip().contains(path));
  }

  void inputWhileASourceIsReadIsIgnoredNotLostLater() {
    WriteComponents();
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMakerWindow window(dialogs, prompt);
    window.show();
    auto* version = Control<QLineEdit>(&window, imc::kVersion);
    dialogs.Answer(Path(kDemoWidebinName));
    QTest::mouseClick(Control<QPushButton>(&window, imc::kWidebin), Qt::LeftButton);
    QVERIFY(window.Busy());  // ends only when the GUI thread hears of it
    QTest::keyClicks(version, QStringLiteral("77"));
    QCOMPARE(version->text(), QStringLiteral("10"));
    QTest::mouseClick(Control<QRadioButton>(&window, imc::kSplit), Qt::LeftButton);
    QVERIFY(!Control<QRadioButton>(&window, imc::kSplit)->isChecked());
    QVERIFY(WaitIdle(window));
    QVERIFY(window.Maker().IsChosen(SourceKind::Widebin));
    QCOMPARE(version->text(), QStringLiteral("10"));
    // Once idle, the controls take input again.
    QTest::keyClicks(version, QStringLiteral("7"));
    QCOMPARE(version->text(), QStringLiteral("107"));
  }

  void makeImgWritesTheUnitedBinaryAndClosesWithOk() {
    WriteComponents();
    QFile::remove(Path(QStringLiteral("TOVA_Korvan_release.img")));
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMakerWindow window(dialogs, prompt);
    window.show();
    ChooseComponents(window, dialogs);
    Control<QDateEdit>(&window, imc::kDate)->setDate(QDate(2025, 3, 4));
    Control<QTimeEdit>(&window, imc::kTime)->setTime(QTime(5, 6, 7));
    QSignalSpy finished(&window, &QDialog::finished);
    QTest::mouseClick(Control<QPushButton>(&window, imc::kMakeFile), Qt::LeftButton);
    QVERIFY(finished.wait(20000));
    QCOMPARE(window.result(), int(QDialog::Accepted));
    QVERIFY(prompt.Records().empty());

    const QString out = Path(QStringLiteral("TOVA_Korvan_release.img"));
    const ImageHeader header = ReadHeader(out, 4);
    QCOMPARE(header.headerSize, 256u);
    QCOMPARE(TextField(header.versionText), std::string("10"));
    QCOMPARE(TextField(header.buildStamp), std::string("25/03/04-05:06:07"));
    QCOMPARE(header.entries[0].length, 2097152u);
    QCOMPARE(header.entries[0].offset, 256u);
    const QByteArray image = ReadAll(out);
    QCOMPARE(qsizetype(header.totalSize), image.size());
    QCOMPARE(image.mid(256, 2097152), ReadAll(Path(kDemoPhoneName)));
    QCOMPARE(image.mid(header.entries[3].offset), ReadAll(Path(kDemoResourceName)));
  }

  void refusalsShowTheirBoxAndKeepTheWindowOpen() {
    WriteComponents();
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMakerWindow window(dialogs, prompt);
    window.show();
    // Three of four sources chosen.
    dialogs.Answer(Path(kDemoIplName));
    ClickSource(window, imc::kIpl);
    dialogs.Answer(Path(kDemoWidebinName));
    ClickSource(window, imc::kWidebin);
    dialogs.Answer(Path(kDemoResourceName));
    ClickSource(window, imc::kResource);
    Control<QLineEdit>(&window, imc::kFileName)->setText(QStringLiteral("refused"));
    QTest::mouseClick(Control<QPushButton>(&window, imc::kMakeFile), Qt::LeftButton);
    QVERIFY(WaitIdle(window));
    QVERIFY(window.isVisible());
    QVERIFY(!QFile::exists(Path(QStringLiteral("refused.img"))));

    Control<QLineEdit>(&window, imc::kFileName)->clear();
    QTest::keyClick(&window, Qt::Key_Return);
    QVERIFY(WaitIdle(window));
    QVERIFY(window.isVisible());

    ClickOperation(window, imc::kSplit);
    Control<QLineEdit>(&window, imc::kFileName)->setText(QStringLiteral("x"));
    dialogs.Answer(Path(QStringLiteral("gone.img")));
    ClickSource(window, imc::kImgOrPda);
    QTest::mouseClick(Control<QPushButton>(&window, imc::kMakeFile), Qt::LeftButton);
    QVERIFY(WaitIdle(window));
    QVERIFY(window.isVisible());

    const std::vector<PromptRecord> records = prompt.Records();
    QCOMPARE(records.size(), size_t{3});
    QCOMPARE(records[0].text, std::string("Files not selected"));
    QVERIFY(records[0].buttons == MessageButtons::OkCancel);
    QCOMPARE(records[1].text, std::string("Make File Name"));
    QVERIFY(records[1].buttons == MessageButtons::OkCancel);
    QCOMPARE(records[2].text, std::string("[ERROR]File Access error!\r\n"));
    QVERIFY(records[2].buttons == MessageButtons::Ok);
  }

  void makePdaThenCombineThenSplitGivesBackEveryComponent() {
    WriteComponents();
    RecordingPrompt prompt;
    {
      ScriptedFileDialogs dialogs;
      ImageMakerWindow window(dialogs, prompt);
      window.show();
      ClickOperation(window, imc::kMakePda);
      dialogs.Answer(Path(kDemoIplName));
      ClickSource(window, imc::kIpl);
      dialogs.Answer(Path(kDemoWidebinName));
      ClickSource(window, imc::kWidebin);
      dialogs.Answer(Path(kDemoResourceName));
      ClickSource(window, imc::kResource);
      Control<QLineEdit>(&window, imc::kFileName)->setText(QStringLiteral("made"));
      QSignalSpy finished(&window, &QDialog::finished);
      QTest::mouseClick(Control<QPushButton>(&window, imc::kMakeFile), Qt::LeftButton);
      QVERIFY(finished.wait(20000));
      QCOMPARE(window.result(), int(QDialog::Accepted));
      QCOMPARE(ReadHeader(Path(QStringLiteral("made.pda")), 3).headerSize, 212u);
    }
    QTemporaryDir out;
    {
      // Combine, with no WIDEBIN chosen: the output goes where the dialogs left off.
      ScriptedFileDialogs dialogs;
      ImageMakerWindow window(dialogs, prompt);
      window.show();
      ClickOperation(window, imc::kCombine);
      dialogs.Answer(Path(kDemoPhoneName));
      ClickSource(window, imc::kPhone);
      dialogs.Answer(Path(QStringLiteral("made.pda")));
      ClickSource(window, imc::kPdaData);
      dialogs.SetCurrentDirectory(out.path());
      Control<QLineEdit>(&window, imc::kFileName)->setText(QStringLiteral("combined"));
      QSignalSpy finished(&window, &QDialog::finished);
      QTest::mouseClick(Control<QPushButton>(&window, imc::kMakeFile), Qt::LeftButton);
      QVERIFY(finished.wait(20000));
      QCOMPARE(window.result(), int(QDialog::Accepted));
      QVERIFY(QFile::exists(out.filePath(QStringLiteral("combined.img"))));
    }
    {
      ScriptedFileDialogs dialogs;
      ImageMakerWindow window(dialogs, prompt);
      window.show();
      ClickOperation(window, imc::kSplit);
      dialogs.Answer(out.filePath(QStringLiteral("combined.img")));
      ClickSource(window, imc::kImgOrPda);
      QVERIFY(Control<SourceButton>(&window, imc::kImgOrPda)
                  ->InfoText()
                  .startsWith(QStringLiteral("IMG data\r\n")));
      QSignalSpy finished(&window, &QDialog::finished);
      QTest::mouseClick(Control<QPushButton>(&window, imc::kMakeFile), Qt::LeftButton);
      QVERIFY(finished.wait(20000));
      QCOMPARE(window.result(), int(QDialog::Accepted));
    }
    QCOMPARE(ReadAll(out.filePath(QStringLiteral("TOVA_Phone.bin"))),
             ReadAll(Path(kDemoPhoneName)));
    QCOMPARE(ReadAll(out.filePath(QStringLiteral("TOVA_IPL.bin"))), ReadAll(Path(kDemoIplName)));
    QCOMPARE(ReadAll(out.filePath(QStringLiteral("TOVA_Korvan_Release.widebin"))),
             ReadAll(Path(kDemoWidebinName)));
    QCOMPARE(ReadAll(out.filePath(QStringLiteral("TOVA_Resource.bin"))),
             ReadAll(Path(kDemoResourceName)));
    QVERIFY(prompt.Records().empty());
  }

  void splitOfAPdaImageWritesThreeFiles() {
    WriteComponents();
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMaker maker;
    maker.ChooseSource(SourceKind::Ipl, Path(kDemoIplName).toStdString());
    maker.ChooseSource(SourceKind::Widebin, Path(kDemoWidebinName).toStdString());
    maker.ChooseSource(SourceKind::Resource, Path(kDemoResourceName).toStdString());
    QTemporaryDir out;
    const QString pda = out.filePath(QStringLiteral("image.pda"));
    QVERIFY(maker.MakePdaTo(pda.toStdString()).outcome == MakeOutcome::Finished);

    ImageMakerWindow window(dialogs, prompt);
    window.show();
    ClickOperation(window, imc::kSplit);
    dialogs.Answer(pda);
    ClickSource(window, imc::kImgOrPda);
    QVERIFY(Control<SourceButton>(&window, imc::kImgOrPda)
                ->InfoText()
                .startsWith(QStringLiteral("PDA data\r\n")));
    QSignalSpy finished(&window, &QDialog::finished);
    QTest::mouseClick(Control<QPushButton>(&window, imc::kMakeFile), Qt::LeftButton);
    QVERIFY(finished.wait(20000));
    QVERIFY(!QFile::exists(out.filePath(QStringLiteral("TOVA_Phone.bin"))));
    QCOMPARE(ReadAll(out.filePath(QStringLiteral("TOVA_Korvan_Release.widebin"))),
             ReadAll(Path(kDemoWidebinName)));
    QCOMPARE(ReadAll(out.filePath(QStringLiteral("TOVA_Resource.bin"))),
             ReadAll(Path(kDemoResourceName)));
  }

  void cancelClosesWithoutWriting() {
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMakerWindow window(dialogs, prompt);
    window.show();
    QSignalSpy finished(&window, &QDialog::finished);
    QTest::mouseClick(Control<QPushButton>(&window, imc::kCancel), Qt::LeftButton);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(window.result(), int(QDialog::Rejected));
    QVERIFY(prompt.Records().empty());
  }
};

QTEST_MAIN(ImageMakerWindowTest)
#include "image_maker_window_test.moc"
