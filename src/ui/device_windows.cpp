#include "ui/device_windows.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "pda/palm_device_watcher.h"
#include "phone/serial_port.h"
#include "ui/ui_style.h"

namespace k730::ui {

namespace {

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

QString Known(const std::string& text) {
  return text.empty() ? QStringLiteral("-") : QString::fromStdString(text);
}

QString UsbIds(const UsbDeviceInfo& usb) {
  if (usb.vendorId.empty()) return QStringLiteral("-");
  return Text(usb.vendorId) + QLatin1Char(':') + Text(usb.productId);
}

QString UsbName(const UsbDeviceInfo& usb) {
  QString name = Text(usb.manufacturer);
  if (!usb.product.empty()) {
    if (!name.isEmpty()) name += QLatin1Char(' ');
    name += Text(usb.product);
  }
  return name.isEmpty() ? QStringLiteral("-") : name;
}

// The frame both windows share: a list, a line of summary, Refresh and Close.
QTreeWidget* BuildFrame(QDialog* window, const QString& title, const QStringList& columns,
                        QLabel*& summary) {
  window->setWindowTitle(title);
  window->setWindowIcon(AppIcon());
  window->setFont(DialogFont());
  const DialogUnits du(window->font());
  auto* layout = new QVBoxLayout(window);
  auto* list = new QTreeWidget(window);
  list->setObjectName(QStringLiteral("list"));
  list->setRootIsDecorated(false);
  list->setAlternatingRowColors(true);
  list->setHeaderLabels(columns);
  list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  layout->addWidget(list, 1);
  summary = new QLabel(window);
  summary->setObjectName(QStringLiteral("summary"));
  summary->setWordWrap(true);
  layout->addWidget(summary);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* refresh = new QPushButton(QStringLiteral("&Refresh"), window);
  refresh->setObjectName(QStringLiteral("refresh"));
  auto* close = new QPushButton(QStringLiteral("Close"), window);
  close->setObjectName(QStringLiteral("close"));
  buttons->addWidget(refresh);
  buttons->addWidget(close);
  layout->addLayout(buttons);
  QObject::connect(close, &QPushButton::clicked, window, &QDialog::accept);
  window->resize(du.Size(360, 160));
  return list;
}

}  // namespace

ModemPortsWindow::ModemPortsWindow(QWidget* parent, std::string portDir, std::string sysRoot)
    : QDialog(parent),
      portDir_(portDir.empty() ? PortDirectory() : std::move(portDir)),
      sysRoot_(std::move(sysRoot)) {
  list_ = BuildFrame(this, QStringLiteral("Modem Ports"),
                     {QStringLiteral("Port"), QStringLiteral("Device"), QStringLiteral("Links to"),
                      QStringLiteral("USB id"), QStringLiteral("USB device"),
                      QStringLiteral("Serial"), QStringLiteral("Bus-port")},
                     summary_);
  connect(findChild<QPushButton*>(QStringLiteral("refresh")), &QPushButton::clicked, this,
          &ModemPortsWindow::Refresh);
  Refresh();
}

void ModemPortsWindow::Refresh() {
  list_->clear();
  const std::vector<ModemPortEntry> entries = ListModemPorts(portDir_, sysRoot_);
  for (const ModemPortEntry& entry : entries) {
    auto* item = new QTreeWidgetItem(list_);
    item->setText(0, QStringLiteral("COM%1").arg(entry.number));
    item->setText(1, Text(entry.path));
    QString target = entry.target.empty() ? Text(entry.node) : Text(entry.target);
    if (!entry.present) target += QStringLiteral(" (missing)");
    item->setText(2, target.isEmpty() ? QStringLiteral("-") : target);
    if (entry.usb) {
      item->setText(3, UsbIds(*entry.usb));
      item->setText(4, UsbName(*entry.usb));
      item->setText(5, Known(entry.usb->serial));
      item->setText(6, Text(entry.usb->sysName));
    } else {
      for (int column = 3; column <= 6; ++column) item->setText(column, QStringLiteral("-"));
    }
  }
  summary_->setText(
      QStringLiteral("%1 modem port(s) in %2").arg(entries.size()).arg(Text(portDir_)));
}

DeviceManagerWindow::DeviceManagerWindow(QWidget* parent, std::string sysRoot, std::string palmDir)
    : QDialog(parent),
      sysRoot_(std::move(sysRoot)),
      palmDir_(palmDir.empty() ? PalmDirectoryFromEnvironment() : std::move(palmDir)) {
  list_ = BuildFrame(this, QStringLiteral("Device Manager"),
                     {QStringLiteral("Kind"), QStringLiteral("Bus"), QStringLiteral("Port path"),
                      QStringLiteral("USB id"), QStringLiteral("USB device"),
                      QStringLiteral("Serial"), QStringLiteral("Ports")},
                     summary_);
  connect(findChild<QPushButton*>(QStringLiteral("refresh")), &QPushButton::clicked, this,
          &DeviceManagerWindow::Refresh);
  Refresh();
}

void DeviceManagerWindow::Refresh() {
  list_->clear();
  const LoadedHandsetIds ids = LoadHandsetIds();
  std::vector<HandsetDevice> devices = ListHandsetDevices(ids.ids, sysRoot_);
  for (HandsetDevice& simulated : ListSimulatedPalmDevices(palmDir_))
    devices.push_back(std::move(simulated));
  for (const HandsetDevice& device : devices) {
    auto* item = new QTreeWidgetItem(list_);
    switch (device.kind) {
      case HandsetDevice::Kind::PhoneModem:
        item->setText(0, QStringLiteral("Phone modem"));
        break;
      case HandsetDevice::Kind::PalmOs:
        item->setText(0, QStringLiteral("Palm OS device"));
        break;
      case HandsetDevice::Kind::SimulatedPalm:
        item->setText(0, QStringLiteral("Palm OS device (simulated)"));
        item->setText(2, Text(device.path));
        for (int column : {1, 3, 4, 5, 6}) item->setText(column, QStringLiteral("-"));
        continue;
    }
    item->setText(1, device.usb.bus >= 0 ? QString::number(device.usb.bus) : QStringLiteral("-"));
    item->setText(2, Text(device.usb.sysName));
    item->setText(3, UsbIds(device.usb));
    item->setText(4, UsbName(device.usb));
    item->setText(5, Known(device.usb.serial));
    QStringList ports;
    for (const std::string& port : device.ports) ports << Text(port);
    item->setText(6, ports.isEmpty() ? QStringLiteral("-") : ports.join(QStringLiteral(", ")));
  }
  QString source;
  if (ids.readable) {
    source = QStringLiteral("ids from %1").arg(Text(ids.path));
  } else {
    // Which devices count as handsets then comes from the program itself.
    source = QStringLiteral("%1 cannot be read (%2): the built-in entries are used")
                 .arg(Text(ids.path),
                      ids.readError.empty() ? QStringLiteral("unreadable") : Text(ids.readError));
  }
  summary_->setText(QStringLiteral("%1 handset device(s); %2").arg(devices.size()).arg(source));
}

}  // namespace k730::ui
