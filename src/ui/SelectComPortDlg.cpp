#include "SelectComPortDlg.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

TSelectComPortDlg::TSelectComPortDlg(QWidget* Parent)
    : QDialog(Parent), FPortSource([] { return ListSerialPorts(); }) {
  setWindowTitle(QStringLiteral("Select Com Port"));

  FValueListEditor1 = new QTableWidget(0, 2, this);
  FValueListEditor1->setObjectName(QStringLiteral("ValueListEditor1"));
  FValueListEditor1->setHorizontalHeaderLabels({QStringLiteral("Port Name"), QStringLiteral("Device")});
  FValueListEditor1->setSelectionBehavior(QAbstractItemView::SelectRows);
  FValueListEditor1->setSelectionMode(QAbstractItemView::SingleSelection);
  FValueListEditor1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  FValueListEditor1->verticalHeader()->hide();
  FValueListEditor1->setColumnWidth(0, 85);
  FValueListEditor1->setColumnWidth(1, 174);
  FValueListEditor1->horizontalHeader()->setStretchLastSection(true);
  FValueListEditor1->setMinimumSize(85 + 174 + 4, 160);
  connect(FValueListEditor1->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &TSelectComPortDlg::UpdateOkButton);
  connect(FValueListEditor1, &QTableWidget::cellDoubleClicked, this, [this] {
    if (!GetSelectedPort().isEmpty()) accept();
  });

  FOkButton = new QPushButton(QStringLiteral("OK"), this);
  FOkButton->setDefault(true);
  FCancelButton = new QPushButton(QStringLiteral("Cancel"), this);
  FCancelButton->setAutoDefault(false);
  connect(FOkButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(FCancelButton, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(FOkButton);
  buttons->addWidget(FCancelButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(FValueListEditor1, 1);
  layout->addLayout(buttons);

  FChangeTimer = new QTimer(this);
  FChangeTimer->setObjectName(QStringLiteral("ChangeTimer"));
  FChangeTimer->setInterval(ChangeInterval);
  connect(FChangeTimer, &QTimer::timeout, this, &TSelectComPortDlg::ChangeTimerTimer);

  UpdateOkButton();
}

void TSelectComPortDlg::LoadPortList() {
  std::vector<TSerialPortEntry> ports;
  if (FPortSource) ports = FPortSource();
  if (ports == FPorts && FValueListEditor1->rowCount() == static_cast<int>(FPorts.size())) return;
  FPorts = std::move(ports);
  FValueListEditor1->clearContents();
  FValueListEditor1->setRowCount(static_cast<int>(FPorts.size()));
  for (int row = 0; row < static_cast<int>(FPorts.size()); ++row) {
    const TSerialPortEntry& port = FPorts[static_cast<size_t>(row)];
    FValueListEditor1->setItem(row, 0, new QTableWidgetItem(QString::fromStdString(port.Name)));
    FValueListEditor1->setItem(row, 1, new QTableWidgetItem(QString::fromStdString(port.Device)));
  }
  FValueListEditor1->clearSelection();
  FValueListEditor1->setCurrentCell(-1, -1);
  UpdateOkButton();
}

void TSelectComPortDlg::SelectPortRow(const QString& Name) {
  if (Name.isEmpty()) return;
  for (int row = 0; row < FValueListEditor1->rowCount(); ++row) {
    if (FValueListEditor1->item(row, 0)->text() == Name) {
      FValueListEditor1->setCurrentCell(row, 0);
      FValueListEditor1->selectRow(row);
      return;
    }
  }
}

QString TSelectComPortDlg::GetSelectedPort() const {
  const QList<QTableWidgetItem*> selected = FValueListEditor1->selectedItems();
  if (selected.isEmpty()) return QString();
  const QTableWidgetItem* name = FValueListEditor1->item(selected.first()->row(), 0);
  return name != nullptr ? name->text() : QString();
}

void TSelectComPortDlg::UpdateOkButton() { FOkButton->setEnabled(!GetSelectedPort().isEmpty()); }

void TSelectComPortDlg::ChangeTimerTimer() {
  const QString selected = GetSelectedPort();
  LoadPortList();
  SelectPortRow(selected);
}

void TSelectComPortDlg::showEvent(QShowEvent* Event) {
  QDialog::showEvent(Event);
  if (!Event->spontaneous()) {
    // A list read afresh, with the preset port selected.
    FPorts.clear();
    FValueListEditor1->setRowCount(0);
    LoadPortList();
    SelectPortRow(PresetPort);
    // Centred on its owner, or on the screen without one.
    QRect frame = frameGeometry();
    if (const QWidget* owner = parentWidget())
      frame.moveCenter(owner->window()->frameGeometry().center());
    else if (const QScreen* shownOn = screen())
      frame.moveCenter(shownOn->availableGeometry().center());
    move(frame.topLeft());
  }
  FChangeTimer->start();
}

void TSelectComPortDlg::hideEvent(QHideEvent* Event) {
  FChangeTimer->stop();
  QDialog::hideEvent(Event);
}
