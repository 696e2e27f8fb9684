#include "ui/console_window.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QShortcut>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "console/console_ids.h"
#include "console/downloader_dialog.h"
#include "ui/about_dialog.h"
#include "ui/device_windows.h"
#include "ui/image_maker_window.h"
#include "ui/mode_switch_window.h"
#include "ui/ui_style.h"

namespace k730::ui {

namespace {

constexpr int kOkCommand = 1;
constexpr int kPortLow = 0;
constexpr int kPortHigh = 100;

// The two positions beyond the six slots: present, hidden and never addressed.
constexpr std::array<int, 2> kSpareLogPanes{1125, 1126};
constexpr std::array<int, 2> kSpareStatusBoxes{1107, 1108};
constexpr std::array<int, 2> kSpareProgressBars{1089, 1090};

// The outcome colours: light fills for the status box and the bar's groove,
// a strong one for the bar's chunk.
const QColor kCompletedFill(0xc8, 0xe6, 0xc9);
const QColor kCompletedChunk(0x2e, 0x7d, 0x32);
const QColor kFailedFill(0xff, 0xcd, 0xd2);
const QColor kFailedChunk(0xc6, 0x28, 0x28);

// Described lines that are meant to stand on one line of a pane.
const char* const kUnbrokenLines[] = {
    "========================================", "KRV USB Downloader with PalmDriver",
    "[PHONE:0]m_PhoneThread[0] : DDDDDDDD",     "[PHONE:0]START2, ERASE Start Fail.",
    "Loading File(PH+PDA:42991616 bytes)",
};

// The slot's status box: read-only and disabled as described, but drawn in
// the enabled colours so its text stays legible; filled by the outcome.
QPalette StatusPalette(const QPalette& base, SlotRunState state) {
  QPalette palette = base;
  for (QPalette::ColorRole role : {QPalette::Text, QPalette::Base, QPalette::Window})
    palette.setColor(QPalette::Disabled, role, base.color(QPalette::Active, role));
  if (state == SlotRunState::Completed || state == SlotRunState::Failed) {
    const QColor fill = state == SlotRunState::Completed ? kCompletedFill : kFailedFill;
    palette.setColor(QPalette::Base, fill);
    palette.setColor(QPalette::Disabled, QPalette::Base, fill);
  }
  return palette;
}

QPalette BarPalette(const QPalette& base, SlotRunState state) {
  QPalette palette = base;
  if (state == SlotRunState::Completed || state == SlotRunState::Failed) {
    const bool completed = state == SlotRunState::Completed;
    palette.setColor(QPalette::Highlight, completed ? kCompletedChunk : kFailedChunk);
    palette.setColor(QPalette::Base, completed ? kCompletedFill : kFailedFill);
    palette.setColor(QPalette::HighlightedText, Qt::white);
  }
  return palette;
}

const char* OutcomeName(SlotRunState state) {
  switch (state) {
    case SlotRunState::Completed:
      return "completed";
    case SlotRunState::Failed:
      return "failed";
    default:
      return "";
  }
}

// Hidden by the device mode, the controls keep their place: the layout never shifts.
void KeepPlaceWhenHidden(std::initializer_list<QWidget*> controls) {
  for (QWidget* control : controls) {
    QSizePolicy policy = control->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    control->setSizePolicy(policy);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// LogPane

LogPane::LogPane(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setAcceptDrops(false);
  // The room left above the rows looks like the rest of the pane.
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
}

void LogPane::AppendText(const QString& text) {
  QString shown = text;
  shown.remove(QLatin1Char('\r'));
  if (shown.isEmpty()) return;
  if (owedBreak_) shown.prepend(QLatin1Char('\n'));
  owedBreak_ = shown.endsWith(QLatin1Char('\n'));
  if (owedBreak_) shown.chop(1);
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(shown);
  ScrollToEnd();
}

void LogPane::ClearText() {
  clear();
  owedBreak_ = false;
}

QString LogPane::Text() const {
  QString text = toPlainText();
  if (owedBreak_) text += QLatin1Char('\n');
  return text;
}

int LogPane::WidthForLines() const {
  const QFontMetrics metrics(font());
  int widest = 0;
  for (const char* line : kUnbrokenLines)
    widest = std::max(widest, metrics.horizontalAdvance(QString::fromLatin1(line)));
  const int margin = static_cast<int>(std::ceil(document()->documentMargin()));
  // The layout reserves a cursor's width at the end of every line.
  return widest + 2 * margin + 2 * frameWidth() + verticalScrollBar()->sizeHint().width() + 4;
}

void LogPane::resizeEvent(QResizeEvent* event) {
  QScrollBar* bar = verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  // The rows are fitted before the base class sets the scroll range from the
  // viewport's height.
  FitWholeRows();
  QPlainTextEdit::resizeEvent(event);
  if (atEnd) ScrollToEnd();
}

void LogPane::FitWholeRows() {
  // Scrolled to its end, the pane shows as many whole rows as fit above the
  // bottom margin, from its top edge down; what is left over goes above them,
  // so the last line sits at the bottom and no part row is shown.
  const int height = contentsRect().height();
  // A one-line block as the document lays it out: whole pixels, where the
  // font's own height has a fraction. The scroll range keeps the document's
  // margin free below the last row, and counts the last block's own margin.
  const double row = std::ceil(QFontMetricsF(font()).height());
  const double below = 2 * document()->documentMargin() + 1;
  if (row <= 0 || height <= below + row) return;
  const int spare = static_cast<int>(std::fmod(height - below, row));
  if (spare != viewportMargins().top()) setViewportMargins(0, spare, 0, 0);
}

void LogPane::ScrollToEnd() {
  moveCursor(QTextCursor::End);
  ensureCursorVisible();
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

// ---------------------------------------------------------------------------
// UpDownControl

UpDownControl::UpDownControl(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  up_ = new QToolButton(this);
  up_->setObjectName(QStringLiteral("up"));
  up_->setArrowType(Qt::UpArrow);
  up_->setAutoRepeat(true);
  up_->setFocusPolicy(Qt::NoFocus);
  down_ = new QToolButton(this);
  down_->setObjectName(QStringLiteral("down"));
  down_->setArrowType(Qt::DownArrow);
  down_->setAutoRepeat(true);
  down_->setFocusPolicy(Qt::NoFocus);
  for (QToolButton* button : {up_, down_})
    button->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
  layout->addWidget(up_);
  layout->addWidget(down_);
  connect(up_, &QToolButton::clicked, this, [this] { StepBy(1); });
  connect(down_, &QToolButton::clicked, this, [this] { StepBy(-1); });
}

void UpDownControl::SetRange(int low, int high) {
  low_ = low;
  high_ = std::max(low, high);
}

int UpDownControl::Value() const {
  return buddy_ ? buddy_->text().toInt() : low_;
}

void UpDownControl::SetValue(int value) {
  const int clamped = std::clamp(value, low_, high_);
  if (buddy_) buddy_->setText(QString::number(clamped));
  Q_EMIT valueChanged(clamped);
}

void UpDownControl::StepBy(int steps) {
  // A buddy holding a value outside the range (a stored setting) steps from
  // the nearest end.
  SetValue(std::clamp(Value(), low_, high_) + steps);
}

void UpDownControl::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Up) {
    StepBy(1);
  } else if (event->key() == Qt::Key_Down) {
    StepBy(-1);
  } else {
    QWidget::keyPressEvent(event);
  }
}

// ---------------------------------------------------------------------------
// Building the window

ConsoleWindow::ConsoleWindow(FileDialogs& dialogs, QWidget* parent)
    : QDialog(parent), dialogs_(dialogs), prompt_(this), tasks_(this) {
  Build();
  ApplyInitialStates();
  FormFromControls();
}

ConsoleWindow::~ConsoleWindow() {
  StopConsole();
}

void ConsoleWindow::Build() {
  setWindowTitle(QString::fromUtf8(kConsoleCaption));
  setWindowIcon(AppIcon());
  setFont(DialogFont());
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setAcceptDrops(true);
  setSizeGripEnabled(false);
  const DialogUnits du(font());

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(du.X(7), du.Y(7), du.X(7), du.Y(7));
  outer->setSpacing(du.Y(4));
  outer->addWidget(BuildJobArea());

  auto* pathLabel = new QLabel(QStringLiteral(" Select image file to Download"), this);
  pathLabel->setObjectName(QStringLiteral("labelPath"));
  outer->addWidget(pathLabel);
  auto* pathRow = new QHBoxLayout;
  pathRow->setSpacing(du.X(4));
  path_ = new QLineEdit(this);
  SetControlId(path_, ctl::kPath);
  path_->setReadOnly(true);
  path_->setAlignment(Qt::AlignCenter);
  path_->setAcceptDrops(false);
  controls_[ctl::kPath] = path_;
  auto* browse = new QPushButton(QStringLiteral("&Browser"), this);
  SetControlId(browse, ctl::kBrowse);
  controls_[ctl::kBrowse] = browse;
  browse->setMinimumWidth(du.X(50));
  connect(browse, &QPushButton::clicked, this, [this] { PostCommand(ctl::kBrowse); });
  pathRow->addWidget(path_, 1);
  pathRow->addWidget(browse);
  outer->addLayout(pathRow);

  outer->addWidget(BuildSlots(), 1);
  outer->addWidget(BuildButtonRow());

  for (QPushButton* button : findChildren<QPushButton*>()) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  // The template's size, or more where this font's lines need it.
  const QSize size = du.Size(367, 361).expandedTo(layout()->minimumSize());
  setMinimumSize(size);
  resize(size);
}

QWidget* ConsoleWindow::BuildJobArea() {
  const DialogUnits du(font());
  auto* area = new QWidget(this);
  auto* row = new QHBoxLayout(area);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(du.X(6));

  // Device radios, and the port base below them.
  auto* left = new QVBoxLayout;
  left->setSpacing(du.Y(3));
  auto* device = new QGroupBox(QStringLiteral("Device"), area);
  device->setObjectName(QStringLiteral("groupDevice"));
  auto* deviceLayout = new QVBoxLayout(device);
  auto* deviceGroup = new QButtonGroup(this);
  const char* deviceCaptions[] = {"PDA+PHONE", "PHONE ", "PDA "};
  for (int k = 0; k < 3; ++k) {
    auto* radio = new QRadioButton(QString::fromUtf8(deviceCaptions[k]), device);
    const int id = ctl::kDeviceRadios[k];
    SetControlId(radio, id);
    controls_[id] = radio;
    deviceRadios_[k] = radio;
    deviceGroup->addButton(radio, k);
    deviceLayout->addWidget(radio);
    connect(radio, &QRadioButton::toggled, this, [this] { FormFromControls(); });
    connect(radio, &QRadioButton::clicked, this, [this, id] { PostCommand(id); });
  }
  left->addWidget(device);

  auto* portLabel = new QLabel(QStringLiteral("Select Com Port"), area);
  SetControlId(portLabel, ctl::kPortLabel);
  controls_[ctl::kPortLabel] = portLabel;
  left->addWidget(portLabel);
  auto* portRow = new QHBoxLayout;
  portRow->setSpacing(0);
  portEdit_ = new QLineEdit(QStringLiteral("0"), area);
  SetControlId(portEdit_, ctl::kPortEdit);
  controls_[ctl::kPortEdit] = portEdit_;
  portEdit_->setEnabled(false);
  portEdit_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  portEdit_->setFixedWidth(du.X(32));
  portSpin_ = new UpDownControl(area);
  SetControlId(portSpin_, ctl::kPortSpin);
  controls_[ctl::kPortSpin] = portSpin_;
  portSpin_->SetBuddy(portEdit_);
  portSpin_->SetRange(kPortLow, kPortHigh);
  portSpin_->setFixedSize(du.X(11), portEdit_->sizeHint().height());
  KeepPlaceWhenHidden({portLabel, portEdit_, portSpin_});
  connect(portSpin_, &UpDownControl::valueChanged, this, [this] { FormFromControls(); });
  portRow->addWidget(portEdit_);
  portRow->addWidget(portSpin_);
  portRow->addStretch(1);
  left->addLayout(portRow);
  left->addStretch(1);
  row->addLayout(left);

  // Phone and PDA modes, two columns in one frame.
  auto* modes = new QGroupBox(QStringLiteral("Download Mode"), area);
  modes->setObjectName(QStringLiteral("groupDownloadMode"));
  auto* modeColumns = new QHBoxLayout(modes);
  auto* phoneColumn = new QVBoxLayout;
  auto* pdaColumn = new QVBoxLayout;
  auto* phoneGroup = new QButtonGroup(this);
  auto* pdaGroup = new QButtonGroup(this);
  const char* phoneCaptions[] = {"[PH]Normal", "[PH]Emergency", "[PH]Ch.Normal", "[PH]Ch.Emergency",
                                 "[PH]Skip"};
  for (int k = 0; k < 5; ++k) {
    auto* radio = new QRadioButton(QString::fromUtf8(phoneCaptions[k]), modes);
    const int id = ctl::kPhoneRadios[k];
    SetControlId(radio, id);
    controls_[id] = radio;
    phoneRadios_[k] = radio;
    phoneGroup->addButton(radio, k);
    phoneColumn->addWidget(radio);
    connect(radio, &QRadioButton::toggled, this, [this] { FormFromControls(); });
  }
  phoneColumn->addStretch(1);
  const char* pdaCaptions[] = {"[PDA]smallrom", "[PDA]BigRom",  "[PDA]Resource", "[PDA]ALL",
                               "[PDA]DFormat",  "[PDA]Widebin", "[PDA]Bigrom",   "[PDA]Skip"};
  for (int k = 0; k < 8; ++k) {
    auto* radio = new QRadioButton(QString::fromUtf8(pdaCaptions[k]), modes);
    const int id = ctl::kPdaRadios[k];
    SetControlId(radio, id);
    controls_[id] = radio;
    pdaRadios_[k] = radio;
    pdaGroup->addButton(radio, k);
    pdaColumn->addWidget(radio);
    connect(radio, &QRadioButton::toggled, this, [this] { FormFromControls(); });
  }
  pdaColumn->addStretch(1);
  modeColumns->addLayout(phoneColumn);
  modeColumns->addSpacing(du.X(8));
  modeColumns->addLayout(pdaColumn);
  row->addWidget(modes);
  row->addStretch(1);

  // The window menu and the Go button.
  auto* right = new QVBoxLayout;
  right->setSpacing(du.Y(4));
  menuButton_ = new QToolButton(area);
  menuButton_->setObjectName(QStringLiteral("windowMenu"));
  menuButton_->setIcon(AppIcon());
  menuButton_->setText(QStringLiteral("Menu"));
  menuButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  menuButton_->setToolTip(QStringLiteral("Window menu (F10 or Alt+Space): ") +
                          QString::fromUtf8(kAboutMenuText).remove(QLatin1Char('&')));
  menuButton_->setPopupMode(QToolButton::InstantPopup);
  menuButton_->setAutoRaise(true);
  windowMenu_ = new QMenu(menuButton_);
  windowMenu_->setObjectName(QStringLiteral("systemMenu"));
  windowMenu_->setSeparatorsCollapsible(false);
  windowMenu_->addSeparator();
  QAction* about = windowMenu_->addAction(QString::fromUtf8(kAboutMenuText));
  about->setObjectName(QStringLiteral("aboutAction"));
  about->setData(kAboutCommand);
  connect(about, &QAction::triggered, this, [this] { RunCommand(kAboutCommand); });
  menuButton_->setMenu(windowMenu_);
  for (const QKeySequence& keys :
       {QKeySequence(Qt::Key_F10), QKeySequence(Qt::ALT | Qt::Key_Space)}) {
    auto* shortcut = new QShortcut(keys, this);
    connect(shortcut, &QShortcut::activated, menuButton_, &QToolButton::showMenu);
  }
  right->addWidget(menuButton_, 0, Qt::AlignRight);
  auto* go = new QPushButton(QStringLiteral("&Go"), area);
  SetControlId(go, ctl::kGo);
  controls_[ctl::kGo] = go;
  go->setMinimumSize(du.X(60), du.Y(40));
  QFont goFont = go->font();
  goFont.setBold(true);
  goFont.setPointSize(goFont.pointSize() + 3);
  go->setFont(goFont);
  connect(go, &QPushButton::clicked, this, [this] { PostCommand(ctl::kGo); });
  right->addWidget(go);
  // Continuous operation: off at every start, never stored.
  auto* repeat = new QCheckBox(QStringLiteral("Repeat"), area);
  SetControlId(repeat, ctl::kRepeat);
  controls_[ctl::kRepeat] = repeat;
  repeat->setToolTip(
      QStringLiteral("Flash unit after unit: a slot starts again when a new unit is plugged in"));
  connect(repeat, &QCheckBox::toggled, this, [this](bool on) {
    if (dialog_ && consoleRunning_) dialog_->PostRepeat(on);
  });
  right->addWidget(repeat, 0, Qt::AlignHCenter);
  right->addStretch(1);
  row->addLayout(right);
  return area;
}

QWidget* ConsoleWindow::BuildSlots() {
  const DialogUnits du(font());
  auto* area = new QWidget(this);
  auto* grid = new QGridLayout(area);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setHorizontalSpacing(du.X(6));
  grid->setVerticalSpacing(du.Y(4));
  for (int position = 0; position < 8; ++position) {
    const bool spare = position >= kSlotCount;
    const int logId = spare ? kSpareLogPanes[position - kSlotCount] : ctl::kLogPane[position];
    const int statusId =
        spare ? kSpareStatusBoxes[position - kSlotCount] : ctl::kStatusBox[position];
    const int barId =
        spare ? kSpareProgressBars[position - kSlotCount] : ctl::kProgressBar[position];

    auto* cell = new QWidget(area);
    cell->setObjectName(QStringLiteral("slot%1").arg(position));
    auto* cellLayout = new QVBoxLayout(cell);
    cellLayout->setContentsMargins(0, 0, 0, 0);
    cellLayout->setSpacing(du.Y(2));
    auto* top = new QHBoxLayout;
    top->setSpacing(du.X(3));
    auto* status = new QLineEdit(cell);
    SetControlId(status, statusId);
    status->setReadOnly(true);
    status->setAlignment(Qt::AlignCenter);
    status->setFixedWidth(du.X(40));
    status->setAcceptDrops(false);
    status->setFocusPolicy(Qt::NoFocus);
    auto* bar = new QProgressBar(cell);
    SetControlId(bar, barId);
    bar->setRange(0, 100);
    bar->setValue(0);
    // The text is the slot's times, never a percentage.
    bar->setFormat(QString());
    bar->setTextVisible(true);
    bar->setAlignment(Qt::AlignCenter);
    bar->setFixedHeight(status->sizeHint().height());
    KeepPlaceWhenHidden({status, bar});
    top->addWidget(status);
    top->addWidget(bar, 1);
    cellLayout->addLayout(top);
    auto* pane = new LogPane(cell);
    SetControlId(pane, logId);
    pane->setMinimumSize(pane->WidthForLines(), du.Y(40));
    cellLayout->addWidget(pane, 1);

    logPanes_[position] = pane;
    statusBoxes_[position] = status;
    progressBars_[position] = bar;
    controls_[logId] = pane;
    controls_[statusId] = status;
    controls_[barId] = bar;
    // Slot 0 top left, 1 top right, 2 middle left, ...; the spares below.
    grid->addWidget(cell, position / 2, position % 2);
    if (spare) cell->setVisible(false);
  }
  for (int column = 0; column < 2; ++column) grid->setColumnStretch(column, 1);
  for (int rowIndex = 0; rowIndex < 3; ++rowIndex) grid->setRowStretch(rowIndex, 1);
  return area;
}

QWidget* ConsoleWindow::BuildButtonRow() {
  const DialogUnits du(font());
  auto* area = new QWidget(this);
  auto* row = new QHBoxLayout(area);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(du.X(4));
  struct ButtonSpec {
    int id;
    const char* caption;
  };
  const ButtonSpec left[] = {{ctl::kModemPorts, "&Modem Ports"},
                             {ctl::kDeviceManager, "&Device Manager"},
                             {ctl::kImageMaker, "&Image Maker"},
                             {ctl::kConfiguration, "Configuration"}};
  for (const ButtonSpec& spec : left) {
    auto* button = new QPushButton(QString::fromUtf8(spec.caption), area);
    SetControlId(button, spec.id);
    controls_[spec.id] = button;
    button->setMinimumWidth(du.X(55));
    const int id = spec.id;
    connect(button, &QPushButton::clicked, this, [this, id] { RunCommand(id); });
    row->addWidget(button);
  }
  auto* saveLog = new QCheckBox(QStringLiteral("Save Log"), area);
  SetControlId(saveLog, ctl::kSaveLog);
  controls_[ctl::kSaveLog] = saveLog;
  row->addWidget(saveLog);
  row->addStretch(1);
  auto* closeButton = new QPushButton(QStringLiteral("Close"), area);
  SetControlId(closeButton, ctl::kClose);
  controls_[ctl::kClose] = closeButton;
  row->addWidget(closeButton);
  auto* exitButton = new QPushButton(QStringLiteral("exit"), area);
  SetControlId(exitButton, ctl::kExit);
  controls_[ctl::kExit] = exitButton;
  exitButton->setMinimumWidth(du.X(50));
  connect(exitButton, &QPushButton::clicked, this, [this] { RequestExit(); });
  row->addWidget(exitButton);
  return area;
}

void ConsoleWindow::ApplyInitialStates() {
  for (int id :
       {ctl::kPdaSmallRom, ctl::kPdaBigRom, ctl::kConfiguration, ctl::kSaveLog, ctl::kClose}) {
    controls_[id]->setVisible(false);
    controls_[id]->setEnabled(false);
  }
  for (int slot = 0; slot < kSlotCount; ++slot) {
    statusBoxes_[slot]->setEnabled(false);
    ShowOutcome(slot, SlotRunState::Idle);
  }
  clockTimer_ = new QTimer(this);
  clockTimer_->setInterval(1000);
  connect(clockTimer_, &QTimer::timeout, this, &ConsoleWindow::ShowSlotTimes);
  for (int k = 0; k < 2; ++k) {
    for (int id : {kSpareLogPanes[k], kSpareStatusBoxes[k], kSpareProgressBars[k]}) {
      controls_[id]->setVisible(false);
      controls_[id]->setEnabled(false);
    }
  }
}

// ---------------------------------------------------------------------------
// The console thread

void ConsoleWindow::StartConsole(DownloaderDialog& dialog) {
  if (consoleThread_.joinable()) return;
  dialog_ = &dialog;
  consoleRunning_ = true;
  consoleThread_ = std::thread([this, &dialog] {
    const int result = dialog.Run();
    consoleRunning_ = false;
    tasks_.Post([this, result] { ConsoleLoopEnded(result); });
  });
}

bool ConsoleWindow::ConsoleRunning() const {
  return consoleRunning_.load();
}

void ConsoleWindow::StopConsole() {
  if (!consoleThread_.joinable()) return;
  // Nothing may wait for the GUI thread any more: it is about to wait here.
  prompt_.Shutdown();
  {
    std::lock_guard<std::mutex> lock(callMutex_);
    callsRefused_ = true;
  }
  callDone_.notify_all();
  if (consoleRunning_) dialog_->RequestExit();
  consoleThread_.join();
}

void ConsoleWindow::ConsoleLoopEnded(int result) {
  if (consoleThread_.joinable()) consoleThread_.join();
  consoleResult_ = result;
  ApplyPendingUpdates();
  Q_EMIT consoleEnded(result);
  closing_ = true;
  done(result == kOkCommand ? QDialog::Accepted : QDialog::Rejected);
}

void ConsoleWindow::PostCommand(int controlId) {
  if (!dialog_ || !consoleRunning_ || dialog_->PostCommand(controlId)) return;
  // Dropped: the earlier click still waits, and its control keeps showing it
  // (the click just released the button).
  const auto it = controls_.find(controlId);
  if (it == controls_.end()) return;
  if (auto* button = qobject_cast<QAbstractButton*>(it->second)) button->setDown(true);
}

bool ConsoleWindow::RunGoing() const {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  return std::any_of(clocks_.begin(), clocks_.end(),
                     [](const SlotClock& clock) { return clock.State() == SlotRunState::Running; });
}

bool ConsoleWindow::MayEndNow() {
  if (!RunGoing()) return true;
  // A second request while the question is up is the same request.
  if (asking_) return false;
  asking_ = true;
  const MessageAnswer answer =
      prompt_.ShowMessage(kEndDuringRunQuestion, MessageIcon::Exclamation, MessageButtons::YesNo);
  asking_ = false;
  return answer == MessageAnswer::Yes;
}

void ConsoleWindow::RequestExit() {
  if (MayEndNow()) EndConsole();
}

void ConsoleWindow::ExitWithoutAsking() {
  EndConsole();
}

void ConsoleWindow::EndConsole() {
  if (dialog_ && consoleRunning_) {
    dialog_->RequestExit();
  } else if (!consoleThread_.joinable()) {
    closing_ = true;
    done(QDialog::Rejected);
  }
}

void ConsoleWindow::LogFromWindow(const std::string& line) {
  if (dialog_) {
    dialog_->AppendSlotLog(0, line);
  } else {
    AppendSlotText(0, line);
  }
}

// ---------------------------------------------------------------------------
// Operator input

void ConsoleWindow::closeEvent(QCloseEvent* event) {
  if (closing_ || (!consoleRunning_ && !consoleThread_.joinable())) {
    event->accept();
    return;
  }
  // Closing the window is the exit command; the window goes when the console has ended.
  event->ignore();
  RequestExit();
}

void ConsoleWindow::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
      RequestExit();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        // A focused push button takes Enter; otherwise it is the OK command.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
          button->click();
        } else if (MayEndNow()) {
          PostCommand(kOkCommand);
        }
        return;
      }
      break;
    default:
      break;
  }
  QWidget::keyPressEvent(event);
}

void ConsoleWindow::dragEnterEvent(QDragEnterEvent* event) {
  const QMimeData* data = event->mimeData();
  if (data && data->hasUrls()) {
    for (const QUrl& url : data->urls()) {
      if (url.isLocalFile()) {
        event->acceptProposedAction();
        return;
      }
    }
  }
  event->ignore();
}

void ConsoleWindow::dropEvent(QDropEvent* event) {
  std::vector<std::string> paths;
  if (const QMimeData* data = event->mimeData()) {
    for (const QUrl& url : data->urls())
      if (url.isLocalFile()) paths.push_back(url.toLocalFile().toStdString());
  }
  if (paths.empty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  if (dialog_ && consoleRunning_) dialog_->PostDropFiles(paths);
}

void ConsoleWindow::contextMenuEvent(QContextMenuEvent* event) {
  // The window's background offers the window menu, as a system menu would.
  windowMenu_->popup(event->globalPos());
}

void ConsoleWindow::RunCommand(int controlId) {
  const bool ok = auxiliaryRunner_ ? auxiliaryRunner_(controlId) : OpenAuxiliaryWindow(controlId);
  if (!ok) return;
  if (controlId == ctl::kImageMaker) LogFromWindow(kImageMakerDoneLine);
  if (controlId == ctl::kConfiguration) LogFromWindow(kConfigurationDoneLine);
}

bool ConsoleWindow::OpenAuxiliaryWindow(int controlId) {
  switch (controlId) {
    case ctl::kModemPorts: {
      // Read-only windows of their own; the console does not wait for them.
      auto* window = new ModemPortsWindow(this);
      window->setAttribute(Qt::WA_DeleteOnClose);
      window->show();
      return false;
    }
    case ctl::kDeviceManager: {
      auto* window = new DeviceManagerWindow(this);
      window->setAttribute(Qt::WA_DeleteOnClose);
      window->show();
      return false;
    }
    case ctl::kImageMaker: {
      // Modal; the console's updates keep arriving through the nested loop.
      ImageMakerWindow window(dialogs_, prompt_, this);
      return window.exec() == QDialog::Accepted;
    }
    case ctl::kConfiguration: {
      ModeSwitchWindow window(this);
      return window.exec() == QDialog::Accepted;
    }
    case kAboutCommand: {
      AboutDialog about(this);
      about.exec();
      return false;
    }
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// The form

JobForm ConsoleWindow::ControlsForm() const {
  JobForm form;
  form.imagePath = path_->text().toStdString();
  auto selected = [](const auto& radios) {
    for (size_t k = 0; k < radios.size(); ++k)
      if (radios[k]->isChecked()) return static_cast<int>(k);
    return -1;
  };
  form.deviceMode = selected(deviceRadios_);
  form.phoneMode = selected(phoneRadios_);
  form.pdaMode = selected(pdaRadios_);
  form.comPort = portEdit_->text().toInt();
  return form;
}

void ConsoleWindow::FormFromControls() {
  if (applyingForm_) return;
  const JobForm shown = ControlsForm();
  std::lock_guard<std::mutex> lock(formMutex_);
  if (appliedGeneration_ == formGeneration_) {
    form_ = shown;
  } else {
    // The console has refreshed the form since the controls were written:
    // only what the operator changed goes on top of that newer form.
    if (shown.imagePath != shownForm_.imagePath) form_.imagePath = shown.imagePath;
    if (shown.deviceMode != shownForm_.deviceMode) form_.deviceMode = shown.deviceMode;
    if (shown.phoneMode != shownForm_.phoneMode) form_.phoneMode = shown.phoneMode;
    if (shown.pdaMode != shownForm_.pdaMode) form_.pdaMode = shown.pdaMode;
    if (shown.comPort != shownForm_.comPort) form_.comPort = shown.comPort;
  }
  shownForm_ = shown;
}

void ConsoleWindow::ApplyForm() {
  JobForm form;
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(formMutex_);
    form = form_;
    generation = formGeneration_;
  }
  applyingForm_ = true;
  path_->setText(QString::fromStdString(form.imagePath));
  auto select = [](auto& radios, int index) {
    QButtonGroup* group = radios[0]->group();
    if (index < 0 || index >= static_cast<int>(radios.size())) {
      // An exclusive group cannot be emptied by unchecking one radio.
      group->setExclusive(false);
      for (QRadioButton* radio : radios) radio->setChecked(false);
      group->setExclusive(true);
    } else {
      radios[index]->setChecked(true);
    }
  };
  select(deviceRadios_, form.deviceMode);
  select(phoneRadios_, form.phoneMode);
  select(pdaRadios_, form.pdaMode);
  portEdit_->setText(QString::number(form.comPort));
  applyingForm_ = false;
  shownForm_ = ControlsForm();
  std::lock_guard<std::mutex> lock(formMutex_);
  appliedGeneration_ = generation;
  if (generation == formGeneration_) form_ = shownForm_;
}

JobForm ConsoleWindow::ReadForm() {
  std::lock_guard<std::mutex> lock(formMutex_);
  consoleKnows_ = form_;
  return form_;
}

JobForm ConsoleWindow::CurrentForm() const {
  std::lock_guard<std::mutex> lock(formMutex_);
  return form_;
}

void ConsoleWindow::RefreshForm(const JobForm& form) {
  {
    // Visible to the console's next ReadForm at once, as the controls would be.
    // The console writes back what it read; a field it did not change keeps
    // what the operator chose since it read, or that choice would be undone.
    std::lock_guard<std::mutex> lock(formMutex_);
    auto merge = [](auto& field, const auto& consoles, const auto& known) {
      if (consoles != known) field = consoles;
    };
    merge(form_.imagePath, form.imagePath, consoleKnows_.imagePath);
    merge(form_.deviceMode, form.deviceMode, consoleKnows_.deviceMode);
    merge(form_.phoneMode, form.phoneMode, consoleKnows_.phoneMode);
    merge(form_.pdaMode, form.pdaMode, consoleKnows_.pdaMode);
    merge(form_.comPort, form.comPort, consoleKnows_.comPort);
    consoleKnows_ = form;
    ++formGeneration_;
  }
  std::lock_guard<std::mutex> lock(pendingMutex_);
  formPending_ = true;
  SchedulePendingLocked();
}

// ---------------------------------------------------------------------------
// Updates from the console and the workers

void ConsoleWindow::SchedulePendingLocked() {
  if (batchPosted_) return;
  batchPosted_ = true;
  tasks_.Post([this] { ApplyPendingUpdates(); });
}

void ConsoleWindow::SetControlEnabled(int id, bool enabled) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  pendingEnabled_[id] = enabled;
  SchedulePendingLocked();
}

void ConsoleWindow::SetControlVisible(int id, bool visible) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  pendingVisible_[id] = visible;
  SchedulePendingLocked();
}

void ConsoleWindow::AppendSlotText(int slot, const std::string& text) {
  if (slot < 0 || slot >= kSlotCount) return;
  std::lock_guard<std::mutex> lock(pendingMutex_);
  pendingSlots_[slot].appended += text;
  SchedulePendingLocked();
}

void ConsoleWindow::ClearSlotText(int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  std::lock_guard<std::mutex> lock(pendingMutex_);
  pendingSlots_[slot].cleared = true;
  pendingSlots_[slot].appended.clear();
  SchedulePendingLocked();
}

void ConsoleWindow::SetSlotProgress(int slot, uint32_t percent) {
  if (slot < 0 || slot >= kSlotCount) return;
  std::lock_guard<std::mutex> lock(pendingMutex_);
  pendingSlots_[slot].progress = percent;
  clocks_[slot].SetProgress(percent, SlotClock::Clock::now());
  SchedulePendingLocked();
}

void ConsoleWindow::SetSlotRunState(int slot, SlotRunState state) {
  if (slot < 0 || slot >= kSlotCount) return;
  std::lock_guard<std::mutex> lock(pendingMutex_);
  clocks_[slot].SetRunState(state, SlotClock::Clock::now());
  SchedulePendingLocked();
}

void ConsoleWindow::SetSlotPhase(int slot, SlotPhase phase) {
  if (slot < 0 || slot >= kSlotCount) return;
  std::lock_guard<std::mutex> lock(pendingMutex_);
  clocks_[slot].SetPhase(phase, SlotClock::Clock::now());
  SchedulePendingLocked();
}

void ConsoleWindow::ShowSlotTimes() {
  std::array<SlotRunState, kSlotCount> states{};
  std::array<QString, kSlotCount> texts;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    const auto now = SlotClock::Clock::now();
    for (int slot = 0; slot < kSlotCount; ++slot) {
      states[slot] = clocks_[slot].State();
      texts[slot] = QString::fromStdString(clocks_[slot].Text(now));
    }
  }
  bool running = false;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (states[slot] != shownState_[slot]) ShowOutcome(slot, states[slot]);
    if (progressBars_[slot]->format() != texts[slot]) progressBars_[slot]->setFormat(texts[slot]);
    running = running || states[slot] == SlotRunState::Running;
  }
  // The elapsed times tick while a slot runs, and only then.
  if (running && !clockTimer_->isActive()) clockTimer_->start();
  if (!running && clockTimer_->isActive()) clockTimer_->stop();
}

void ConsoleWindow::ShowOutcome(int slot, SlotRunState state) {
  shownState_[slot] = state;
  QLineEdit* status = statusBoxes_[slot];
  QProgressBar* bar = progressBars_[slot];
  const QPalette base = palette();
  status->setPalette(StatusPalette(base, state));
  bar->setPalette(BarPalette(base, state));
  status->setProperty("outcome", QString::fromLatin1(OutcomeName(state)));
  bar->setProperty("outcome", QString::fromLatin1(OutcomeName(state)));
}

void ConsoleWindow::SetSlotStatusText(int slot, const std::string& text) {
  if (slot < 0 || slot >= kSlotCount) return;
  std::lock_guard<std::mutex> lock(pendingMutex_);
  pendingSlots_[slot].status = text;
  SchedulePendingLocked();
}

void ConsoleWindow::SetSlotUnitCounts(int slot, int completed, int failed) {
  if (slot < 0 || slot >= kSlotCount) return;
  std::lock_guard<std::mutex> lock(pendingMutex_);
  pendingSlots_[slot].units = std::make_pair(completed, failed);
  SchedulePendingLocked();
}

void ConsoleWindow::SetBusy(bool busy) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  pendingBusy_ = busy;
  SchedulePendingLocked();
}

void ConsoleWindow::SetCommandPending(int controlId, bool pending) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  pendingTaken_[controlId] = pending;
  SchedulePendingLocked();
}

void ConsoleWindow::ApplyPendingUpdates() {
  std::array<PendingSlot, kSlotCount> slots;
  std::map<int, bool> enabled, visible, taken;
  std::optional<bool> busy;
  bool form = false;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    slots.swap(pendingSlots_);
    enabled.swap(pendingEnabled_);
    visible.swap(pendingVisible_);
    taken.swap(pendingTaken_);
    std::swap(busy, pendingBusy_);
    std::swap(form, formPending_);
    batchPosted_ = false;
  }
  bool openedNow = false;
  for (const auto& [id, on] : enabled) {
    const auto it = controls_.find(id);
    if (it == controls_.end()) continue;
    it->second->setEnabled(on);
    if (id == ctl::kGo && on && !opened_) openedNow = true;
  }
  for (const auto& [id, on] : visible) {
    const auto it = controls_.find(id);
    if (it != controls_.end()) it->second->setVisible(on);
  }
  if (form) ApplyForm();
  // A click the console has taken but not handled yet keeps its control down.
  for (const auto& [id, down] : taken) {
    const auto it = controls_.find(id);
    if (it == controls_.end()) continue;
    if (auto* button = qobject_cast<QAbstractButton*>(it->second)) button->setDown(down);
  }
  if (busy) {
    if (*busy) {
      setCursor(Qt::BusyCursor);
    } else {
      unsetCursor();
    }
  }
  for (int slot = 0; slot < kSlotCount; ++slot) {
    PendingSlot& pending = slots[slot];
    LogPane* pane = logPanes_[slot];
    if (pending.cleared) pane->ClearText();
    if (!pending.appended.empty()) pane->AppendText(QString::fromStdString(pending.appended));
    if (pending.progress)
      progressBars_[slot]->setValue(static_cast<int>(std::min<uint32_t>(*pending.progress, 100)));
    if (pending.status) statusBoxes_[slot]->setText(QString::fromStdString(*pending.status));
    if (pending.units)
      progressBars_[slot]->setToolTip(QStringLiteral("Units completed: %1, failed: %2")
                                          .arg(pending.units->first)
                                          .arg(pending.units->second));
  }
  ShowSlotTimes();
  if (appliedHook_) appliedHook_();
  if (openedNow) {
    opened_ = true;
    if (openedHook_) openedHook_();
  }
}

// ---------------------------------------------------------------------------
// Questions of the console

std::optional<std::string> ConsoleWindow::ChooseOpenFile(const FileDialogSpec& spec) {
  auto choose = [this, spec]() -> std::optional<std::string> {
    OpenFileRequest request;
    request.pipeFilter = spec.filter;
    request.filters = FiltersFromPipes(spec.filter);
    request.initialName = QString::fromStdString(spec.initialName);
    request.defaultSuffix = QString::fromStdString(spec.defaultExtension);
    const std::optional<QString> path = dialogs_.OpenFile(this, request);
    if (!path) return std::nullopt;
    return path->toStdString();
  };
  if (QThread::currentThread() == thread()) return choose();

  struct Pending {
    bool done = false;
    std::optional<std::string> path;
  };
  auto pending = std::make_shared<Pending>();
  {
    std::lock_guard<std::mutex> lock(callMutex_);
    if (callsRefused_) return std::nullopt;
  }
  tasks_.Post([this, choose, pending] {
    {
      std::lock_guard<std::mutex> lock(callMutex_);
      if (callsRefused_) return;
    }
    std::optional<std::string> path = choose();
    std::lock_guard<std::mutex> lock(callMutex_);
    pending->path = std::move(path);
    pending->done = true;
    callDone_.notify_all();
  });
  std::unique_lock<std::mutex> lock(callMutex_);
  callDone_.wait(lock, [&] { return pending->done || callsRefused_; });
  return pending->done ? pending->path : std::nullopt;
}

MessageAnswer ConsoleWindow::ShowMessage(const std::string& text, MessageIcon icon,
                                         MessageButtons buttons) {
  return prompt_.ShowMessage(text, icon, buttons);
}

bool ConsoleWindow::RunAuxiliaryCommand(int controlId) {
  // The console thread must not wait for a window: it keeps handling worker
  // events while one is open. The window opens on the GUI thread, which
  // writes the line of an OK close itself.
  if (QThread::currentThread() == thread()) {
    RunCommand(controlId);
    return false;
  }
  tasks_.Post([this, controlId] { RunCommand(controlId); });
  return false;
}

}  // namespace k730::ui
