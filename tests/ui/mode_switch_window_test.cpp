// The mode-switch window against a simulated handset on a pseudo-terminal.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>

#include "core/clock.h"
#include "phone/mode_switch.h"
#include "sim/phone_sim.h"
#include "ui/mode_switch_window.h"
#include "ui_test_support.h"

using namespace k730;
using namespace k730::ui;
using namespace k730::ui::test;

class ModeSwitchWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir ports_;

  std::unique_ptr<sim::PhoneSim> StartPhone(int port) {
    sim::PhoneSimConfig config;
    config.portDir = ports_.path().toStdString();
    config.portNumber = port;
    config.restartDelayMs = 500;
    auto phone = std::make_unique<sim::PhoneSim>(config);
    std::string error;
    if (!phone->Start(error)) {
      qWarning("%s", error.c_str());
      return nullptr;
    }
    return phone;
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(ports_.isValid());
    qputenv("K730_PORT_DIR", ports_.path().toLocal8Bit());
  }

  void buttonsAreNamedAfterTheirPorts() {
    ModeSwitchWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Configuration"));
    QCOMPARE(window.BasePort(), 0);
    Control<QLineEdit>(&window, kBasePortEdit)->setText(QStringLiteral("3"));
    for (int i = 0; i < 8; ++i) {
      auto* button = Control<QPushButton>(&window, kSwitchButtons[i]);
      QVERIFY(button);
      QCOMPARE(button->text(), QStringLiteral("COM%1").arg(3 + i));
    }
  }

  void secondButtonSwitchesThePhoneOnBasePlusOne() {
    auto phone = StartPhone(4);
    QVERIFY(phone);
    ModeSwitchWindow window;
    window.show();
    Control<QLineEdit>(&window, kBasePortEdit)->setText(QStringLiteral("3"));
    QSignalSpy finished(&window, &ModeSwitchWindow::switchFinished);
    QTest::mouseClick(Control<QPushButton>(&window, 1075), Qt::LeftButton);
    QVERIFY(window.Busy());
    // The window keeps working while the procedure runs.
    QVERIFY(!Control<QPushButton>(&window, 1061)->isEnabled());
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.first().at(0).toInt(), 4);
    QCOMPARE(finished.first().at(1).toInt(), 1);
    QVERIFY(phone->CurrentState() == sim::PhoneProtocol::State::Download);
    QCOMPARE(phone->DpramPort(), 4);
    QVERIFY(Control<QPushButton>(&window, 1061)->isEnabled());

    QSignalSpy closed(&window, &QDialog::finished);
    QTest::mouseClick(Control<QPushButton>(&window, 1), Qt::LeftButton);
    QCOMPARE(closed.size(), 1);
    QCOMPARE(window.result(), int(QDialog::Accepted));
  }

  void missingPhoneEndsWithoutABox() {
    ModeSwitchWindow window;
    window.show();
    Control<QLineEdit>(&window, kBasePortEdit)->setText(QStringLiteral("40"));
    QSignalSpy finished(&window, &ModeSwitchWindow::switchFinished);
    QTest::mouseClick(Control<QPushButton>(&window, 1069), Qt::LeftButton);
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.first().at(0).toInt(), 47);
    QCOMPARE(finished.first().at(1).toInt(), 0);
    QVERIFY(window.isVisible());
    // The window says why it stopped.
    QCOMPARE(window.findChild<QLabel*>(QStringLiteral("status"))->text(),
             QStringLiteral("COM47: stopped: the port did not open (10 tries)"));
  }

  void closingDuringAProcedureStopsItFirst() {
    // Real-length waits: the procedure is surely still running when Cancel comes.
    const ScopedTimeScale scale(1.0);
    auto phone = StartPhone(9);
    QVERIFY(phone);
    ModeSwitchWindow window;
    window.show();
    Control<QLineEdit>(&window, kBasePortEdit)->setText(QStringLiteral("9"));
    QSignalSpy closed(&window, &QDialog::finished);
    QTest::mouseClick(Control<QPushButton>(&window, 1061), Qt::LeftButton);
    QVERIFY(window.Busy());
    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(closed.wait(30000));
    QCOMPARE(window.result(), int(QDialog::Rejected));
    QCOMPARE(window.LastResult(), 0);
  }
};

QTEST_MAIN(ModeSwitchWindowTest)
#include "mode_switch_window_test.moc"
