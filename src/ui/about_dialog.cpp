#include "ui/about_dialog.h"

#include <QLabel>
#include <QPushButton>

#include "ui/ui_style.h"

namespace k730::ui {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(kAboutCaption));
  setWindowIcon(AppIcon());
  setFont(DialogFont());
  setModal(true);
  const DialogUnits du(font());

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("aboutIcon"));
  icon->setPixmap(AppIcon().pixmap(du.X(20), du.X(20)));
  icon->setGeometry(du.Rect(11, 10, 24, 24));

  auto* version = new QLabel(QString::fromUtf8(kAboutVersionText), this);
  version->setObjectName(QStringLiteral("aboutVersion"));
  version->setTextFormat(Qt::PlainText);
  version->setGeometry(du.Rect(40, 12, 120, 10));

  auto* memory = new QLabel(QString::fromUtf8(kAboutMemoryText), this);
  memory->setObjectName(QStringLiteral("aboutMemory"));
  memory->setTextFormat(Qt::PlainText);
  memory->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  memory->setGeometry(du.Rect(40, 28, 120, 76));

  auto* ok = new QPushButton(QString::fromUtf8(kAboutOk), this);
  SetControlId(ok, 1);
  ok->setDefault(true);
  ok->setGeometry(du.Rect(110, 110, 50, 14));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  setFixedSize(du.Size(167, 132));
}

}  // namespace k730::ui
