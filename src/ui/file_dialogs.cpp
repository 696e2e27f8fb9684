#include "ui/file_dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>

namespace k730::ui {

namespace {

// The patterns of one entry in the dialog's syntax: separated by blanks, and
// "*.*" as "*" (every file, with or without an extension).
QString QtPatterns(const QString& patterns) {
  QStringList out;
  for (const QString& pattern : patterns.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    const QString trimmed = pattern.trimmed();
    if (trimmed.isEmpty()) continue;
    out << (trimmed == QLatin1String("*.*") ? QStringLiteral("*") : trimmed);
  }
  if (out.isEmpty()) out << QStringLiteral("*");
  return out.join(QLatin1Char(' '));
}

QString QtEntry(const QString& caption, const QString& patterns) {
  const QString qtPatterns = QtPatterns(patterns);
  const QString trimmed = caption.trimmed();
  if (trimmed.endsWith(QLatin1Char(')'))) {
    const qsizetype open = trimmed.lastIndexOf(QLatin1Char('('));
    if (open >= 0) {
      const QString shown = trimmed.mid(open + 1, trimmed.size() - open - 2);
      if (shown == qtPatterns) return caption;
      // The dialog takes the patterns from the caption's last parentheses.
      return caption.left(caption.lastIndexOf(QLatin1Char('('))) + QLatin1Char('(') + qtPatterns +
             QLatin1Char(')');
    }
  }
  return caption + QStringLiteral(" (") + qtPatterns + QLatin1Char(')');
}

}  // namespace

QString QtFilterFromPipes(const std::string& filter) {
  const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
  QStringList entries;
  // Pairs of caption and patterns; the empty parts of the closing "||" end it.
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty()) break;
    entries << QtEntry(parts[i], parts[i + 1]);
  }
  return entries.join(QStringLiteral(";;"));
}

std::optional<QString> QtFileDialogs::OpenFile(QWidget* parent, const OpenFileRequest& request) {
  QFileDialog dialog(parent);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(request.filter);
  dialog.setDirectory(CurrentDirectory());
  if (!request.defaultSuffix.isEmpty()) dialog.setDefaultSuffix(request.defaultSuffix);
  if (!request.initialName.isEmpty()) dialog.selectFile(request.initialName);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  lastDirectory_ = QFileInfo(files.first()).absolutePath();
  return files.first();
}

QString QtFileDialogs::CurrentDirectory() const {
  return lastDirectory_.isEmpty() ? QDir::currentPath() : lastDirectory_;
}

}  // namespace k730::ui
