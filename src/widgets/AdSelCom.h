// The "Select Port" dialog that a COM port component shows when it has no port
// to open: a drop-down list of the serial ports present on this host with OK and
// Cancel. Ports carry the names the program opens them by: "COM3" where that COM
// number maps to the device, otherwise the device path; an item's tooltip shows
// its device.
//
// Linux tells windows nothing when a port comes or goes, and pseudo-terminals or
// a COM number mapped anew leave no trace in /dev to watch. So while the dialog
// is shown it reads the list again every 1700 ms, keeping the user's choice
// wherever that port is still listed.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <vector>

#include "SerialPortList.h"

class QComboBox;
class QPushButton;
class QTimer;

class TComSelectForm : public QDialog {
  Q_OBJECT

 public:
  static constexpr int ChangeInterval = 1700;
  // Where the ports come from; by default ListSerialPorts() of this host.
  using TPortSource = std::function<std::vector<TSerialPortEntry>()>;

  explicit TComSelectForm(QWidget* Parent = nullptr);

  // A caller that knows of further ports (devices it names, a fixed set) gives
  // its own source; the list is read again at once.
  void SetPortSource(TPortSource Source);
  // Reads the list again, keeping the selected port when it is still there and
  // taking the first one otherwise.
  void LoadPortList();
  // Selects the port of that name when it is listed.
  void SelectPort(const QString& Name);
  // The port the list shows as selected; empty when the list is empty.
  QString GetSelectedPort() const;
  // After OK the port the user chose; empty after Cancel or while shown.
  QString ChosenPort() const { return FChosenPort; }
  // The COM number of ChosenPort; 0 for a device path or no choice.
  int ChosenPortNumber() const;

  QComboBox* PortsComboBox() const { return FPortsComboBox; }
  QPushButton* OkButton() const { return FOkButton; }
  QPushButton* CancelButton() const { return FCancelButton; }

 public slots:
  // OK stands only for a port that is still there: with the list empty, or the
  // chosen port gone by now, the dialog stays open on the list as it is now.
  void accept() override;

 protected:
  void showEvent(QShowEvent* Event) override;
  void hideEvent(QHideEvent* Event) override;

 private:
  TPortSource FPortSource;
  std::vector<TSerialPortEntry> FPorts;  // as the drop-down list shows them
  QString FChosenPort;
  QComboBox* FPortsComboBox;
  QPushButton* FOkButton;
  QPushButton* FCancelButton;
  QTimer* FChangeTimer;
};
