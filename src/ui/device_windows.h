// Read-only windows standing in for the control-panel applets the console's
// "&Modem Ports" and "&Device Manager" buttons opened: the modem ports found
// and the USB devices that are handsets, each refreshable.
#pragma once

#include <QDialog>
#include <string>

#include "console/device_listing.h"

class QLabel;
class QTreeWidget;

namespace k730::ui {

class ModemPortsWindow : public QDialog {
  Q_OBJECT

 public:
  // portDir "" = the environment's port directory.
  explicit ModemPortsWindow(QWidget* parent = nullptr, std::string portDir = "",
                            std::string sysRoot = "/sys");
  QTreeWidget* List() const { return list_; }

 public Q_SLOTS:
  void Refresh();

 private:
  std::string portDir_;
  std::string sysRoot_;
  QTreeWidget* list_ = nullptr;
  QLabel* summary_ = nullptr;
};

class DeviceManagerWindow : public QDialog {
  Q_OBJECT

 public:
  // palmDir "" = the environment's simulated Palm directory (if any).
  explicit DeviceManagerWindow(QWidget* parent = nullptr, std::string sysRoot = "/sys",
                               std::string palmDir = "");
  QTreeWidget* List() const { return list_; }

 public Q_SLOTS:
  void Refresh();

 private:
  std::string sysRoot_;
  std::string palmDir_;
  QTreeWidget* list_ = nullptr;
  QLabel* summary_ = nullptr;
};

}  // namespace k730::ui
