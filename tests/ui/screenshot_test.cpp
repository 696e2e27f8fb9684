// Screenshots of the console in the middle of a three-slot demo run against
// k730-sim, and of the Image Maker with its sources chosen, written to the
// build directory (K730_SCREENSHOT_DIR). The run itself is checked too: every
// slot flashes its phone and PDA halves and the window comes back to idle.
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
  void consoleInTheMiddleOfAThreeSlotDemoRun() {
    const QString binDir = qEnvironmentVariable("K730_TEST_BIN_DIR");
    QVERIFY2(!binDir.isEmpty(), "K730_TEST_BIN_DIR is not set");
    // Slow enough that the middle of the run spans many repaints.
    const ScopedTimeScale scale(0.01);
    DemoSession demo;
    DemoSession::Options demoOptions;
    demoOptions.binDir = binDir.toStdString();
    demoOptions.sizeScale = 0.5;
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
    auto bar = [&](int slot) {
      return Control<QProgressBar>(&window, ctl::kProgressBar[slot])->value();
    };
    window.OnConsoleOpened([&] { opened = true; });
    window.OnUpdatesApplied([&] {
      if (!shot.isNull()) return;
      const std::array<int, 3> values{bar(0), bar(1), bar(2)};
      const bool anyBetween =
          std::any_of(values.begin(), values.end(), [](int v) { return v > 0 && v < 100; });
      if (!anyBetween) return;
      if (std::all_of(values.begin(), values.end(), [](int v) { return v > 0; })) {
        shot = window.grab().toImage();
      } else if (fallback.isNull()) {
        fallback = window.grab().toImage();
      }
    });
    window.StartConsole(console);
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(opened, kRunBound);
    QTRY_COMPARE_WITH_TIMEOUT(console.Snapshot().slotCount, 3, kRunBound);

    console.PostDropFiles({demo.ImagePath()});
    QTRY_COMPARE_WITH_TIMEOUT(Control<QLineEdit>(&window, ctl::kPath)->text(),
                              QString::fromStdString(demo.ImagePath()), kRunBound);
    Control<QRadioButton>(&window, ctl::kPhNormal)->click();
    Control<QRadioButton>(&window, ctl::kPdaAll)->click();
    QTest::mouseClick(Control<QPushButton>(&window, ctl::kGo), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!Control<QPushButton>(&window, ctl::kGo)->isEnabled(), kRunBound);

    // The run ends with Go enabled again and every slot's PDA half flashed.
    auto completed = [&](int slot) {
      return QString::fromStdString(console.SlotText(slot))
          .contains(QStringLiteral("[PDA:%1]Download Completed").arg(slot));
    };
    if (!QTest::qWaitFor([&] { return completed(0) && completed(1) && completed(2); }, kRunBound)) {
      for (int slot = 0; slot < 3; ++slot)
        qWarning("slot %d:\n%s", slot, console.SlotText(slot).c_str());
      QFAIL("the demo run did not complete in every slot");
    }
    QTRY_VERIFY_WITH_TIMEOUT(Control<QPushButton>(&window, ctl::kGo)->isEnabled(), kRunBound);

    const QImage& saved = shot.isNull() ? fallback : shot;
    QVERIFY2(!saved.isNull(), "no moment of the run showed a partly filled progress bar");
    const QString path = ShotPath(QStringLiteral("console-demo-run"));
    QVERIFY(saved.save(path));
    qInfo("screenshot: %s", qPrintable(path));
    QVERIFY(window.grab().toImage().save(ShotPath(QStringLiteral("console-demo-done"))));

    window.StopConsole();
  }

  void imageMakerWithItsSourcesChosen() {
    QTemporaryDir dir;
    std::string error;
    QVERIFY(WriteDemoComponents(dir.path().toStdString(), 0.05, error));
    ScriptedFileDialogs dialogs;
    RecordingPrompt prompt;
    ImageMakerWindow window(dialogs, prompt);
    window.show();
    for (auto [id, name] : {std::pair{imc::kPhone, kDemoPhoneName},
                            {imc::kIpl, kDemoIplName},
                            {imc::kWidebin, kDemoWidebinName},
                            {imc::kResource, kDemoResourceName}}) {
      dialogs.Answer(dir.filePath(QString::fromUtf8(name)));
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
