// The "Disks" page: the CP/M and BIOS image files of the cold boot, the four
// drives with their disks and lamps, and the remote disk server's panel.
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "AdStatLt.h"
#include "MainActionButtons.h"
#include "frmKorvel.h"

void TMainOrvanta::CreateDisksPage() {
  DisksPage = new QWidget(PageControl1);
  DisksPage->setObjectName(QStringLiteral("DisksPage"));
  auto* Layout = new QVBoxLayout(DisksPage);

  auto* Images = new QGroupBox(QStringLiteral("CPM Image Files"), DisksPage);
  auto* ImagesLayout = new QGridLayout(Images);
  const auto AddImageRow = [&](int Row, const char* Caption, QLineEdit*& Edit, const char* Name, const char* Text,
                               QAction* Browse) {
    auto* Label = new QLabel(QString::fromLatin1(Caption), Images);
    Edit = new QLineEdit(QString::fromLatin1(Text), Images);
    Edit->setObjectName(QString::fromLatin1(Name));
    Label->setBuddy(Edit);
    ImagesLayout->addWidget(Label, Row, 0);
    ImagesLayout->addWidget(Edit, Row, 1);
    ImagesLayout->addWidget(NewActionButton(Browse, Images), Row, 2);
  };
  AddImageRow(0, "CPM HEX File Name:", C_CpmSourceFile, "C_CpmSourceFile", "cpm22.hex", CPMSelectImageNameAct);
  AddImageRow(1, "BIOS HEX File Name:", C_BiosSourceFile, "C_BiosSourceFile", "vantel.hex", BIOSSelectImageNameAct);
  ImagesLayout->setColumnStretch(1, 1);
  Layout->addWidget(Images);

  auto* Drives = new QGroupBox(QStringLiteral("Disk Drives"), DisksPage);
  auto* DrivesLayout = new QGridLayout(Drives);
  for (int Drive = 0; Drive < TMachine::DriveCount; ++Drive) {
    const size_t Index = static_cast<size_t>(Drive);
    const QString Letter(QChar('A' + Drive));
    DrivesLayout->addWidget(new QLabel(Letter + QLatin1Char(':'), Drives), Drive, 0);
    auto* Lamp = new TApdStatusLight(Drives);
    Lamp->setObjectName(QStringLiteral("Disk%1Light").arg(Letter));
    Lamp->setFixedSize(TApdStatusLight::DefaultSize, TApdStatusLight::DefaultSize);
    Lamp->SetNotLitColor(QColor(128, 128, 128));
    Lamp->setToolTip(QStringLiteral("Show status of disk in drive %1").arg(Letter));
    DiskLight[Index] = Lamp;
    DrivesLayout->addWidget(Lamp, Drive, 1);
    auto* Caption = new QLabel(QStringLiteral("(no disk)"), Drives);
    Caption->setObjectName(QStringLiteral("Disk%1Caption").arg(Letter));
    Caption->setTextInteractionFlags(Qt::TextSelectableByMouse);
    DiskCaption[Index] = Caption;
    DrivesLayout->addWidget(Caption, Drive, 2);
    DrivesLayout->addWidget(NewActionButton(ChangeDriveAct[Index], Drives), Drive, 3);
    DrivesLayout->addWidget(NewActionButton(EjectDriveAct[Index], Drives), Drive, 4);
  }
  DrivesLayout->setColumnStretch(2, 1);
  Layout->addWidget(Drives);

  RemoteDiskServerPanel = new QGroupBox(QStringLiteral("Remote Disk Server"), DisksPage);
  RemoteDiskServerPanel->setObjectName(QStringLiteral("RemoteDiskServerPanel"));
  CreateRemoteDiskServerPanel(RemoteDiskServerPanel);
  Layout->addWidget(RemoteDiskServerPanel, 1);

  PageControl1->addTab(DisksPage, QStringLiteral("Disks"));
}
