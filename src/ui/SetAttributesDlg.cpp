#include "SetAttributesDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TSetAttributesDlg::TSetAttributesDlg(QWidget* Parent) : QDialog(Parent) {
  setWindowTitle(QStringLiteral("Set File Attributes"));
  setObjectName(QStringLiteral("SetAttributesDlg"));

  auto* OnLabel = new QLabel(QStringLiteral("Set File Attributes On:"), this);
  FFileLabel = new QLabel(QStringLiteral("(none)"), this);
  FFileLabel->setObjectName(QStringLiteral("FileLabel"));
  QFont Bold = FFileLabel->font();
  Bold.setBold(true);
  FFileLabel->setFont(Bold);

  const char* const Captions[] = {"Read Only FIle", "System File", "Achived File"};
  const char* const Names[] = {"ReadOnlyBox", "SystemBox", "ArchiveBox"};
  for (size_t Bit = 0; Bit < FBoxes.size(); ++Bit) {
    FBoxes[Bit] = new QCheckBox(QString::fromLatin1(Captions[Bit]), this);
    FBoxes[Bit]->setObjectName(QString::fromLatin1(Names[Bit]));
  }

  auto* UserLabel = new QLabel(QStringLiteral("User Area:"), this);
  FUserAreaList = new QComboBox(this);
  FUserAreaList->setObjectName(QStringLiteral("UserAreaList"));
  FUserAreaList->addItem(QStringLiteral("No Change"), NoChangeUser);
  for (int User = 0; User < 16; ++User) FUserAreaList->addItem(QStringLiteral("User %1").arg(User), User);
  UserLabel->setBuddy(FUserAreaList);

  FOkButton = new QPushButton(QStringLiteral("OK"), this);
  FOkButton->setDefault(true);
  FCancelButton = new QPushButton(QStringLiteral("Cancel"), this);
  FCancelButton->setAutoDefault(false);
  connect(FOkButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(FCancelButton, &QPushButton::clicked, this, &QDialog::reject);

  auto* Grid = new QGridLayout;
  Grid->addWidget(OnLabel, 0, 0);
  Grid->addWidget(FFileLabel, 0, 1);
  for (size_t Bit = 0; Bit < FBoxes.size(); ++Bit) Grid->addWidget(FBoxes[Bit], static_cast<int>(Bit) + 1, 1);
  Grid->addWidget(UserLabel, 4, 0);
  Grid->addWidget(FUserAreaList, 4, 1);
  Grid->setColumnStretch(1, 1);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(FOkButton);
  Buttons->addWidget(FCancelButton);
  auto* Layout = new QVBoxLayout(this);
  Layout->addLayout(Grid);
  Layout->addStretch(1);
  Layout->addLayout(Buttons);
}

void TSetAttributesDlg::SetAttributes(uint8_t Attributes, uint8_t Mixed, bool Multi, int User) {
  FMulti = Multi;
  for (size_t Bit = 0; Bit < FBoxes.size(); ++Bit) {
    QCheckBox* Box = FBoxes[Bit];
    const uint8_t Mask = static_cast<uint8_t>(1u << Bit);
    if (Multi && (Mixed & Mask) != 0) {
      Box->setTristate(true);
      Box->setCheckState(Qt::PartiallyChecked);
    } else {
      Box->setTristate(false);
      Box->setCheckState((Attributes & Mask) != 0 ? Qt::Checked : Qt::Unchecked);
    }
  }
  const int Index = FUserAreaList->findData(User >= 0 && User < 16 ? User : NoChangeUser);
  FUserAreaList->setCurrentIndex(Index >= 0 ? Index : 0);
}

void TSetAttributesDlg::GetAttributes(uint8_t& Checked, uint8_t& Grayed) const {
  Checked = 0;
  Grayed = 0;
  for (size_t Bit = 0; Bit < FBoxes.size(); ++Bit) {
    const uint8_t Mask = static_cast<uint8_t>(1u << Bit);
    if (FBoxes[Bit]->checkState() == Qt::Checked) Checked |= Mask;
    if (FMulti && FBoxes[Bit]->checkState() == Qt::PartiallyChecked) Grayed |= Mask;
  }
}

int TSetAttributesDlg::GetUser() const {
  if (FUserAreaList->currentIndex() < 0) return NoChangeUser;
  return FUserAreaList->currentData().toInt();
}

void TSetAttributesDlg::SetFileLabel(const QString& Text) { FFileLabel->setText(Text); }
