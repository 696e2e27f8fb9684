// Message boxes of the windows, callable from any thread. On the GUI thread a
// box runs modally; from another thread it is handed to the GUI thread: a box
// with only an OK button is shown without holding the caller, a question
// holds the caller until the operator answers (or the prompt shuts down).
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "core/operator_prompt.h"
#include "ui/gui_tasks.h"

namespace k730::ui {

struct MessageBoxRequest {
  QString text;
  MessageIcon icon = MessageIcon::None;
  MessageButtons buttons = MessageButtons::Ok;
  bool waited = true;  // false: the caller does not wait for the answer
};

// Runs one box on the GUI thread and returns the answer.
using MessageBoxRunner = std::function<MessageAnswer(QWidget* parent, const MessageBoxRequest&)>;

// The toolkit's message box with the application's title.
MessageAnswer RunQtMessageBox(QWidget* parent, const MessageBoxRequest& request);

class GuiPrompt : public QObject, public OperatorPrompt {
  Q_OBJECT

 public:
  // parent: the window the boxes belong to (may be null). Lives on the GUI thread.
  explicit GuiPrompt(QWidget* parent = nullptr);
  ~GuiPrompt() override;

  MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                            MessageButtons buttons) override;

  // Replaces the toolkit's box (tests answer here). GUI thread only.
  void SetRunner(MessageBoxRunner runner) { runner_ = std::move(runner); }
  // Every waiting caller gets the negative answer, and later questions from
  // other threads get it at once. GUI thread; before the callers are joined.
  void Shutdown();

 Q_SIGNALS:
  void shown(const QString& text);

 private:
  MessageAnswer RunBox(const MessageBoxRequest& request);

  QPointer<QWidget> parent_;
  GuiTasks tasks_;
  MessageBoxRunner runner_;
  std::mutex mutex_;
  std::condition_variable answered_;
  bool shutDown_ = false;
};

// The answer a box gets when nobody can answer it: Cancel or No.
MessageAnswer NegativeAnswer(MessageButtons buttons);

}  // namespace k730::ui
