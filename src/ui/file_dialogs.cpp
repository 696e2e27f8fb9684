#include "ui/file_dialogs.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>

namespace k730::ui {

std::vector<FileFilter> FiltersFromPipes(const std::string& filter) {
  const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
  std::vector<FileFilter> filters;
  // Pairs of caption and patterns; the empty parts of the closing "||" end it.
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty()) break;
    FileFilter entry;
    entry.caption = parts[i];
    for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      const QString trimmed = pattern.trimmed();
      if (trimmed.isEmpty()) continue;
      entry.patterns << (trimmed == QLatin1String("*.*") ? QStringLiteral("*") : trimmed);
    }
    if (entry.patterns.isEmpty()) entry.patterns << QStringLiteral("*");
    filters.push_back(std::move(entry));
  }
  return filters;
}

void PrepareOpenDialog(QFileDialog& dialog, const OpenFileRequest& request) {
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  if (request.filters.empty()) return;
  QStringList captions;
  for (const FileFilter& entry : request.filters) captions << entry.caption;
  // The dialog would read each caption's parentheses as its patterns, so
  // "All Files (*.*)" would hide every file without a dot: the captions go
  // in as they are, and the listing's patterns are put right after the
  // dialog has set its own, at the start and on every choice.
  dialog.setNameFilters(captions);
  auto* model = dialog.findChild<QFileSystemModel*>();
  auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
  if (!model || !combo) return;
  // The dialog also folds each caption's runs of blanks into one.
  for (int k = 0; k < combo->count() && k < captions.size(); ++k)
    combo->setItemText(k, captions[k]);
  const std::vector<FileFilter> filters = request.filters;
  auto apply = [model, filters](int index) {
    if (index >= 0 && index < static_cast<int>(filters.size()))
      model->setNameFilters(filters[static_cast<size_t>(index)].patterns);
  };
  apply(combo->currentIndex());
  QObject::connect(combo, &QComboBox::activated, &dialog, apply, Qt::QueuedConnection);
  QObject::connect(combo, &QComboBox::currentIndexChanged, &dialog, apply, Qt::QueuedConnection);
}

std::optional<QString> QtFileDialogs::OpenFile(QWidget* parent, const OpenFileRequest& request) {
  QFileDialog dialog(parent);
  PrepareOpenDialog(dialog, request);
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
