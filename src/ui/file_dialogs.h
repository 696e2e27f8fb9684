// The file-open dialog behind a small seam, so tests can answer it, and the
// translation of the filter strings the jobs are written with.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

class QFileDialog;
class QWidget;

namespace k730::ui {

// One entry of a file dialog's filter: the caption shown, exactly as the job
// writes it, and the patterns it matches in this system's terms.
struct FileFilter {
  QString caption;       // "All Files (*.*)"
  QStringList patterns;  // "*" (the job's "*.*": every file, with or without a dot)
  bool operator==(const FileFilter&) const = default;
};

struct OpenFileRequest {
  std::vector<FileFilter> filters;
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

// "A|*.a|B|*.b||" -> the entries A and B in that order, the patterns of each
// split at ';'. A pattern "*.*" means every file, as on the system the
// strings were written for, and becomes "*".
std::vector<FileFilter> FiltersFromPipes(const std::string& filter);

// Fills a dialog of the toolkit's own (not the desktop's, whose matching the
// program cannot set) with the request: the captions shown as written, each
// matching by its own patterns whichever caption the operator picks.
void PrepareOpenDialog(QFileDialog& dialog, const OpenFileRequest& request);

}  // namespace k730::ui
