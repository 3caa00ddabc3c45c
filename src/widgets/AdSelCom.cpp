#include "AdSelCom.h"

#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

TComSelectForm::TComSelectForm(QWidget* Parent)
    : QDialog(Parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      FPortSource([] { return ListSerialPorts(); }) {
  setWindowTitle(QStringLiteral("Select Port"));

  auto* bevel = new QFrame(this);
  bevel->setFrameStyle(QFrame::Box | QFrame::Sunken);
  auto* bevelLayout = new QVBoxLayout(bevel);
  bevelLayout->addWidget(new QLabel(QStringLiteral("The configured serial port is not valid."), bevel));
  bevelLayout->addWidget(new QLabel(QStringLiteral("Please choose another port."), bevel));

  FPortsComboBox = new QComboBox(this);
  FPortsComboBox->setObjectName(QStringLiteral("PortsComboBox"));
  // The dialog keeps its size whatever the host's device names are like.
  FPortsComboBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  FPortsComboBox->setMinimumContentsLength(12);

  FOkButton = new QPushButton(QStringLiteral("OK"), this);
  FOkButton->setDefault(true);
  FCancelButton = new QPushButton(QStringLiteral("Cancel"), this);
  connect(FOkButton, &QPushButton::clicked, this, &TComSelectForm::accept);
  connect(FCancelButton, &QPushButton::clicked, this, &TComSelectForm::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(FOkButton);
  buttons->addWidget(FCancelButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(bevel);
  layout->addWidget(FPortsComboBox);
  layout->addStretch();
  layout->addLayout(buttons);

  FChangeTimer = new QTimer(this);
  FChangeTimer->setObjectName(QStringLiteral("ChangeTimer"));
  FChangeTimer->setInterval(ChangeInterval);
  connect(FChangeTimer, &QTimer::timeout, this, &TComSelectForm::LoadPortList);

  LoadPortList();
  // A fixed dialog border: what the contents need, at least 220 by 131.
  setFixedSize(sizeHint().expandedTo(QSize(220, 131)));
}

void TComSelectForm::SetPortSource(TPortSource Source) {
  FPortSource = std::move(Source);
  LoadPortList();
}

void TComSelectForm::LoadPortList() {
  std::vector<TSerialPortEntry> ports;
  if (FPortSource) ports = FPortSource();
  // An unchanged list leaves the drop-down alone, open or not.
  if (ports != FPorts) {
    const QString selected = GetSelectedPort();
    FPorts = std::move(ports);
    FPortsComboBox->clear();
    for (const TSerialPortEntry& port : FPorts) {
      FPortsComboBox->addItem(QString::fromStdString(port.Name));
      FPortsComboBox->setItemData(FPortsComboBox->count() - 1, QString::fromStdString(port.Device), Qt::ToolTipRole);
    }
    const int kept = FPortsComboBox->findText(selected, Qt::MatchExactly | Qt::MatchCaseSensitive);
    FPortsComboBox->setCurrentIndex(kept >= 0 ? kept : 0);
  }
  FOkButton->setEnabled(!FPorts.empty());
}

void TComSelectForm::SelectPort(const QString& Name) {
  const int index = FPortsComboBox->findText(Name, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (index >= 0) FPortsComboBox->setCurrentIndex(index);
}

QString TComSelectForm::GetSelectedPort() const { return FPortsComboBox->currentText(); }

int TComSelectForm::ChosenPortNumber() const { return ComNumberOfPortName(FChosenPort.toStdString()); }

void TComSelectForm::accept() {
  const QString selected = GetSelectedPort();
  LoadPortList();
  if (selected.isEmpty() || GetSelectedPort() != selected) return;
  FChosenPort = selected;
  QDialog::accept();
}

void TComSelectForm::showEvent(QShowEvent* Event) {
  QDialog::showEvent(Event);
  if (!Event->spontaneous()) {
    FChosenPort.clear();
    LoadPortList();
    // Centred on the screen, whoever owns the dialog.
    if (const QScreen* shownOn = screen()) {
      QRect frame = frameGeometry();
      frame.moveCenter(shownOn->availableGeometry().center());
      move(frame.topLeft());
    }
  }
  FChangeTimer->start();
}

void TComSelectForm::hideEvent(QHideEvent* Event) {
  FChangeTimer->stop();
  QDialog::hideEvent(Event);
}
