// The Image Maker window: four operations on the toolkit-free ImageMaker,
// with the source buttons showing what was chosen. Reading sources and
// writing outputs run off the GUI thread; the window ignores input meanwhile.
#pragma once

#include <QDialog>
#include <QPushButton>
#include <array>
#include <memory>

#include "image/image_maker.h"
#include "ui/background_job.h"
#include "ui/file_dialogs.h"

class QDateEdit;
class QTimeEdit;
class QLineEdit;
class QRadioButton;

namespace k730 {
class OperatorPrompt;
}

namespace k730::ui {

// Control ids of the window.
namespace imc {
constexpr int kMakeFile = 1;
constexpr int kCancel = 2;
constexpr int kMakeImg = 1129;
constexpr int kMakePda = 1130;
constexpr int kCombine = 1131;
constexpr int kSplit = 1132;
constexpr int kDate = 1120;
constexpr int kTime = 1121;
constexpr int kVersion = 1066;
constexpr int kFileName = 1076;
constexpr int kPhone = 1124;
constexpr int kIpl = 1125;
constexpr int kWidebin = 1126;
constexpr int kResource = 1128;
constexpr int kPdaData = 1127;
constexpr int kImgOrPda = 1134;
}  // namespace imc

constexpr const char* kImageMakerCaption = "KRV Image Maker";

// A large push-like button whose caption wraps over several lines. After a
// source is chosen it shows that source's text: the path elided in its middle
// to one line, the other pieces wrapped between them, and the whole text in
// the tooltip, so a long path hides neither the title nor the figures.
class SourceButton : public QPushButton {
  Q_OBJECT

 public:
  SourceButton(const QString& caption, QWidget* parent);
  // The text as built ("\r\n" included); empty until chosen.
  const QString& InfoText() const { return info_; }
  // path: the source's path as it stands in text (the part that is elided).
  void SetInfoText(const QString& text, const QString& path);
  // The lines drawn on the button's face at its present size and font.
  QStringList DisplayLines() const;
  // Where those lines go.
  QRect TextRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString info_;
  QString path_;
};

class ImageMakerWindow : public QDialog {
  Q_OBJECT

 public:
  // dialogs and prompt outlive the window; they are the seams tests answer.
  ImageMakerWindow(FileDialogs& dialogs, OperatorPrompt& prompt, QWidget* parent = nullptr);
  ~ImageMakerWindow() override;

  // The filter string of a source's file dialog, as the job gives it.
  static const char* SourceFilter(SourceKind kind);
  // Enabled and visible per source button and operation.
  struct SourceState {
    bool visible;
    bool enabled;
  };
  static SourceState LayoutOf(ImageOperation operation, SourceKind kind);

  // True while a source is read or an operation runs.
  bool Busy() const { return job_.Busy(); }
  const ImageMaker& Maker() const { return maker_; }
  // The last operation's result (after Make File).
  const MakeResult& LastResult() const { return lastResult_; }

  void accept() override;
  void reject() override;

 protected:
  // Input to the controls is ignored while Busy(): the fields are written
  // back when the work ends, which would drop whatever was typed meanwhile.
  bool eventFilter(QObject* watched, QEvent* event) override;

 Q_SIGNALS:
  // After a source was read or an operation ended (the window may be closed).
  void workFinished();

 private:
  void Build();
  void InitFields();
  void ApplyLayout(ImageOperation operation);
  void ReadControls();
  void WriteControls();
  void ChooseSource(SourceKind kind);
  void MakeFile();
  MakeResult RunOperation();
  SourceButton* ButtonOf(SourceKind kind) const;

  FileDialogs& dialogs_;
  OperatorPrompt& prompt_;
  ImageMaker maker_;
  MakeResult lastResult_;
  BackgroundJob job_;

  std::array<QRadioButton*, 4> operationRadios_{};
  std::array<SourceButton*, kSourceKindCount> sourceButtons_{};
  QDateEdit* date_ = nullptr;
  QTimeEdit* time_ = nullptr;
  QLineEdit* version_ = nullptr;
  QLineEdit* fileName_ = nullptr;
  QPushButton* makeFile_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

}  // namespace k730::ui
