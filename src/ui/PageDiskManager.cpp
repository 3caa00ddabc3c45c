// The "Disk Manager" page: its tool bars of the disk-manager actions over the
// panel that lists the files of a CP/M disk (TDiskManagerPage).
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

#include "DiskManagerPage.h"
#include "frmKorvel.h"

void TMainOrvanta::CreateDiskManagerPage() {
  DiskManagerPage = new QWidget(PageControl1);
  DiskManagerPage->setObjectName(QStringLiteral("DiskManagerPage"));
  auto* Layout = new QVBoxLayout(DiskManagerPage);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->setSpacing(0);

  // Two rows: the files, then the disks. The actions of a pack's disks are on
  // the pack list's pop-up menu and on the main menu.
  DiskManagerToolBar = new QToolBar(DiskManagerPage);
  DiskManagerToolBar->setObjectName(QStringLiteral("DiskManagerToolBar"));
  DiskManagerToolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  for (QAction* Action : {DM_SelectDiskFileAct, DM_RefreshDisplayAct, DM_EjectDiskAct, DM_ImportTextFileAct,
                          DM_ImportBinaryFileAct, DM_ExportTextFileAct, DM_ExportBinaryFileAct, DM_ViewFileAct})
    DiskManagerToolBar->addAction(Action);
  Layout->addWidget(DiskManagerToolBar);
  auto* DiskToolBar = new QToolBar(DiskManagerPage);
  DiskToolBar->setObjectName(QStringLiteral("DiskManagerDiskToolBar"));
  DiskToolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  for (QAction* Action : {DM_DeleteFileAct, DM_RenameFileAct, DM_SetAttributesAct, DM_CreateDiskAct,
                          DM_CreateDiskPackAct, DM_BackupDiskAct, DM_SaveDiskToHexAct, DM_SetDiskBootImageAct})
    DiskToolBar->addAction(Action);
  Layout->addWidget(DiskToolBar);

  DiskManagerPanel = new QWidget(DiskManagerPage);
  DiskManagerPanel->setObjectName(QStringLiteral("DiskManagerPanel"));
  Layout->addWidget(DiskManagerPanel, 1);
  DiskManager = new TDiskManagerPage(*this, DiskManagerPanel);

  PageControl1->addTab(DiskManagerPage, QStringLiteral("Disk Manager"));
}

void TMainOrvanta::OpenDiskInManager(const std::string& FileName, int DiskIndex) {
  DiskManager->OpenDiskInManager(FileName, DiskIndex);
}

void TMainOrvanta::RefreshFileList() { DiskManager->RefreshFileList(); }
