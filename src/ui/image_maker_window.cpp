#include "ui/image_maker_window.h"

#include <QDateEdit>
#include <QDateTime>
#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <algorithm>

#include "core/operator_prompt.h"
#include "ui/ui_style.h"

namespace k730::ui {

namespace {

constexpr std::array<int, kSourceKindCount> kSourceIds{
    imc::kPhone, imc::kIpl, imc::kWidebin, imc::kResource, imc::kPdaData, imc::kImgOrPda};

struct SourcePlace {
  const char* caption;
  int x, y, width, height;
};
// In SourceKind order.
constexpr std::array<SourcePlace, kSourceKindCount> kSourcePlaces{{
    {"&Phone Binary", 121, 9, 178, 49},
    {"&IPL", 122, 65, 178, 49},
    {"&WIDEBIN", 122, 120, 178, 49},
    {"&Resource Data", 122, 174, 178, 50},
    {"PDA data", 122, 65, 178, 50},
    {"IM&G or PDA File", 121, 11, 178, 50},
}};

StampDateTime FromQt(const QDate& date, const QTime& time) {
  StampDateTime t;
  t.year = date.year();
  t.month = date.month();
  t.day = date.day();
  t.hour = time.hour();
  t.minute = time.minute();
  t.second = time.second();
  return t;
}

QString LiteralForButton(const QString& text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('&'), QStringLiteral("&&"));
  return shown;
}

// Splits text (its outer blanks dropped) at runs of at least minGap blanks:
// the pieces, and the run before each piece but the first.
void SplitAtGaps(const QString& text, int minGap, QStringList& pieces, QStringList& gaps) {
  const QString trimmed = text.trimmed();
  QString gapBefore;
  qsizetype start = 0;
  qsizetype i = 0;
  while (i < trimmed.size()) {
    if (trimmed[i] != QLatin1Char(' ')) {
      ++i;
      continue;
    }
    qsizetype end = i;
    while (end < trimmed.size() && trimmed[end] == QLatin1Char(' ')) ++end;
    if (end - i >= minGap) {
      if (!pieces.isEmpty()) gaps << gapBefore;
      pieces << trimmed.mid(start, i - start);
      gapBefore = trimmed.mid(i, end - i);
      start = end;
    }
    i = end;
  }
  if (start < trimmed.size()) {
    if (!pieces.isEmpty()) gaps << gapBefore;
    pieces << trimmed.mid(start);
  }
}

// The line's pieces (apart by two blanks or more), greedily joined into lines
// no wider than width; a piece wider than that is wrapped at its blanks, and a
// word wider than that alone is elided in its middle.
QStringList WrapLine(const QString& line, const QFontMetrics& metrics, int width, int minGap = 2) {
  QStringList pieces, gaps;
  SplitAtGaps(line, minGap, pieces, gaps);
  QStringList out;
  QString current;
  for (qsizetype k = 0; k < pieces.size(); ++k) {
    const QString& piece = pieces[k];
    if (!current.isEmpty()) {
      const QString joined = current + gaps[k - 1] + piece;
      if (metrics.horizontalAdvance(joined) <= width) {
        current = joined;
        continue;
      }
      out << current;
      current.clear();
    }
    if (metrics.horizontalAdvance(piece) <= width) {
      current = piece;
    } else if (minGap > 1) {
      QStringList parts = WrapLine(piece, metrics, width, 1);
      if (!parts.isEmpty()) current = parts.takeLast();
      out << parts;
    } else {
      out << metrics.elidedText(piece, Qt::ElideMiddle, width);
    }
  }
  if (!current.isEmpty()) out << current;
  return out;
}

}  // namespace

SourceButton::SourceButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
  setToolTip(QStringLiteral("Choose the %1 file").arg(QString(caption).remove(QLatin1Char('&'))));
}

void SourceButton::SetInfoText(const QString& text, const QString& path) {
  info_ = text;
  path_ = path;
  setText(LiteralForButton(text));
  QString tip = text;
  tip.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  setToolTip(tip.trimmed());
  update();
}

QRect SourceButton::TextRect() const {
  QStyleOptionButton option;
  initStyleOption(&option);
  const int margin = style()->pixelMetric(QStyle::PM_ButtonMargin, &option, this);
  return rect().adjusted(margin, margin, -margin, -margin);
}

QStringList SourceButton::DisplayLines() const {
  const QFontMetrics metrics(font());
  const int width = TextRect().width();
  QString shown = info_;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QStringList lines;
  for (const QString& line : shown.split(QLatin1Char('\n'))) {
    const qsizetype at = path_.isEmpty() ? -1 : line.indexOf(path_);
    if (at < 0) {
      lines << WrapLine(line, metrics, width);
      continue;
    }
    // The path on a line of its own, elided in the middle: its start names
    // the folder, its end the file.
    const QString head = line.left(at);
    const QString path =
        metrics.elidedText(path_, Qt::ElideMiddle, width - metrics.horizontalAdvance(head));
    lines << head + path;
    lines << WrapLine(line.mid(at + path_.size()), metrics, width);
  }
  return lines;
}

void SourceButton::paintEvent(QPaintEvent* event) {
  if (info_.isEmpty()) {
    QPushButton::paintEvent(event);
    return;
  }
  // The bevel from the style, the lines centred on the button's face.
  QStylePainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  option.text.clear();
  painter.drawControl(QStyle::CE_PushButton, option);
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
  const QStringList lines = DisplayLines();
  const QRect area = TextRect();
  const int lineHeight = fontMetrics().lineSpacing();
  const int height = static_cast<int>(lines.size()) * lineHeight;
  int y = area.top() + std::max(0, (area.height() - height) / 2);
  painter.setClipRect(area);
  for (const QString& line : lines) {
    painter.drawText(QRect(area.left(), y, area.width(), lineHeight),
                     Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, line);
    y += lineHeight;
  }
}

const char* ImageMakerWindow::SourceFilter(SourceKind kind) {
  switch (kind) {
    case SourceKind::Phone:
      return "Phone binary(*.BIN)|*.BIN|*.*|*.*||";
    case SourceKind::Ipl:
      return "IPL binary(*.BIN)|*.BIN|*.*|*.*||";
    case SourceKind::Widebin:
      return "Widebin(*.Widebin)|*.Widebin|*.*|*.*||";
    case SourceKind::Resource:
      return "TOVA_Resource (*.BIN)|*.BIN|*.*|*.*||";
    case SourceKind::PdaData:
      return "TOVA_Korvan_Release (*.pda)|*.pda|*.*|*.*||";
    case SourceKind::ImgOrPda:
      return "United Binary  (*.img)|*.img|United Binary  (*.pda)|*.pda||";
  }
  return "";
}

ImageMakerWindow::SourceState ImageMakerWindow::LayoutOf(ImageOperation operation,
                                                         SourceKind kind) {
  const bool component = kind == SourceKind::Phone || kind == SourceKind::Ipl ||
                         kind == SourceKind::Widebin || kind == SourceKind::Resource;
  switch (operation) {
    case ImageOperation::MakeImg:
      return {component, component};
    case ImageOperation::MakePda:
      return {component, component && kind != SourceKind::Phone};
    case ImageOperation::Combine: {
      const bool shown = kind == SourceKind::Phone || kind == SourceKind::PdaData;
      return {shown, shown};
    }
    case ImageOperation::Split:
      return {kind == SourceKind::ImgOrPda, kind == SourceKind::ImgOrPda};
  }
  return {false, false};
}

ImageMakerWindow::ImageMakerWindow(FileDialogs& dialogs, OperatorPrompt& prompt, QWidget* parent)
    : QDialog(parent), dialogs_(dialogs), prompt_(prompt) {
  Build();
  InitFields();
  // Every control, the pickers' inner editors included.
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

ImageMakerWindow::~ImageMakerWindow() = default;

void ImageMakerWindow::Build() {
  setWindowTitle(QString::fromUtf8(kImageMakerCaption));
  setWindowIcon(AppIcon());
  setFont(DialogFont());
  setModal(true);
  const DialogUnits du(font());

  auto* select = new QGroupBox(QStringLiteral("Select"), this);
  select->setObjectName(QStringLiteral("groupSelect"));
  // The radios are laid out below the group's title, which this style draws
  // taller than the template's frame allows for.
  auto* selectLayout = new QVBoxLayout(select);
  selectLayout->setContentsMargins(du.X(6), du.Y(1), du.X(4), du.Y(2));
  selectLayout->setSpacing(0);

  struct RadioPlace {
    int id;
    const char* caption;
  };
  static constexpr RadioPlace kRadios[] = {
      {imc::kMakeImg, "&1.Make img file"},
      {imc::kMakePda, "&2.Make pda file"},
      {imc::kCombine, "&3.Combine Phone+pda file"},
      {imc::kSplit, "&4.SPLIT IMG"},
  };
  for (int k = 0; k < 4; ++k) {
    auto* radio = new QRadioButton(QString::fromUtf8(kRadios[k].caption), select);
    SetControlId(radio, kRadios[k].id);
    selectLayout->addWidget(radio);
    operationRadios_[k] = radio;
    const auto operation = static_cast<ImageOperation>(k);
    connect(radio, &QRadioButton::clicked, this, [this, operation] {
      if (Busy()) return;
      maker_.operation = operation;
      ApplyLayout(operation);
    });
  }
  // Wider than the template where a caption needs it, up to the source buttons.
  const int groupWidth =
      std::clamp(select->sizeHint().width(), du.X(105), du.X(117) - du.X(4) - du.X(4));
  select->setGeometry(du.X(4), du.Y(10), groupWidth, du.Y(71));

  auto* dateLabel = new QLabel(QStringLiteral("Date and Time"), this);
  dateLabel->setObjectName(QStringLiteral("labelDateTime"));
  dateLabel->setGeometry(du.Rect(6, 86, 53, 8));
  date_ = new QDateEdit(this);
  SetControlId(date_, imc::kDate);
  date_->setDisplayFormat(QLocale().dateFormat(QLocale::ShortFormat));
  date_->setCalendarPopup(true);
  date_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  date_->setGeometry(du.Rect(6, 98, 61, 15));
  time_ = new QTimeEdit(this);
  SetControlId(time_, imc::kTime);
  time_->setDisplayFormat(QStringLiteral("HH:mm:ss"));
  time_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  time_->setGeometry(du.Rect(6, 114, 61, 15));

  auto* versionLabel = new QLabel(QStringLiteral("Version"), this);
  versionLabel->setObjectName(QStringLiteral("labelVersion"));
  versionLabel->setGeometry(du.Rect(8, 136, 63, 8));
  version_ = new QLineEdit(this);
  SetControlId(version_, imc::kVersion);
  version_->setMaxLength(static_cast<int>(kMaxVersionText));
  version_->setGeometry(du.Rect(6, 146, 108, 15));

  auto* nameLabel = new QLabel(QStringLiteral("FileName"), this);
  nameLabel->setObjectName(QStringLiteral("labelFileName"));
  nameLabel->setGeometry(du.Rect(8, 166, 108, 8));
  fileName_ = new QLineEdit(this);
  SetControlId(fileName_, imc::kFileName);
  fileName_->setGeometry(du.Rect(6, 176, 108, 15));

  makeFile_ = new QPushButton(QStringLiteral("&Make File"), this);
  SetControlId(makeFile_, imc::kMakeFile);
  makeFile_->setGeometry(du.Rect(4, 198, 45, 26));
  makeFile_->setDefault(true);
  makeFile_->setAutoDefault(false);
  connect(makeFile_, &QPushButton::clicked, this, &ImageMakerWindow::accept);
  cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
  SetControlId(cancel_, imc::kCancel);
  cancel_->setGeometry(du.Rect(67, 198, 45, 26));
  cancel_->setAutoDefault(false);
  connect(cancel_, &QPushButton::clicked, this, &ImageMakerWindow::reject);

  for (int k = 0; k < kSourceKindCount; ++k) {
    const SourcePlace& place = kSourcePlaces[k];
    auto* button = new SourceButton(QString::fromUtf8(place.caption), this);
    SetControlId(button, kSourceIds[k]);
    button->setAutoDefault(false);
    button->setGeometry(du.Rect(place.x, place.y, place.width, place.height));
    sourceButtons_[k] = button;
    const auto kind = static_cast<SourceKind>(k);
    connect(button, &QPushButton::clicked, this, [this, kind] { ChooseSource(kind); });
  }
  sourceButtons_[static_cast<int>(SourceKind::ImgOrPda)]->hide();

  setFixedSize(du.Size(307, 232));
}

void ImageMakerWindow::InitFields() {
  maker_.chosen.fill(false);
  const QDateTime now = QDateTime::currentDateTime();
  maker_.buildDate = FromQt(now.date(), now.time());
  maker_.buildTime = maker_.buildDate;
  maker_.version = "10";
  maker_.fileName = "TOVA_Korvan_release";
  maker_.operation = ImageOperation::MakeImg;
  ApplyLayout(ImageOperation::MakeImg);
  WriteControls();
}

SourceButton* ImageMakerWindow::ButtonOf(SourceKind kind) const {
  return sourceButtons_[static_cast<int>(kind)];
}

void ImageMakerWindow::ApplyLayout(ImageOperation operation) {
  for (int k = 0; k < kSourceKindCount; ++k) {
    const SourceState state = LayoutOf(operation, static_cast<SourceKind>(k));
    sourceButtons_[k]->setVisible(state.visible);
    sourceButtons_[k]->setEnabled(state.enabled);
  }
}

void ImageMakerWindow::ReadControls() {
  maker_.buildDate = FromQt(date_->date(), date_->time());
  maker_.buildTime = FromQt(time_->date(), time_->time());
  maker_.version = version_->text().toStdString();
  maker_.fileName = fileName_->text().toStdString();
  for (int k = 0; k < 4; ++k)
    if (operationRadios_[k]->isChecked()) maker_.operation = static_cast<ImageOperation>(k);
}

void ImageMakerWindow::WriteControls() {
  const StampDateTime& d = maker_.buildDate;
  const StampDateTime& t = maker_.buildTime;
  date_->setDate(QDate(d.year, d.month, d.day));
  time_->setTime(QTime(t.hour, t.minute, t.second));
  version_->setText(QString::fromStdString(maker_.version));
  fileName_->setText(QString::fromStdString(maker_.fileName));
  operationRadios_[static_cast<int>(maker_.operation)]->setChecked(true);
  for (int k = 0; k < kSourceKindCount; ++k) {
    const QString text = QString::fromStdString(maker_.sourceText[k]);
    if (!text.isEmpty() && text != sourceButtons_[k]->InfoText())
      sourceButtons_[k]->SetInfoText(text, QString::fromStdString(maker_.sourcePath[k]));
  }
}

void ImageMakerWindow::ChooseSource(SourceKind kind) {
  if (Busy()) return;
  ReadControls();
  OpenFileRequest request;
  request.pipeFilter = SourceFilter(kind);
  request.filters = FiltersFromPipes(request.pipeFilter);
  const std::optional<QString> path = dialogs_.OpenFile(this, request);
  if (!path) {
    WriteControls();
    return;
  }
  const std::string chosen = path->toStdString();
  setCursor(Qt::BusyCursor);
  job_.Start([this, kind, chosen] { maker_.ChooseSource(kind, chosen); },
             [this] {
               unsetCursor();
               WriteControls();
               Q_EMIT workFinished();
             });
}

MakeResult ImageMakerWindow::RunOperation() {
  if (maker_.fileName.empty()) return maker_.MakeFile();  // refused: "Make File Name"
  std::string directory = maker_.OutputDirectory();
  if (directory.empty()) {
    // Outputs without a WIDEBIN folder go where the file dialogs left off.
    directory = QDir::cleanPath(dialogs_.CurrentDirectory()).toStdString();
    if (!directory.empty() && directory.back() != '/') directory += '/';
  }
  switch (maker_.operation) {
    case ImageOperation::MakeImg:
      return maker_.MakeImgTo(directory + maker_.fileName + ".img");
    case ImageOperation::MakePda:
      return maker_.MakePdaTo(directory + maker_.fileName + ".pda");
    case ImageOperation::Combine:
      return maker_.CombineTo(directory + maker_.fileName + ".img");
    case ImageOperation::Split:
      return maker_.SplitTo(directory);
  }
  return maker_.MakeFile();
}

void ImageMakerWindow::MakeFile() {
  ReadControls();
  setCursor(Qt::BusyCursor);
  job_.Start([this] { lastResult_ = RunOperation(); },
             [this] {
               unsetCursor();
               WriteControls();
               const MakeResult& result = lastResult_;
               if (result.outcome == MakeOutcome::Finished) {
                 QDialog::accept();
               } else if (result.outcome == MakeOutcome::Message) {
                 prompt_.ShowMessage(result.message, result.icon, result.buttons);
               }
               Q_EMIT workFinished();
             });
}

bool ImageMakerWindow::eventFilter(QObject* watched, QEvent* event) {
  if (Busy()) {
    switch (event->type()) {
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::Wheel:
      case QEvent::InputMethod:
        return true;
      default:
        break;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void ImageMakerWindow::accept() {
  if (Busy()) return;
  MakeFile();
}

void ImageMakerWindow::reject() {
  // Closing waits for a running operation: it owns files that are open.
  if (Busy()) return;
  QDialog::reject();
}

}  // namespace k730::ui
