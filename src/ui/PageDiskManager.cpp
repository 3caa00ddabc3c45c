// The "Disk Manager" page: its tool bar of the disk-manager actions over the
// panel that lists the files of a CP/M disk.
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

#include "frmKorvel.h"

void TMainOrvanta::CreateDiskManagerPage() {
  DiskManagerPage = new QWidget(PageControl1);
  DiskManagerPage->setObjectName(QStringLiteral("DiskManagerPage"));
  auto* Layout = new QVBoxLayout(DiskManagerPage);
  Layout->setContentsMargins(0, 0, 0, 0);

  DiskManagerToolBar = new QToolBar(DiskManagerPage);
  DiskManagerToolBar->setObjectName(QStringLiteral("DiskManagerToolBar"));
  DiskManagerToolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  for (QAction* Action : {DM_SelectDiskFileAct, DM_RefreshDisplayAct, DM_ImportTextFileAct, DM_ImportBinaryFileAct,
                          DM_ExportTextFileAct, DM_ExportBinaryFileAct, DM_DeleteFileAct, DM_RenameFileAct,
                          DM_ViewFileAct, DM_SetAttributesAct})
    DiskManagerToolBar->addAction(Action);
  Layout->addWidget(DiskManagerToolBar);

  DiskManagerPanel = new QWidget(DiskManagerPage);
  DiskManagerPanel->setObjectName(QStringLiteral("DiskManagerPanel"));
  Layout->addWidget(DiskManagerPanel, 1);

  PageControl1->addTab(DiskManagerPage, QStringLiteral("Disk Manager"));
}
