// Seams the window tests answer: file dialogs that return scripted paths and
// a prompt that records its boxes.
#pragma once

#include <QFile>
#include <QString>
#include <QWidget>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/operator_prompt.h"
#include "ui/file_dialogs.h"

namespace k730::ui::test {

// Sets the process clock's scale for one test and puts the previous one back
// even when a check returns early, so one failure cannot slow the next tests.
class ScopedTimeScale {
 public:
  explicit ScopedTimeScale(double scale) : previous_(ProcessClock().Scale()) {
    SetProcessTimeScale(scale);
  }
  ~ScopedTimeScale() { SetProcessTimeScale(previous_); }
  ScopedTimeScale(const ScopedTimeScale&) = delete;
  ScopedTimeScale& operator=(const ScopedTimeScale&) = delete;

 private:
  double previous_;
};

class ScriptedFileDialogs : public FileDialogs {
 public:
  // Each OpenFile takes the next answer; nothing queued means cancelled.
  void Answer(std::optional<QString> path) { answers_.push_back(std::move(path)); }
  std::optional<QString> OpenFile(QWidget*, const OpenFileRequest& request) override {
    requests.push_back(request);
    if (answers_.empty()) return std::nullopt;
    std::optional<QString> answer = answers_.front();
    answers_.pop_front();
    if (answer) current_ = answer->left(answer->lastIndexOf(QLatin1Char('/')));
    return answer;
  }
  QString CurrentDirectory() const override { return current_; }
  void SetCurrentDirectory(const QString& dir) { current_ = dir; }

  std::vector<OpenFileRequest> requests;

 private:
  std::deque<std::optional<QString>> answers_;
  QString current_ = QStringLiteral(".");
};

struct PromptRecord {
  std::string text;
  MessageIcon icon;
  MessageButtons buttons;
};

class RecordingPrompt : public OperatorPrompt {
 public:
  MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                            MessageButtons buttons) override {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back({text, icon, buttons});
    return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
  }
  std::vector<PromptRecord> Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<PromptRecord> records_;
};

template <class T>
T* Control(QWidget* window, int id) {
  return window->findChild<T*>(QString::number(id));
}

inline QByteArray ReadAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

inline bool WriteAll(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  return file.write(bytes) == bytes.size();
}

}  // namespace k730::ui::test
