// Screenshots, written to the build directory (K730_SCREENSHOT_DIR): the
// console in each device mode, in the middle and at the end of a three-slot
// demo run against k730-sim in which one slot fails, and the Image Maker with
// long source paths. The run itself is checked too: two slots flash both
// halves, the failing one shows its failure, and the window comes back to idle.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <array>
#include <memory>

#include "app/downloader_app.h"
#include "console/console_ids.h"
#include "console/downloader_dialog.h"
#include "console/real_platform.h"
#include "core/clock.h"
#include "image/demo_components.h"
#include "ui/console_window.h"
#include "ui/demo_session.h"
#include "ui/image_maker_window.h"
#include "ui_test_support.h"

using namespace k730;
using namespace k730::ui;
using namespace k730::ui::test;

namespace {

constexpr int kRunBound = 60000;  // a bound for faults, not a timing requirement

QString ShotPath(const QString& name) {
  const QString dir = qEnvironmentVariable("K730_SCREENSHOT_DIR", QDir::currentPath());
  QDir().mkpath(dir);
  const QString suffix = qEnvironmentVariable("K730_SCREENSHOT_SUFFIX");
  return QDir(dir).filePath(name + suffix + QStringLiteral(".png"));
}

}  // namespace

class ScreenshotTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  // The console in each device mode, then a three-slot demo run in which the
  // second handset's PDA flash fails: in its middle and at its end.
  void consoleInEachModeAndAThreeSlotDemoRunWithOneFailure() {
    const QString binDir = qEnvironmentVariable("K730_TEST_BIN_DIR");
    QVERIFY2(!binDir.isEmpty(), "K730_TEST_BIN_DIR is not set");
    // Slow enough that the middle of the run spans many repaints.
    const ScopedTimeScale scale(0.01);
    DemoSession demo;
    DemoSession::Options demoOptions;
    demoOptions.binDir = binDir.toStdString();
    demoOptions.sizeScale = 0.5;
    // The phone writes last long enough for their time left to show.
    demoOptions.simArguments = {"--fault", "palm-flash-fail@1", "--baud", "9600"};
    std::string error;
    QVERIFY2(demo.Start(demoOptions, error), error.c_str());

    DownloaderApp application;
    ScriptedFileDialogs dialogs;
    ConsoleWindow window(dialogs);
    window.Prompt().SetRunner([](QWidget*, const MessageBoxRequest& request) {
      qWarning("message box: %s", qPrintable(request.text));
      return request.buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
    });
    RealPhonePlatform phone(application.ReenumerationLock());
    RealPdaPlatform pda;
    DownloaderDialog::Options options;
    options.stagingDirectory = demo.Directory();
    options.hostFileDirectory = demo.Directory();
    options.writeRunRecords = false;
    DownloaderDialog console(window, phone, pda, options);
    // The console thread ends before the console object, however the test leaves.
    struct StopFirst {
      ConsoleWindow& window;
      ~StopFirst() { window.StopConsole(); }
    } stopFirst{window};

    bool opened = false;
    QImage shot, fallback;
    auto bar = [&](int slot) { return Control<QProgressBar>(&window, ctl::kProgressBar[slot]); };
    bool running = false;
    window.OnConsoleOpened([&] { opened = true; });
    window.OnUpdatesApplied([&] {
      if (!running || !shot.isNull()) return;
      const std::array<int, 3> values{bar(0)->value(), bar(1)->value(), bar(2)->value()};
      const bool anyBetween =
          std::any_of(values.begin(), values.end(), [](int v) { return v > 0 && v < 100; });
      if (!anyBetween) return;
      // Best: the bars moving, one of them with its time left.
      bool timeLeft = false;
      for (int slot = 0; slot < 3; ++slot) timeLeft |= bar(slot)->text().endsWith("left");
      if (timeLeft &&
          std::count_if(values.begin(), values.end(), [](int v) { return v > 0; }) >= 2) {
        shot = window.grab().toImage();
      } else if (fallback.isNull()) {
        fallback = window.grab().toImage();
      }
    });
    window.StartConsole(console);
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(opened, kRunBound);
    QTRY_COMPARE_WITH_TIMEOUT(console.Snapshot().slotCount, 3, kRunBound);

    for (auto [id, name] : {std::pair{ctl::kDevicePhone, "console-mode-phone"},
                            {ctl::kDevicePda, "console-mode-pda"},
                            {ctl::kDevicePdaPhone, "console-mode-pda-phone"}}) {
      Control<QRadioButton>(&window, id)->click();
      // PHONE disables the PDA radios; only PDA enables "[PDA]DFormat".
      QTRY_VERIFY_WITH_TIMEOUT(
          Control<QWidget>(&window, ctl::kPdaAll)->isEnabled() == (id != ctl::kDevicePhone) &&
              Control<QWidget>(&window, ctl::kPdaDFormat)->isEnabled() == (id == ctl::kDevicePda),
          kRunBound);
      QVERIFY(window.grab().toImage().save(ShotPath(QString::fromLatin1(name))));
    }
    console.PostDropFiles({demo.ImagePath()});
    QTRY_COMPARE_WITH_TIMEOUT(Control<QLineEdit>(&window, ctl::kPath)->text(),
                              QString::fromStdString(demo.ImagePath()), kRunBound);
    Control<QRadioButton>(&window, ctl::kPhNormal)->click();
    Control<QRadioButton>(&window, ctl::kPdaAll)->click();
    running = true;
    QTest::mouseClick(Control<QPushButton>(&window, ctl::kGo), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!Control<QPushButton>(&window, ctl::kGo)->isEnabled(), kRunBound);

    // The run ends with Go enabled again, slots 0 and 2 flashed and slot 1's
    // PDA flash refused, each shown in its colour.
    auto outcome = [&](int slot) {
      return Control<QWidget>(&window, ctl::kStatusBox[slot])->property("outcome").toString();
    };
    QTRY_VERIFY_WITH_TIMEOUT(outcome(0) == QLatin1String("completed") &&
                                 outcome(1) == QLatin1String("failed") &&
                                 outcome(2) == QLatin1String("completed"),
                             kRunBound);
    QTRY_VERIFY_WITH_TIMEOUT(Control<QPushButton>(&window, ctl::kGo)->isEnabled(), kRunBound);
    QVERIFY(
        QString::fromStdString(console.SlotText(1)).contains(QStringLiteral("FLASH Write Failed")));

    const QImage& saved = shot.isNull() ? fallback : shot;
    QVERIFY2(!saved.isNull(), "no moment of the run showed a partly filled progress bar");
    const QString path = ShotPath(QStringLiteral("console-demo-run"));
    QVERIFY(saved.save(path));
    qInfo("screenshot: %s", qPrintable(path));
    QVERIFY(window.grab().toImage().save(ShotPath(QStringLiteral("console-demo-done"))));

    window.StopConsole();
  }

  // Sources in a folder whose paths run to about 110 characters.
  void imageMakerWithLongSourcePaths() {
    QTemporaryDir dir;
    const QString folder = dir.filePath(
        QStringLiteral("release-candidates/k730-firmware-2026-12-08/build-0042-with-resources"));
    QVERIFY(QDir().mkpath(folder));
    std::string error;
    QVERIFY(WriteDemoComponents(folder.toStdString(), 0.05, error));
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMakerWindow window(dialogs, prompt);
    window.show();
    for (auto [id, name] : {std::pair{imc::kPhone, kDemoPhoneName},
                            {imc::kIpl, kDemoIplName},
                            {imc::kWidebin, kDemoWidebinName},
                            {imc::kResource, kDemoResourceName}}) {
      dialogs.Answer(QDir(folder).filePath(QString::fromUtf8(name)));
      QTest::mouseClick(Control<QPushButton>(&window, id), Qt::LeftButton);
      QVERIFY(QTest::qWaitFor([&] { return !window.Busy(); }, kRunBound));
    }
    const QString path = ShotPath(QStringLiteral("image-maker"));
    QVERIFY(window.grab().toImage().save(path));
    qInfo("screenshot: %s", qPrintable(path));
  }
};

QTEST_MAIN(ScreenshotTest)
#include "screenshot_test.moc"
