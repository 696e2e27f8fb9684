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

  auto* version = new QLabel(QString::fromUtf8(kAboutVersionText), this);
  version->setObjectName(QStringLiteral("aboutVersion"));
  version->setTextFormat(Qt::PlainText);
  version->setGeometry(du.Rect(11, 12, 145, 10));

  auto* memory = new QLabel(QString::fromUtf8(kAboutMemoryText), this);
  memory->setObjectName(QStringLiteral("aboutMemory"));
  memory->setTextFormat(Qt::PlainText);
  memory->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  memory->setGeometry(du.Rect(11, 28, 145, 76));

  auto* ok = new QPushButton(QString::fromUtf8(kAboutOk), this);
  SetControlId(ok, 1);
  ok->setDefault(true);
  ok->setGeometry(du.Rect(110, 110, 50, 14));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  setFixedSize(du.Size(167, 132));
}

}  // namespace k730::ui
