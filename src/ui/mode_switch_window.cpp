#include "ui/mode_switch_window.h"

#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "console/real_platform.h"
#include "phone/mode_switch.h"
#include "phone/serial_port.h"
#include "ui/ui_style.h"

namespace k730::ui {

namespace {
constexpr int kMaxBasePort = 250;

QString StopReason(ModeSwitch::Outcome stop) {
  switch (stop) {
    case ModeSwitch::Outcome::PortNotOpened:
      return QStringLiteral("the port did not open (10 tries)");
    case ModeSwitch::Outcome::NoAnswer:
      return QStringLiteral("no answer to AT$USBCHK");
    case ModeSwitch::Outcome::PortNotBack:
      return QStringLiteral("the port did not come back after AT$USBDN");
    case ModeSwitch::Outcome::Stopped:
      return QStringLiteral("cancelled");
    case ModeSwitch::Outcome::Done:
      break;
  }
  return QStringLiteral("unknown");
}
}  // namespace

ModeSwitchWindow::ModeSwitchWindow(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(kModeSwitchCaption));
  setWindowIcon(AppIcon());
  setFont(DialogFont());
  setModal(true);
  const DialogUnits du(font());

  auto* label = new QLabel(QStringLiteral("Base COM port"), this);
  label->setObjectName(QStringLiteral("labelBasePort"));
  label->setGeometry(du.Rect(7, 9, 60, 8));
  base_ = new QLineEdit(QStringLiteral("0"), this);
  SetControlId(base_, kBasePortEdit);
  base_->setValidator(new QIntValidator(0, kMaxBasePort, base_));
  base_->setGeometry(du.Rect(70, 7, 40, 12));
  connect(base_, &QLineEdit::textChanged, this, &ModeSwitchWindow::UpdateCaptions);

  // Two rows of four, in port order.
  for (int i = 0; i < 8; ++i) {
    auto* button = new QPushButton(this);
    SetControlId(button, kSwitchButtons[i]);
    button->setAutoDefault(false);
    button->setGeometry(du.Rect(7 + (i % 4) * 46, 26 + (i / 4) * 20, 42, 16));
    connect(button, &QPushButton::clicked, this, [this, i] { StartSwitch(i); });
    buttons_[i] = button;
  }

  status_ = new QLabel(this);
  status_->setObjectName(QStringLiteral("status"));
  status_->setGeometry(du.Rect(7, 70, 180, 10));

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  SetControlId(ok_, 1);
  ok_->setGeometry(du.Rect(83, 86, 50, 14));
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, &ModeSwitchWindow::accept);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  SetControlId(cancel, 2);
  cancel->setAutoDefault(false);
  cancel->setGeometry(du.Rect(137, 86, 50, 14));
  connect(cancel, &QPushButton::clicked, this, &ModeSwitchWindow::reject);

  setFixedSize(du.Size(194, 107));
  UpdateCaptions();
}

ModeSwitchWindow::~ModeSwitchWindow() {
  // The job's destructor joins the thread; a stopped procedure ends at its next wait.
  if (procedure_) procedure_->Stop();
}

int ModeSwitchWindow::BasePort() const {
  return base_->text().toInt();
}

void ModeSwitchWindow::UpdateCaptions() {
  const int base = BasePort();
  for (int i = 0; i < 8; ++i) buttons_[i]->setText(QStringLiteral("COM%1").arg(base + i));
}

void ModeSwitchWindow::SetRunning(bool running) {
  for (QPushButton* button : buttons_) button->setEnabled(!running);
  base_->setEnabled(!running);
  ok_->setEnabled(!running);
  if (running)
    setCursor(Qt::BusyCursor);
  else
    unsetCursor();
}

void ModeSwitchWindow::StartSwitch(int index) {
  if (Busy()) return;
  const int base = BasePort();
  const int comNumber = base + index;
  procedure_ = std::make_unique<ModeSwitch>(MakeToolSerialPort());
  procedure_->SetBasePort(base);
  ModeSwitch* procedure = procedure_.get();
  auto result = std::make_shared<int>(0);
  auto stop = std::make_shared<ModeSwitch::Outcome>(ModeSwitch::Outcome::Done);
  SetRunning(true);
  status_->setText(QStringLiteral("COM%1: switching to download mode...").arg(comNumber));
  job_.Start(
      [procedure, index, result, stop] {
        *result = procedure->SwitchPort(index);
        *stop = procedure->LastOutcome();
      },
      [this, comNumber, result, stop] {
        lastPort_ = comNumber;
        lastResult_ = *result;
        procedure_.reset();
        SetRunning(false);
        status_->setText(
            *result ? QStringLiteral("COM%1: done").arg(comNumber)
                    : QStringLiteral("COM%1: stopped: %2").arg(comNumber).arg(StopReason(*stop)));
        Q_EMIT switchFinished(comNumber, *result);
        if (pendingClose_ >= 0) done(pendingClose_);
      });
}

void ModeSwitchWindow::CloseWhenIdle(int result) {
  if (!Busy()) {
    done(result);
    return;
  }
  pendingClose_ = result;
  if (procedure_) procedure_->Stop();
}

void ModeSwitchWindow::accept() {
  CloseWhenIdle(QDialog::Accepted);
}

void ModeSwitchWindow::reject() {
  CloseWhenIdle(QDialog::Rejected);
}

}  // namespace k730::ui
