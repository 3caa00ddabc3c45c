// The "Select Com Port" dialog of the Ports page: the host's serial ports in two
// columns, "Port Name" (how the program names the port: "COM3", or the device
// path when no COM number reaches it) and "Device" (the device path), with OK and
// Cancel. PresetPort is selected when the dialog shows.
//
// Linux sends no message when a serial device comes or goes, and a COM number
// mapped anew leaves no trace to watch, so while the dialog is shown it reads the
// list again every 1700 ms, keeping the selected port wherever it is still listed.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <vector>

#include "SerialPortList.h"

class QPushButton;
class QTableWidget;
class QTimer;

class TSelectComPortDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr int ChangeInterval = 1700;
  // Where the ports come from; by default ListSerialPorts() of this host.
  using TPortSource = std::function<std::vector<TSerialPortEntry>()>;

  explicit TSelectComPortDlg(QWidget* Parent = nullptr);

  // A caller that knows of further ports gives its own source.
  void SetPortSource(TPortSource Source) { FPortSource = std::move(Source); }
  // Reads the ports again; an unchanged list leaves the grid and its selection
  // alone, a changed one is shown with no row selected.
  void LoadPortList();
  // Makes the row of that port name current, when it is listed.
  void SelectPortRow(const QString& Name);
  // The port name of the current row; empty when there is none.
  QString GetSelectedPort() const;

  // The port to select when the dialog shows, for example "COM2".
  QString PresetPort;

  QTableWidget* ValueListEditor1() const { return FValueListEditor1; }
  QPushButton* OkButton() const { return FOkButton; }
  QPushButton* CancelButton() const { return FCancelButton; }

 protected:
  void showEvent(QShowEvent* Event) override;
  void hideEvent(QHideEvent* Event) override;

 private:
  void ChangeTimerTimer();
  void UpdateOkButton();

  TPortSource FPortSource;
  std::vector<TSerialPortEntry> FPorts;  // as the grid shows them
  QTableWidget* FValueListEditor1;
  QPushButton* FOkButton;
  QPushButton* FCancelButton;
  QTimer* FChangeTimer;
};
