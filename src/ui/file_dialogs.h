// The file-open dialog behind a small seam, so tests can answer it, and the
// translation of the filter strings the jobs are written with.
#pragma once

#include <QString>
#include <optional>
#include <string>

class QWidget;

namespace k730::ui {

struct OpenFileRequest {
  QString filter;          // Qt syntax: "Text (*.x);;All Files (*)"
  QString initialName;     // the file name offered at first ("" = none)
  QString defaultSuffix;   // appended to a typed name without one ("" = none)
  std::string pipeFilter;  // the filter as the job gives it, for tests and logs
};

class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  // Runs on the GUI thread; the chosen path, or nothing when cancelled.
  virtual std::optional<QString> OpenFile(QWidget* parent, const OpenFileRequest& request) = 0;
  // Where the next dialog starts: the folder of the last file chosen, or the
  // process's working directory before any choice. Relative outputs of the
  // Image Maker go here.
  virtual QString CurrentDirectory() const = 0;
};

// The toolkit's file dialog. Remembers the folder of the last choice.
class QtFileDialogs : public FileDialogs {
 public:
  std::optional<QString> OpenFile(QWidget* parent, const OpenFileRequest& request) override;
  QString CurrentDirectory() const override;

 private:
  QString lastDirectory_;
};

// "A|*.a|B|*.b||" -> "A (*.a);;B (*.b)": the same entries in the same order.
// The caption of an entry stays as written when its parentheses already name
// the entry's patterns; otherwise the patterns are appended in parentheses so
// the dialog matches what the entry says it matches. "*.*" means every file,
// as on the system the strings were written for.
QString QtFilterFromPipes(const std::string& filter);

}  // namespace k730::ui
