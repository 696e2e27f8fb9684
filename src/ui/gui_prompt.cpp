#include "ui/gui_prompt.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <memory>

#include "ui/ui_style.h"

namespace k730::ui {

MessageAnswer NegativeAnswer(MessageButtons buttons) {
  switch (buttons) {
    case MessageButtons::Ok:
      return MessageAnswer::Ok;
    case MessageButtons::OkCancel:
      return MessageAnswer::Cancel;
    case MessageButtons::YesNo:
      return MessageAnswer::No;
  }
  return MessageAnswer::Cancel;
}

namespace {

QMessageBox::Icon BoxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::None:
      return QMessageBox::NoIcon;
    case MessageIcon::Information:
      return QMessageBox::Information;
    case MessageIcon::Exclamation:
      return QMessageBox::Warning;
    case MessageIcon::Error:
      return QMessageBox::Critical;
    case MessageIcon::Question:
      return QMessageBox::Question;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons BoxButtons(MessageButtons buttons) {
  switch (buttons) {
    case MessageButtons::Ok:
      return QMessageBox::Ok;
    case MessageButtons::OkCancel:
      return QMessageBox::Ok | QMessageBox::Cancel;
    case MessageButtons::YesNo:
      return QMessageBox::Yes | QMessageBox::No;
  }
  return QMessageBox::Ok;
}

MessageAnswer FromButton(int button, MessageButtons buttons) {
  switch (button) {
    case QMessageBox::Ok:
      return MessageAnswer::Ok;
    case QMessageBox::Cancel:
      return MessageAnswer::Cancel;
    case QMessageBox::Yes:
      return MessageAnswer::Yes;
    case QMessageBox::No:
      return MessageAnswer::No;
    default:
      return NegativeAnswer(buttons);
  }
}

// The texts carry the "\r\n" of their formats; a box shows plain line breaks.
QString Displayed(const QString& text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return shown;
}

}  // namespace

MessageAnswer RunQtMessageBox(QWidget* parent, const MessageBoxRequest& request) {
  auto* box = new QMessageBox(BoxIcon(request.icon), QString::fromUtf8(kAppDisplayName),
                              Displayed(request.text), BoxButtons(request.buttons), parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setFont(DialogFont());
  if (!request.waited) {
    // Shown without a nested loop: the caller goes on while the box is up.
    box->setWindowModality(Qt::WindowModal);
    box->show();
    return NegativeAnswer(request.buttons);
  }
  box->setAttribute(Qt::WA_DeleteOnClose, false);
  const int button = box->exec();
  delete box;
  return FromButton(button, request.buttons);
}

GuiPrompt::GuiPrompt(QWidget* parent) : parent_(parent), tasks_(this), runner_(RunQtMessageBox) {}

GuiPrompt::~GuiPrompt() {
  Shutdown();
}

MessageAnswer GuiPrompt::RunBox(const MessageBoxRequest& request) {
  Q_EMIT shown(request.text);
  return runner_ ? runner_(parent_.data(), request) : NegativeAnswer(request.buttons);
}

MessageAnswer GuiPrompt::ShowMessage(const std::string& text, MessageIcon icon,
                                     MessageButtons buttons) {
  MessageBoxRequest request{QString::fromStdString(text), icon, buttons, true};
  if (QThread::currentThread() == thread()) return RunBox(request);

  if (buttons == MessageButtons::Ok) {
    request.waited = false;
    tasks_.Post([this, request] { RunBox(request); });
    return MessageAnswer::Ok;
  }

  struct Pending {
    bool done = false;
    MessageAnswer answer = MessageAnswer::Cancel;
  };
  auto pending = std::make_shared<Pending>();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shutDown_) return NegativeAnswer(buttons);
  }
  tasks_.Post([this, request, pending] {
    bool skip;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      skip = shutDown_;
    }
    const MessageAnswer answer = skip ? NegativeAnswer(request.buttons) : RunBox(request);
    std::lock_guard<std::mutex> lock(mutex_);
    pending->answer = answer;
    pending->done = true;
    answered_.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex_);
  answered_.wait(lock, [&] { return pending->done || shutDown_; });
  return pending->done ? pending->answer : NegativeAnswer(buttons);
}

void GuiPrompt::Shutdown() {
  tasks_.Close();
  std::lock_guard<std::mutex> lock(mutex_);
  shutDown_ = true;
  answered_.notify_all();
}

}  // namespace k730::ui
