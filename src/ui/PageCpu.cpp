// The "CPU" page: its tool bar of the CPU actions over the panel that holds the
// memory grid and the register display.
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

#include "frmKorvel.h"

void TMainOrvanta::CreateCpuPage() {
  CpuPage = new QWidget(PageControl1);
  CpuPage->setObjectName(QStringLiteral("CpuPage"));
  auto* Layout = new QVBoxLayout(CpuPage);
  Layout->setContentsMargins(0, 0, 0, 0);

  CpuToolBar = new QToolBar(CpuPage);
  CpuToolBar->setObjectName(QStringLiteral("CpuToolBar"));
  CpuToolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  for (QAction* Action : {ResetCPMAct, RunCpuAct, StepCpuAct, SetBreakPoint, ClearBreakPointAct, ShowCPUWindowAct})
    CpuToolBar->addAction(Action);
  Layout->addWidget(CpuToolBar);

  CpuMemoryPanel = new QWidget(CpuPage);
  CpuMemoryPanel->setObjectName(QStringLiteral("CpuMemoryPanel"));
  Layout->addWidget(CpuMemoryPanel, 1);

  PageControl1->addTab(CpuPage, QStringLiteral("CPU"));
}
