// Fonts, dialog units and the application icon shared by every window.
#pragma once

#include <QFont>
#include <QIcon>
#include <QRect>
#include <QSize>
#include <QString>

class QWidget;

namespace k730::ui {

// The display name used in window titles of message boxes.
inline const char* kAppDisplayName = "k730 Multi-Downloader";

// The dialogs' 9-point face: the original where it is installed, else a Latin
// face with clear punctuation, with a Hangul face behind it for the Korean texts.
QFont DialogFont();

// Converts dialog units to pixels of a font the way dialog templates are laid
// out: a horizontal unit is a quarter of the font's average character width,
// a vertical unit an eighth of its height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;
  QSize Size(int width, int height) const;
  int BaseX() const { return baseX_; }
  int BaseY() const { return baseY_; }

 private:
  int baseX_;
  int baseY_;
};

// The application icon, in the sizes a window and a taskbar ask for.
QIcon AppIcon();

// Gives widget the numeric id as its object name, the way tests find controls.
void SetControlId(QWidget* widget, int id);
QString ControlName(int id);

}  // namespace k730::ui
