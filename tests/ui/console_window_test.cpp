// The console window over the real console core, with scripted platforms:
// its controls, the device modes, Browse, dropping, the log panes, progress,
// the utility windows, exit and OK, and the event loop during the console's
// long waits.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QUrl>
#include <functional>

#include "console/console_ids.h"
#include "console/downloader_dialog.h"
#include "console/job_rules.h"
#include "console_fakes.h"
#include "core/clock.h"
#include "image/demo_components.h"
#include "ui/about_dialog.h"
#include "ui/console_window.h"
#include "ui/image_maker_window.h"
#include "ui/mode_switch_window.h"
#include "ui/ui_style.h"
#include "ui_test_support.h"

using namespace k730;
using namespace k730::ui;
using namespace k730::ui::test;

namespace {

constexpr int kWait = 20000;  // a bound for faults, not a timing requirement

// One console: the window, scripted platforms and the console core on its thread.
struct Rig {
  explicit Rig(std::vector<int> ports = {5, 6, 7})
      : window(dialogs), phone(std::move(ports)), console(window, phone, pda, Options()) {
    window.Prompt().SetRunner([this](QWidget*, const MessageBoxRequest& request) {
      boxes.push_back(request.text.toStdString());
      return NegativeAnswer(request.buttons);
    });
    window.OnConsoleOpened([this] { opened = true; });
    window.StartConsole(console);
    window.show();
  }
  ~Rig() { window.StopConsole(); }

  static DownloaderDialog::Options Options() {
    DownloaderDialog::Options options;
    options.writeRunRecords = false;
    options.stagingDirectory = QDir::tempPath().toStdString();
    return options;
  }

  template <class T = QWidget>
  T* Get(int id) {
    return Control<T>(&window, id);
  }
  QString PaneText(int slot) { return Get<LogPane>(ctl::kLogPane[slot])->Text(); }
  // Slot 0 of a PDA run has not yet reached the end of the wait before its port opens.
  bool WaitingForThePdaPort() {
    return !QString::fromStdString(console.SlotText(0))
                .contains(QStringLiteral("Please Reconnect USB cable"));
  }

  ScriptedFileDialogs dialogs;
  ConsoleWindow window;
  FakePhonePlatform phone;
  FakePdaPlatform pda;
  DownloaderDialog console;
  std::vector<std::string> boxes;
  bool opened = false;
};

// Runs act on the next modal window once it is up (a modal window runs its
// own loop, so the test continues from a timer).
void WhenModal(std::function<void(QWidget*)> act) {
  QTimer::singleShot(0, [act] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      act(modal);
    } else {
      WhenModal(act);
    }
  });
}

QString Caption(QWidget* widget) {
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  return {};
}

}  // namespace

class ConsoleWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;

  // A [PDA]Resource run, from the opening up to the console's 8-second wait
  // before slot 0's Palm port opens (its line in the pane).
  void GoIntoThePdaPortWait(Rig& rig) {
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    const QString image = dir_.filePath(QStringLiteral("resource.bin"));
    QVERIFY(WriteAll(image, QByteArray(4096, 'r')));
    QTest::mouseClick(rig.Get(ctl::kDevicePda), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Get(ctl::kPdaResource)->isEnabled(), kWait);
    QTest::mouseClick(rig.Get(ctl::kPdaResource), Qt::LeftButton);
    rig.dialogs.Answer(image);
    QTest::mouseClick(rig.Get(ctl::kBrowse), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Get<QLineEdit>(ctl::kPath)->text(), image, kWait);
    QTest::mouseClick(rig.Get(ctl::kGo), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(rig.PaneText(0).contains(QStringLiteral("Start PDA Download")), kWait);
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    qputenv("K730_SETTINGS_FILE", dir_.filePath(QStringLiteral("settings.ini")).toLocal8Bit());
  }

  void opensWithEveryControlInItsState() {
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    QCOMPARE(rig.window.windowTitle(), QStringLiteral("k730 Multi-Downloader (Beta 7.0)"));

    const std::pair<int, const char*> captions[] = {
        {1007, "PDA+PHONE"},     {1006, "PHONE "},
        {1005, "PDA "},          {1135, "Select Com Port"},
        {1008, "[PH]Normal"},    {1009, "[PH]Emergency"},
        {1010, "[PH]Ch.Normal"}, {1011, "[PH]Ch.Emergency"},
        {1048, "[PH]Skip"},      {1012, "[PDA]smallrom"},
        {1013, "[PDA]BigRom"},   {1019, "[PDA]Resource"},
        {1021, "[PDA]ALL"},      {1020, "[PDA]DFormat"},
        {1024, "[PDA]Widebin"},  {1022, "[PDA]Bigrom"},
        {1050, "[PDA]Skip"},     {1023, "&Browser"},
        {1015, "&Modem Ports"},  {1016, "&Device Manager"},
        {1017, "&Image Maker"},  {1018, "Configuration"},
        {1031, "Save Log"},      {1118, "&Go"},
        {1119, "Close"},         {2, "exit"}};
    for (const auto& [id, caption] : captions) {
      QWidget* control = rig.Get(id);
      QVERIFY2(control, qPrintable(QString::number(id)));
      QCOMPARE(Caption(control), QString::fromUtf8(caption));
    }
    for (int id : {1001, 1133, 1136, 1117, 1120, 1121, 1122, 1123, 1124, 1101, 1102,
                   1103, 1104, 1105, 1106, 1081, 1082, 1083, 1085, 1087, 1088})
      QVERIFY2(rig.Get(id) && rig.Get(id)->isVisible(), qPrintable(QString::number(id)));

    // Hidden and disabled from the start, the two spare positions included.
    for (int id : {1018, 1031, 1119, 1125, 1126, 1107, 1108, 1089, 1090}) {
      QVERIFY2(rig.Get(id), qPrintable(QString::number(id)));
      QVERIFY2(!rig.Get(id)->isVisible(), qPrintable(QString::number(id)));
      QVERIFY2(!rig.Get(id)->isEnabled(), qPrintable(QString::number(id)));
    }
    QVERIFY(!rig.Get(1012)->isVisible());
    QVERIFY(!rig.Get(1013)->isVisible());
    for (int id : ctl::kStatusBox) QVERIFY(!rig.Get(id)->isEnabled());
    QVERIFY(!rig.Get(ctl::kPortEdit)->isEnabled());
    QVERIFY(!rig.Get(ctl::kPdaDFormat)->isEnabled());  // PDA+PHONE
    QVERIFY(rig.Get(ctl::kGo)->isEnabled());

    // The job the console opens with.
    QVERIFY(rig.Get<QRadioButton>(ctl::kDevicePdaPhone)->isChecked());
    QVERIFY(rig.Get<QRadioButton>(ctl::kPhSkip)->isChecked());
    QVERIFY(rig.Get<QRadioButton>(ctl::kPdaSkip)->isChecked());

    // Banners in the live slots only.
    const QString banner =
        QStringLiteral("KRV USB Downloader with PalmDriver\n----------------------------------\n");
    for (int slot = 0; slot < 3; ++slot) QCOMPARE(rig.PaneText(slot), banner);
    for (int slot = 3; slot < 6; ++slot) QVERIFY(rig.PaneText(slot).isEmpty());

    // No default push button.
    for (QPushButton* button : rig.window.findChildren<QPushButton*>())
      QVERIFY2(!button->isDefault(), qPrintable(button->objectName()));

    // Six slots: two columns, three rows, slot 0 top left.
    auto at = [&](int slot) {
      QWidget* pane = rig.Get(ctl::kLogPane[slot]);
      return pane->mapTo(&rig.window, QPoint(0, 0));
    };
    for (int row = 0; row < 3; ++row) {
      QCOMPARE(at(2 * row).y(), at(2 * row + 1).y());
      QVERIFY(at(2 * row).x() < at(2 * row + 1).x());
      if (row > 0) QVERIFY(at(2 * row).y() > at(2 * row - 2).y());
    }
    QVERIFY(rig.window.width() >= DialogUnits(rig.window.font()).X(367));
  }

  void deviceModesShowAndHideTheirControls() {
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    // Controls the device mode hides keep their place: the panes do not move.
    auto places = [&] {
      rig.window.layout()->activate();
      std::vector<QRect> rects;
      for (int id : ctl::kLogPane)
        rects.emplace_back(rig.Get(id)->mapTo(&rig.window, QPoint()), rig.Get(id)->size());
      return rects;
    };
    const std::vector<QRect> before = places();
    QTest::mouseClick(rig.Get(ctl::kDevicePhone), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Get(ctl::kPdaAll)->isEnabled(), kWait);
    QVERIFY(places() == before);
    for (int id : ctl::kPhoneRadios) QVERIFY(rig.Get(id)->isEnabled());
    QVERIFY(!rig.Get(ctl::kPdaDFormat)->isEnabled());
    QVERIFY(rig.Get(ctl::kPortEdit)->isVisibleTo(&rig.window));
    for (int slot = 1; slot < 3; ++slot) {
      QVERIFY(!rig.Get(ctl::kLogPane[slot])->isEnabled());
      QVERIFY(!rig.Get(ctl::kStatusBox[slot])->isVisibleTo(&rig.window));
      QVERIFY(!rig.Get(ctl::kProgressBar[slot])->isVisibleTo(&rig.window));
    }
    QVERIFY(rig.Get(ctl::kLogPane[0])->isEnabled());
    QVERIFY(rig.Get(ctl::kProgressBar[0])->isVisible());

    QTest::mouseClick(rig.Get(ctl::kDevicePda), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Get(ctl::kPdaDFormat)->isEnabled(), kWait);
    for (int id : ctl::kPhoneRadios) QVERIFY(!rig.Get(id)->isEnabled());
    for (int id : {ctl::kPortLabel, ctl::kPortEdit, ctl::kPortSpin})
      QVERIFY(!rig.Get(id)->isVisibleTo(&rig.window));
    QVERIFY(!rig.Get(1012)->isVisibleTo(&rig.window));  // enabled or not, never shown
    QVERIFY(places() == before);

    QTest::mouseClick(rig.Get(ctl::kDevicePdaPhone), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Get(ctl::kPortEdit)->isVisibleTo(&rig.window), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Get(ctl::kProgressBar[2])->isVisibleTo(&rig.window), kWait);
    QVERIFY(!rig.Get(ctl::kPdaDFormat)->isEnabled());
    for (int slot = 1; slot < 3; ++slot) QVERIFY(rig.Get(ctl::kLogPane[slot])->isEnabled());
    // A device change empties the path.
    QVERIFY(rig.Get<QLineEdit>(ctl::kPath)->text().isEmpty());
  }

  void browseOpensTheJobsDialogAndShowsTheChoice() {
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    const QString image = dir_.filePath(QStringLiteral("job.img"));
    QVERIFY(WriteAll(image, QByteArray(1000, 'x')));
    rig.dialogs.Answer(image);
    QTest::mouseClick(rig.Get(ctl::kBrowse), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Get<QLineEdit>(ctl::kPath)->text(), image, kWait);
    QCOMPARE(rig.dialogs.requests.size(), size_t{1});
    const OpenFileRequest& request = rig.dialogs.requests[0];
    QCOMPARE(request.pipeFilter,
             std::string("United Binary  (*.img)|*.img|United Binary  (*.k760)|*.k760|All Files "
                         "(*.*)|*.*||"));
    QCOMPARE(request.filters.size(), size_t{3});
    QCOMPARE(request.filters[2].caption, QStringLiteral("All Files (*.*)"));
    QCOMPARE(request.initialName, QStringLiteral("TOVA_Korvan_Release.img"));
    QCOMPARE(request.defaultSuffix, QStringLiteral("k760"));

    // PDA with DFormat: its own dialog; a file above the limit is refused.
    QTest::mouseClick(rig.Get(ctl::kDevicePda), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Get(ctl::kPdaDFormat)->isEnabled(), kWait);
    QTest::mouseClick(rig.Get(ctl::kPdaDFormat), Qt::LeftButton);
    const QString big = dir_.filePath(QStringLiteral("dformat.bin"));
    QVERIFY(WriteAll(big, QByteArray(307201, 'd')));
    rig.dialogs.Answer(big);
    QTest::mouseClick(rig.Get(ctl::kBrowse), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(rig.dialogs.requests.size(), size_t{2}, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(rig.boxes.size(), size_t{1}, kWait);
    QCOMPARE(rig.boxes[0], std::string("[ERROR] File Size is abnormal"));
    QCOMPARE(rig.dialogs.requests[1].initialName, QStringLiteral("dformat_RQ27.bin"));
    QCOMPARE(rig.dialogs.requests[1].filters[0].caption, QStringLiteral("DFORMAT  (*.bin)"));
    QVERIFY(rig.Get<QLineEdit>(ctl::kPath)->text().isEmpty());
  }

  void aDroppedFileIsShownAtOnce() {
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    const QString first = dir_.filePath(QStringLiteral("dropped.img"));
    const QString second = dir_.filePath(QStringLiteral("second.img"));
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(first), QUrl::fromLocalFile(second)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&rig.window, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&rig.window, &drop);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Get<QLineEdit>(ctl::kPath)->text(), first, kWait);
    QCOMPARE(rig.window.ReadForm().imagePath, first.toStdString());
  }

  void logPaneKeepsItsLastLineInView() {
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    for (int line = 0; line < 300; ++line) rig.console.SlotLog(1, "[PHONE:1]line %d\r\n", line);
    auto* pane = rig.Get<LogPane>(ctl::kLogPane[1]);
    QTRY_VERIFY_WITH_TIMEOUT(pane->Text().endsWith(QStringLiteral("line 299\n")), kWait);
    QScrollBar* bar = pane->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    // The last line of text is the pane's last row, at its bottom edge.
    QCOMPARE(pane->document()->lastBlock().text(), QStringLiteral("[PHONE:1]line 299"));
    const QRect last = pane->cursorRect();
    QVERIFY(pane->viewport()->rect().contains(last));
    QVERIFY(pane->viewport()->height() - last.bottom() < QFontMetrics(pane->font()).height());
    // The pane shows the console's kept text, line breaks and all.
    QCOMPARE(pane->Text(),
             QString::fromStdString(rig.console.SlotText(1)).remove(QLatin1Char('\r')));
    // The described rule stands on one row.
    rig.console.SlotLog(1, "========================================\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(pane->Text().endsWith(QStringLiteral("=\n")), kWait);
    QCOMPARE(pane->document()->lastBlock().layout()->lineCount(), 1);

    rig.console.ClearSlotLog(1);
    rig.console.SlotLog(1, "after\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(pane->Text(), QStringLiteral("after\n"), kWait);
  }

  void progressAndStatusFollowTheConsole() {
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    auto* bar = rig.Get<QProgressBar>(ctl::kProgressBar[2]);
    rig.console.SetSlotProgress(2, 0, 50);
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 50, kWait);
    rig.console.SetSlotProgress(2, 0, 103);
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 100, kWait);
    rig.console.SetSlotProgress(2, 0, 7);
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 7, kWait);
    rig.console.SetSlotStatus(1, kStatusPhone);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Get<QLineEdit>(ctl::kStatusBox[1])->text(),
                              QStringLiteral("PH:6"), kWait);
    rig.console.SetSlotStatus(1, kStatusPda);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Get<QLineEdit>(ctl::kStatusBox[1])->text(),
                              QStringLiteral("PDA:6"), kWait);
    rig.console.SetSlotStatus(1, 2);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Get<QLineEdit>(ctl::kStatusBox[1])->text().isEmpty(), kWait);
  }

  void imageMakerOkLogsTheLineAndCancelNothing() {
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    QTemporaryDir components;
    std::string error;
    QVERIFY(WriteDemoComponents(components.path().toStdString(), 0.05, error));

    // Cancel: nothing logged.
    WhenModal([](QWidget* modal) {
      QVERIFY(qobject_cast<ImageMakerWindow*>(modal));
      QTest::mouseClick(Control<QPushButton>(modal, imc::kCancel), Qt::LeftButton);
    });
    QTest::mouseClick(rig.Get(ctl::kImageMaker), Qt::LeftButton);
    const std::string before = rig.console.SlotText(0);

    // A whole make-img through the window, then OK.
    for (const char* name : {kDemoPhoneName, kDemoIplName, kDemoWidebinName, kDemoResourceName})
      rig.dialogs.Answer(components.filePath(QString::fromUtf8(name)));
    bool made = false;
    WhenModal([&made](QWidget* modal) {
      auto* maker = qobject_cast<ImageMakerWindow*>(modal);
      QVERIFY(maker);
      for (int id : {imc::kPhone, imc::kIpl, imc::kWidebin, imc::kResource}) {
        QTest::mouseClick(Control<QPushButton>(maker, id), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([maker] { return !maker->Busy(); }, kWait));
      }
      QTest::mouseClick(Control<QPushButton>(maker, imc::kMakeFile), Qt::LeftButton);
      made = true;
    });
    QTest::mouseClick(rig.Get(ctl::kImageMaker), Qt::LeftButton);
    QVERIFY(made);
    QVERIFY(QFile::exists(components.filePath(QStringLiteral("TOVA_Korvan_release.img"))));
    QTRY_COMPARE_WITH_TIMEOUT(rig.console.SlotText(0),
                              before + "(Phone+PDA) Combined File created.\r\n", kWait);
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.PaneText(0).endsWith(QStringLiteral("(Phone+PDA) Combined File created.\n")), kWait);
  }

  void configurationOkLogsItsLine() {
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    // The button stays hidden and disabled; the window is reached by command.
    QVERIFY(!rig.Get(ctl::kConfiguration)->isEnabled());
    WhenModal([](QWidget* modal) {
      QVERIFY(qobject_cast<ModeSwitchWindow*>(modal));
      QTest::mouseClick(Control<QPushButton>(modal, 2), Qt::LeftButton);
    });
    rig.window.RunCommand(ctl::kConfiguration);
    WhenModal(
        [](QWidget* modal) { QTest::mouseClick(Control<QPushButton>(modal, 1), Qt::LeftButton); });
    rig.window.RunCommand(ctl::kConfiguration);
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.console.SlotText(0).ends_with("----------------------------------\r\n"
                                          "QPX-k760 Downloader configuration done.\r\n"),
        kWait);
  }

  void windowMenuOpensTheAboutBox() {
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    const QList<QAction*> actions = rig.window.WindowMenu()->actions();
    QCOMPARE(actions.size(), 2);
    QVERIFY(actions[0]->isSeparator());
    QCOMPARE(actions[1]->text(), QStringLiteral("KRV USB Downloader Info(&A)..."));
    QString version, memory, ok, title;
    qsizetype controls = 0;
    WhenModal([&](QWidget* modal) {
      title = modal->windowTitle();
      controls = modal->findChildren<QWidget*>(Qt::FindDirectChildrenOnly).size();
      version = modal->findChild<QLabel*>(QStringLiteral("aboutVersion"))->text();
      memory = modal->findChild<QLabel*>(QStringLiteral("aboutMemory"))->text();
      auto* button = Control<QPushButton>(modal, 1);
      ok = button->text();
      QTest::mouseClick(button, Qt::LeftButton);
    });
    actions[1]->trigger();
    QCOMPARE(title, QStringLiteral("k730 USB Downloader "));
    QCOMPARE(version, QStringLiteral("KRV USB Downloader ver 2.7b"));
    QCOMPARE(memory, QStringLiteral("* Allowed Memory Size\n\nPHONE : 2 MB\n BDK0   : 128 KB\n "
                                    "BDK1   : 21 MB\n BDK2   : 26 MB\n "));
    QCOMPARE(ok, QString::fromUtf8("확인"));
    QCOMPARE(controls, qsizetype{3});  // the two texts and OK, nothing else
  }

  void escapeIsExitAndEnterIsOk() {
    {
      Rig rig;
      QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
      QSignalSpy ended(&rig.window, &ConsoleWindow::consoleEnded);
      QTest::keyClick(&rig.window, Qt::Key_Escape);
      QVERIFY(ended.wait(kWait));
      QCOMPARE(ended.first().at(0).toInt(), 2);
      QVERIFY(!rig.window.isVisible());
      QVERIFY(rig.boxes.empty());  // no run, no question
    }
    {
      Rig rig;
      QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
      QSignalSpy ended(&rig.window, &ConsoleWindow::consoleEnded);
      rig.window.setFocus();
      QTest::keyClick(&rig.window, Qt::Key_Return);
      QVERIFY(ended.wait(kWait));
      QCOMPARE(ended.first().at(0).toInt(), 1);
    }
    {
      // Closing the window is exit too.
      Rig rig;
      QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
      QSignalSpy ended(&rig.window, &ConsoleWindow::consoleEnded);
      rig.window.close();
      QVERIFY(ended.wait(kWait));
      QCOMPARE(ended.first().at(0).toInt(), 2);
    }
  }

  // A slot's outcome shows in colour until the next Go clears it. While a
  // slot flashes, every way the operator ends the console asks first; the
  // signals' way out never does.
  void outcomeInColourAndEndingAsksOnlyDuringARun() {
    Rig rig({5});
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    const QString image = dir_.filePath(QStringLiteral("phone.bin"));
    QVERIFY(WriteAll(image, QByteArray(0x200000, 'p')));
    QTest::mouseClick(rig.Get(ctl::kDevicePhone), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Get(ctl::kPdaAll)->isEnabled(), kWait);
    rig.console.PostDropFiles({image.toStdString()});
    QTRY_COMPARE_WITH_TIMEOUT(rig.Get<QLineEdit>(ctl::kPath)->text(), image, kWait);
    QTest::mouseClick(rig.Get(ctl::kPhNormal), Qt::LeftButton);
    auto* bar = rig.Get<QProgressBar>(ctl::kProgressBar[0]);
    auto shows = [&](const char* outcome, const char* text) {
      return rig.Get(ctl::kStatusBox[0])->property("outcome").toString() == outcome &&
             bar->property("outcome").toString() == outcome && bar->text().startsWith(text);
    };
    auto go = [&](bool hold) {
      rig.phone.gate.hold = hold;
      QTRY_VERIFY_WITH_TIMEOUT(rig.Get(ctl::kGo)->isEnabled(), kWait);
      QTest::mouseClick(rig.Get(ctl::kGo), Qt::LeftButton);
      QTRY_VERIFY_WITH_TIMEOUT(!hold || rig.console.Snapshot().stage[0] == SlotStage::PhoneRunning,
                               kWait);
    };

    go(false);
    QTRY_VERIFY_WITH_TIMEOUT(shows("completed", "Completed "), kWait);
    go(true);
    QTRY_VERIFY_WITH_TIMEOUT(shows("", "0:0"), kWait);
    QVERIFY(rig.window.RunGoing());
    QTest::keyClick(&rig.window, Qt::Key_Escape);
    rig.window.setFocus();
    QTest::keyClick(&rig.window, Qt::Key_Return);
    QTest::mouseClick(rig.Get(ctl::kExit), Qt::LeftButton);
    rig.window.close();
    QCOMPARE(rig.boxes, std::vector<std::string>(4, kEndDuringRunQuestion));
    QTest::qWait(50);
    QVERIFY(rig.window.ConsoleRunning());  // each answer was No

    rig.phone.gate.Release(false);
    QTRY_VERIFY_WITH_TIMEOUT(shows("failed", "Failed "), kWait);
    go(true);
    QSignalSpy ended(&rig.window, &ConsoleWindow::consoleEnded);
    rig.window.ExitWithoutAsking();
    QVERIFY(ended.wait(kWait));
    QCOMPARE(rig.boxes.size(), size_t{4});
  }

  void portSpinStaysWithinItsRange() {
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    auto* spin = rig.Get<UpDownControl>(ctl::kPortSpin);
    spin->SetValue(99);
    spin->StepBy(1);
    spin->StepBy(1);
    QCOMPARE(rig.Get<QLineEdit>(ctl::kPortEdit)->text(), QStringLiteral("100"));
    QCOMPARE(rig.window.ReadForm().comPort, 100);
    spin->SetValue(0);
    spin->setFocus();
    QTest::keyClick(spin, Qt::Key_Down);
    QCOMPARE(rig.window.ReadForm().comPort, 0);
    QTest::keyClick(spin, Qt::Key_Up);
    QCOMPARE(rig.window.ReadForm().comPort, 1);
  }

  // Each caption stands in the dialog as the job writes it, and the listing
  // matches by the entry's own patterns, "*.*" meaning every file.
  void everyJobsFilterShowsItsCaptionsAsWrittenAndMatchesByItsPatterns() {
    std::vector<std::string> filters;
    for (int device = 0; device < 3; ++device)
      for (int phone = -1; phone < 5; ++phone)
        for (int pda = -1; pda < 8; ++pda)
          if (const BrowseChoice choice = BrowseDialogFor(device, phone, pda); choice.dialog)
            filters.push_back(choice.dialog->filter);
    filters.push_back(ImageMakerWindow::SourceFilter(SourceKind::Phone));
    QVERIFY(filters.size() >= 9);
    for (const std::string& filter : filters) {
      const QStringList pipes = QString::fromStdString(filter).split('|');
      OpenFileRequest request;
      request.filters = FiltersFromPipes(filter);
      QCOMPARE(request.filters.size(), size_t((pipes.size() - 2) / 2));
      QFileDialog dialog;
      PrepareOpenDialog(dialog, request);
      auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
      auto* model = dialog.findChild<QFileSystemModel*>();
      QVERIFY(combo && model);
      QCOMPARE(combo->count(), static_cast<int>(request.filters.size()));
      for (int k = 0; k < combo->count(); ++k) {
        QCOMPARE(combo->itemText(k), pipes[2 * k]);
        QStringList patterns = pipes[2 * k + 1].split(';');
        patterns.replaceInStrings(QRegularExpression(QStringLiteral("^\\*\\.\\*$")),
                                  QStringLiteral("*"));
        combo->setCurrentIndex(k);
        Q_EMIT combo->activated(k);
        QTRY_COMPARE_WITH_TIMEOUT(model->nameFilters(), patterns, kWait);
      }
    }
    // The one pattern without a dot matches by it, whatever its caption says.
    QCOMPARE(FiltersFromPipes(BrowseDialogFor(2, -1, 0).dialog->filter)[0].patterns,
             QStringList{QStringLiteral("*smallrom")});
  }

  void consoleRefreshesAndOperatorChangesDoNotUndoEachOther() {
    Rig rig;
    QTRY_VERIFY_WITH_TIMEOUT(rig.opened, kWait);
    JobForm older = rig.window.ReadForm();
    older.deviceMode = 2;  // PDA
    older.pdaMode = 1;
    JobForm newer = older;
    newer.pdaMode = 3;
    // The console refreshes again while the GUI thread is still writing the
    // older form: the toggle of the first radio is that moment.
    auto* radio = rig.Get<QRadioButton>(ctl::kPdaRadios[older.pdaMode]);
    bool refreshedAgain = false;
    JobForm readRightAfter;
    const auto connection = connect(radio, &QRadioButton::toggled, [&](bool on) {
      if (!on || refreshedAgain) return;
      refreshedAgain = true;
      rig.window.RefreshForm(newer);
    });
    rig.window.RefreshForm(older);
    QTRY_VERIFY_WITH_TIMEOUT(refreshedAgain, kWait);
    disconnect(connection);
    QCOMPARE(rig.window.ReadForm().pdaMode, newer.pdaMode);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Get<QRadioButton>(ctl::kPdaRadios[newer.pdaMode])->isChecked(),
                             kWait);
    QCOMPARE(rig.window.ReadForm().pdaMode, newer.pdaMode);
    QCOMPARE(rig.window.ReadForm().deviceMode, newer.deviceMode);

    // Once the controls show the newest form, the operator's changes count again.
    rig.Get<QRadioButton>(ctl::kPdaRadios[0])->setChecked(true);
    QCOMPARE(rig.window.ReadForm().pdaMode, 0);

    // An operator's change made after a refresh the controls do not show yet
    // goes on top of it, and stays once they do.
    JobForm refreshed = rig.window.ReadForm();
    refreshed.phoneMode = 1;
    refreshed.comPort = 42;
    rig.window.RefreshForm(refreshed);
    rig.Get<QRadioButton>(ctl::kPdaRadios[2])->setChecked(true);
    JobForm expected = refreshed;
    expected.pdaMode = 2;
    QVERIFY(rig.window.ReadForm() == expected);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Get<QLineEdit>(ctl::kPortEdit)->text(), QStringLiteral("42"),
                              kWait);
    QVERIFY(rig.Get<QRadioButton>(ctl::kPdaRadios[2])->isChecked());
    QVERIFY(rig.Get<QRadioButton>(ctl::kPhoneRadios[1])->isChecked());
    QVERIFY(rig.window.ReadForm() == expected);

    // The console writes back a form it read before the operator's change:
    // only the fields it changed itself replace what the operator chose.
    JobForm read = rig.window.ReadForm();
    rig.Get<QRadioButton>(ctl::kPdaRadios[4])->setChecked(true);
    read.comPort = 7;
    rig.window.RefreshForm(read);
    expected.pdaMode = 4;
    expected.comPort = 7;
    QVERIFY(rig.window.ReadForm() == expected);
    QTRY_COMPARE_WITH_TIMEOUT(rig.Get<QLineEdit>(ctl::kPortEdit)->text(), QStringLiteral("7"),
                              kWait);
    QVERIFY(rig.Get<QRadioButton>(ctl::kPdaRadios[4])->isChecked());
  }

  // The console thread sits in its 8-second wait before a Palm port opens; the
  // window keeps handling events, laying out and painting meanwhile.
  void eventLoopRunsDuringTheConsolesLongWait() {
    const ScopedTimeScale scale(0.25);  // the wait lasts two real seconds
    Rig rig;
    GoIntoThePdaPortWait(rig);
    if (QTest::currentTestFailed()) return;
    auto stillWaiting = [&] { return rig.WaitingForThePdaPort(); };
    QVERIFY(stillWaiting());
    QVERIFY(!rig.Get(ctl::kGo)->isEnabled());
    // Only what the event loop does while the console still waits counts, so
    // a slow machine can make this take longer but not pass wrongly.
    auto* pane = rig.Get(ctl::kLogPane[0]);
    const int paneWidth = pane->width();
    int ticksInWait = 0;
    bool resizedInWait = false;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] {
      if (!stillWaiting()) return;
      ++ticksInWait;
      if (pane->width() > paneWidth) resizedInWait = true;
    });
    timer.start(0);
    rig.window.resize(rig.window.width() + 120, rig.window.height() + 40);
    QTRY_VERIFY_WITH_TIMEOUT((resizedInWait && ticksInWait >= 20) || !stillWaiting(), kWait);
    QVERIFY(resizedInWait);
    QVERIFY(ticksInWait >= 20);
    QVERIFY(!rig.window.grab().toImage().isNull());

    QTRY_VERIFY_WITH_TIMEOUT(!stillWaiting(), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(rig.Get(ctl::kGo)->isEnabled(), kWait);
  }

  void aClickDuringTheConsolesWaitIsShownTakenAndASecondIsDropped() {
    const ScopedTimeScale scale(0.25);  // the wait lasts two real seconds
    Rig rig;
    GoIntoThePdaPortWait(rig);
    if (QTest::currentTestFailed()) return;
    auto* browse = rig.Get<QPushButton>(ctl::kBrowse);
    auto waiting = [&] { return rig.WaitingForThePdaPort(); };
    QTRY_COMPARE_WITH_TIMEOUT(rig.window.cursor().shape(), Qt::BusyCursor, kWait);
    QTest::mouseClick(browse, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(browse->isDown() || !waiting(), kWait);
    QTest::mouseClick(browse, Qt::LeftButton);
    const bool clickedInWait = waiting();
    QVERIFY(browse->isDown() || !clickedInWait);
    // Handled once the wait is over: one dialog, and the button and the cursor back.
    QTRY_VERIFY_WITH_TIMEOUT(rig.dialogs.requests.size() == 2 && !browse->isDown(), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(rig.window.cursor().shape(), Qt::ArrowCursor, kWait);
    QTest::qWait(50);
    if (clickedInWait) QCOMPARE(rig.dialogs.requests.size(), size_t{2});
  }
};

QTEST_MAIN(ConsoleWindowTest)
#include "console_window_test.moc"
