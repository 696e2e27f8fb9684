// The About box of the console's system menu.
#pragma once

#include <QDialog>

namespace k730::ui {

constexpr const char* kAboutCaption = "k730 USB Downloader ";
constexpr const char* kAboutVersionText = "KRV USB Downloader ver 2.7b";
constexpr const char* kAboutMemoryText =
    "* Allowed Memory Size\n\nPHONE : 2 MB\n BDK0   : 128 KB\n BDK1   : 21 MB\n BDK2   : 26 MB\n ";
// "확인" (OK).
constexpr const char* kAboutOk = "\xED\x99\x95\xEC\x9D\xB8";
// The entry of the window menu that opens it.
constexpr const char* kAboutMenuText = "KRV USB Downloader Info(&A)...";
constexpr unsigned kAboutCommand = 0x0010;

// Object names of the two texts: "aboutVersion", "aboutMemory"; the OK button is "1".
class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace k730::ui
