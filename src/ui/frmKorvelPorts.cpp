// The Ports page at work: the machine's fields follow its controls, COM1 and
// COM2 open and close from their pages, the device lists map the CP/M devices,
// and the reader and punch files open and close.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <filesystem>

#include "ComPortNames.h"
#include "SelectComPortDlg.h"
#include "SerialPortList.h"
#include "frmKorvel.h"

namespace {

std::string FolderOf(const std::string& FileName) {
  const std::string Folder = std::filesystem::path(FileName).parent_path().string();
  return Folder.empty() ? Folder : Folder + '/';
}

}  // namespace

// ---------------------------------------------------------------- the machine follows the controls

void TMainOrvanta::KeepMachineInStep() {
  TMachine& Machine = *FMachine;
  const auto Follow = [this](QLineEdit* Edit, std::string TMachine::*Field) {
    FMachine.get()->*Field = Edit->text().toStdString();
    connect(Edit, &QLineEdit::textChanged, this, [this, Field](const QString& Text) {
      FMachine.get()->*Field = Text.toStdString();
    });
  };
  const auto FollowBox = [this](QCheckBox* Box, bool TMachine::*Field) {
    FMachine.get()->*Field = Box->isChecked();
    connect(Box, &QCheckBox::toggled, this, [this, Field](bool Checked) { FMachine.get()->*Field = Checked; });
  };

  // Disks page.
  Follow(C_CpmSourceFile, &TMachine::CpmImageFile);
  Follow(C_BiosSourceFile, &TMachine::BiosImageFile);

  // Com 1 and Com 2: the settings follow every control; the enable boxes'
  // clicks open and close the ports.
  for (int Port = 1; Port <= 2; ++Port) {
    const bool First = Port == 1;
    const auto Settings = [this, Port] { ComSettingsFromControls(Port); };
    QCheckBox* Enable = First ? C_Com1EnableBtn : C_Com2EnableBtn;
    connect(Enable, &QCheckBox::toggled, this, Settings);
    connect(Enable, &QCheckBox::clicked, this, [this, Enable] { Guarded([&] { C_ComPortEnableBtnClick(Enable); }); });
    connect(First ? C_Com1PortNumber : C_Com2PortNumber, &QSpinBox::valueChanged, this, Settings);
    connect(First ? C_Com1BaudList : C_Com2BaudList, &QComboBox::currentIndexChanged, this, Settings);
    connect(First ? C_Com1FormatList : C_Com2FormatList, &QComboBox::currentIndexChanged, this, Settings);
    connect(First ? C_Com12StopBitsBtn : C_Com22StopBitsBtn, &QCheckBox::toggled, this, Settings);
    connect(First ? C_Com1HandShake : C_Com2HandShake, &QCheckBox::toggled, this, Settings);
    ComSettingsFromControls(Port);
  }
  FollowBox(C_UseTCPasCom1, &TMachine::UseTcpAsCom1);
  Follow(C_Com1TCPPort, &TMachine::Com1TcpPort);
  connect(C_UseTCPasCom1, &QCheckBox::toggled, this, [this] { ShowComDevice(1); });
  connect(C_Com1TCPPort, &QLineEdit::textChanged, this, [this] { ShowComDevice(1); });
  connect(C_Com1SelectBtn, &QPushButton::clicked, this, [this] { Guarded([this] { C_Com1SelectBtnClick(); }); });
  connect(C_Com2SelectBtn, &QPushButton::clicked, this, [this] { Guarded([this] { C_Com2SelectBtnClick(); }); });

  // Input and output files.
  Follow(C_InputFileNameEdit, &TMachine::InputFileName);
  for (QRadioButton* Button : {C_InFileEosDone, C_InFileEosReturnEOS, C_InFileEosRestart, C_InFileEosSwitchCon})
    connect(Button, &QRadioButton::toggled, this, [this] { ReaderEndOfStreamChanged(); });
  ReaderEndOfStreamChanged();
  Machine.ReaderSwitchConsoleTo = static_cast<uint8_t>(C_InFileChangeConList->currentIndex() & 3);
  connect(C_InFileChangeConList, &QComboBox::currentIndexChanged, this,
          [this](int Index) { FMachine->ReaderSwitchConsoleTo = static_cast<uint8_t>(Index & 3); });
  connect(InputFileBrowseBtn, &QPushButton::clicked, this, [this] { Guarded([this] { InputFileBrowseBtnClick(); }); });
  Follow(C_OutputFileNameEdit, &TMachine::OutputFileName);
  FollowBox(C_AppendOutputFileBtn, &TMachine::AppendOutputFile);
  connect(OutputFileBrowseBtn, &QPushButton::clicked, this,
          [this] { Guarded([this] { OutputFileBrowseBtnClick(); }); });

  // Device mapping: the machine's mapping is always the lists' byte; a change
  // by the user also reaches the running CP/M.
  Machine.DeviceMapping = GetDeviceMapping();
  for (QComboBox* List : {C_CpmConsolePortId, C_CpmListPortId, C_CpmReaderPortId, C_CpmPunchPortId}) {
    connect(List, &QComboBox::currentIndexChanged, this, [this] { FMachine->DeviceMapping = GetDeviceMapping(); });
    connect(List, &QComboBox::activated, this, [this] { Guarded([this] { DeviceMappingsDisplayChanged(); }); });
  }
  connect(SetDefaultMappingsBtn, &QPushButton::clicked, this,
          [this] { Guarded([this] { SetDefaultMappingsBtnClick(); }); });
  connect(UseDefaultDeviceMappings, &QPushButton::clicked, this,
          [this] { Guarded([this] { UseDefaultDeviceMappingsClick(); }); });
}

// ---------------------------------------------------------------- COM ports

void TMainOrvanta::ComSettingsFromControls(int Port) {
  const bool First = Port == 1;
  TComPortSettings& Settings = First ? FMachine->Com1Settings : FMachine->Com2Settings;
  Settings.Enabled = (First ? C_Com1EnableBtn : C_Com2EnableBtn)->isChecked();
  // A number chosen on the page replaces a device chosen by its path.
  const int Number = (First ? C_Com1PortNumber : C_Com2PortNumber)->value();
  if (Number != Settings.PortNumber) Settings.Device.clear();
  Settings.PortNumber = Number;
  Settings.BaudIndex = (First ? C_Com1BaudList : C_Com2BaudList)->currentIndex();
  Settings.FormatIndex = (First ? C_Com1FormatList : C_Com2FormatList)->currentIndex();
  Settings.TwoStopBits = (First ? C_Com12StopBitsBtn : C_Com22StopBitsBtn)->isChecked();
  Settings.HardwareFlow = (First ? C_Com1HandShake : C_Com2HandShake)->isChecked();
  ShowComDevice(Port);
}

void TMainOrvanta::ShowComDevice(int Port) {
  const TComPortSettings& Settings = Port == 1 ? FMachine->Com1Settings : FMachine->Com2Settings;
  QLineEdit* Device = Port == 1 ? C_Com1DeviceEdit : C_Com2DeviceEdit;
  // COM1 as TCP opens no device: it listens on the TCP port. While it listens
  // the port shown is the one really listened on, so that port "0" (the system
  // picks one) tells the user where to connect.
  if (Port == 1 && C_UseTCPasCom1->isChecked()) {
    const TTcpPortModule& Server = FMachine->TcpPort();
    if (Server.GetActive() && Server.GetLocalPort() != 0)
      Device->setText(QStringLiteral("TCP port %1").arg(Server.GetLocalPort()));
    else if (ParseTcpPort(C_Com1TCPPort->text().toStdString()) == 0)
      Device->setText(QStringLiteral("TCP port ") + C_Com1TCPPort->text().trimmed() +
                      QStringLiteral(" (any free port, shown once Com 1 is on)"));
    else
      Device->setText(QStringLiteral("TCP port ") + C_Com1TCPPort->text());
  } else {
    Device->setText(
        QString::fromStdString(Settings.Device.empty() ? ComPortDevice(Settings.PortNumber) : Settings.Device));
  }
  Device->setCursorPosition(0);
}

void TMainOrvanta::ComControlsFromSettings(int Port) {
  const bool First = Port == 1;
  // A copy: every control written below writes the settings back as they are then.
  const TComPortSettings Settings = First ? FMachine->Com1Settings : FMachine->Com2Settings;
  (First ? C_Com1PortNumber : C_Com2PortNumber)->setValue(Settings.PortNumber);
  (First ? C_Com1BaudList : C_Com2BaudList)->setCurrentIndex(Settings.BaudIndex);
  (First ? C_Com1FormatList : C_Com2FormatList)->setCurrentIndex(Settings.FormatIndex);
  (First ? C_Com12StopBitsBtn : C_Com22StopBitsBtn)->setChecked(Settings.TwoStopBits);
  (First ? C_Com1HandShake : C_Com2HandShake)->setChecked(Settings.HardwareFlow);
  (First ? C_Com1EnableBtn : C_Com2EnableBtn)->setChecked(Settings.Enabled);
  if (First) {
    C_UseTCPasCom1->setChecked(FMachine->UseTcpAsCom1);
    C_Com1TCPPort->setText(QString::fromStdString(FMachine->Com1TcpPort));
  }
  ShowComDevice(Port);
}

void TMainOrvanta::EnableComControls(int Port) {
  // A port's settings are edited while it is off.
  const bool First = Port == 1;
  const bool Off = !(First ? C_Com1EnableBtn : C_Com2EnableBtn)->isChecked();
  for (QWidget* Control : {static_cast<QWidget*>(First ? C_Com1PortNumber : C_Com2PortNumber),
                           static_cast<QWidget*>(First ? C_Com1BaudList : C_Com2BaudList),
                           static_cast<QWidget*>(First ? C_Com1FormatList : C_Com2FormatList),
                           static_cast<QWidget*>(First ? C_Com12StopBitsBtn : C_Com22StopBitsBtn),
                           static_cast<QWidget*>(First ? C_Com1HandShake : C_Com2HandShake)})
    Control->setEnabled(Off);
  (First ? C_Com1SelectBtn : C_Com2SelectBtn)->setEnabled(Off);
  if (First) {
    C_Com1TCPPort->setEnabled(Off);
    C_UseTCPasCom1->setEnabled(Off);
  }
}

void TMainOrvanta::ShowComSettings(int Port) {
  if (Port != 1 && Port != 2) return;
  ComControlsFromSettings(Port);
  EnableComControls(Port);
}

void TMainOrvanta::ActivateCom1() {
  ComSettingsFromControls(1);
  FMachine->ActivateCom1();
  ShowComSettings(1);
}

void TMainOrvanta::ActivateCom2() {
  ComSettingsFromControls(2);
  FMachine->ActivateCom2();
  ShowComSettings(2);
}

void TMainOrvanta::C_ComPortEnableBtnClick(QObject* Sender) {
  if (Sender == C_Com1EnableBtn)
    ActivateCom1();
  else
    ActivateCom2();
}

void TMainOrvanta::C_Com1SelectBtnClick() { SelectComPort(1); }

void TMainOrvanta::C_Com2SelectBtnClick() { SelectComPort(2); }

void TMainOrvanta::SelectComPort(int Port) {
  QSpinBox* Number = Port == 1 ? C_Com1PortNumber : C_Com2PortNumber;
  TComPortSettings& Settings = Port == 1 ? FMachine->Com1Settings : FMachine->Com2Settings;
  SelectComPortDlg->PresetPort = Settings.Device.empty() ? QStringLiteral("COM%1").arg(Number->value())
                                                         : QString::fromStdString(Settings.Device);
  if (!FDialogs->ExecDialog(this, *SelectComPortDlg)) return;
  const QString Chosen = SelectComPortDlg->GetSelectedPort();
  if (Chosen.isEmpty()) return;
  // "COM3" gives the number 3; a device that no COM number reaches (a USB
  // adapter) is opened by its path. Either takes effect at the port's next
  // activation.
  const int Value = ComNumberOfPortName(Chosen.toStdString());
  if (Value > 0) {
    Settings.Device.clear();
    if (Value >= Number->minimum() && Value <= Number->maximum()) Number->setValue(Value);
  } else {
    Settings.Device = Chosen.toStdString();
  }
  ShowComDevice(Port);
}

// ---------------------------------------------------------------- device mapping

uint8_t TMainOrvanta::GetDeviceMapping() const {
  return static_cast<uint8_t>((C_CpmConsolePortId->currentIndex() & 3) | (C_CpmReaderPortId->currentIndex() & 3) << 2 |
                              (C_CpmPunchPortId->currentIndex() & 3) << 4 | (C_CpmListPortId->currentIndex() & 3) << 6);
}

void TMainOrvanta::SetDeviceMapping(uint8_t IoByte) {
  C_CpmConsolePortId->setCurrentIndex(IoByte & 3);
  C_CpmReaderPortId->setCurrentIndex((IoByte >> 2) & 3);
  C_CpmPunchPortId->setCurrentIndex((IoByte >> 4) & 3);
  C_CpmListPortId->setCurrentIndex((IoByte >> 6) & 3);
}

void TMainOrvanta::DisplayDefaultMappingByte(uint8_t IoByte) {
  ConLstDeviceLabel->setText(QString::fromStdString(TMachine::ConLstMappingText(IoByte)));
  PtrPtpDeviceLabel->setText(QString::fromStdString(TMachine::RdrPunMappingText(IoByte)));
}

void TMainOrvanta::ApplyColdBootIoByte(uint8_t IoByte) {
  FMachine->ColdBootIoByte = IoByte;
  SetDeviceMapping(IoByte);
  DisplayDefaultMappingByte(IoByte);
}

void TMainOrvanta::SetDefaultMappingsBtnClick() {
  FMachine->DeviceMapping = GetDeviceMapping();
  FMachine->SetDefaultMappings();
  DisplayDefaultMappingByte(FMachine->ColdBootIoByte);
}

void TMainOrvanta::UseDefaultDeviceMappingsClick() {
  FMachine->UseDefaultDeviceMappings();
  SetDeviceMapping(FMachine->DeviceMapping);
}

void TMainOrvanta::DeviceMappingsDisplayChanged() {
  FMachine->DeviceMapping = GetDeviceMapping();
  FMachine->DeviceMappingsDisplayChanged();
}

// ---------------------------------------------------------------- reader and punch files

void TMainOrvanta::ReaderEndOfStreamChanged() {
  TReaderEndOfStream Choice = TReaderEndOfStream::ReportNothing;
  if (C_InFileEosReturnEOS->isChecked()) Choice = TReaderEndOfStream::ReturnEndOfStream;
  if (C_InFileEosRestart->isChecked()) Choice = TReaderEndOfStream::Restart;
  if (C_InFileEosSwitchCon->isChecked()) Choice = TReaderEndOfStream::SwitchConsole;
  FMachine->ReaderEndOfStream = Choice;
}

void TMainOrvanta::EnableInputFileActExecute() {
  // The machine says so when the file cannot be opened.
  FMachine->SetInputFileEnabled(!FMachine->InputFileEnabled());
  EnableInputFileActUpdate();
}

void TMainOrvanta::EnableInputFileActUpdate() { EnableInputFileAct->setChecked(FMachine->InputFileEnabled()); }

void TMainOrvanta::EnableOutputFileActExecute() {
  FMachine->SetOutputFileEnabled(!FMachine->OutputFileEnabled());
  EnableOutputFileActUpdate();
}

void TMainOrvanta::EnableOutputFileActUpdate() { EnableOutputFileAct->setChecked(FMachine->OutputFileEnabled()); }

void TMainOrvanta::InputFileBrowseBtnClick() {
  TMainFileRequest Request;
  Request.Title = "Select Input File Name";
  Request.Filter = "All Files|*.*";
  Request.InitialFolder = FInputFileFolder.empty() ? FWorkFolder : FInputFileFolder;
  Request.FileName = C_InputFileNameEdit->text().toStdString();
  Request.MustExist = false;
  const std::optional<std::string> File = FDialogs->OpenFileName(this, Request);
  if (!File) return;
  FInputFileFolder = FolderOf(*File);
  C_InputFileNameEdit->setText(QString::fromStdString(*File));
}

void TMainOrvanta::OutputFileBrowseBtnClick() {
  TMainFileRequest Request;
  Request.Title = "Select Output File Name";
  Request.Filter = "All Files|*.*";
  Request.InitialFolder = FOutputFileFolder.empty() ? FWorkFolder : FOutputFileFolder;
  Request.FileName = C_OutputFileNameEdit->text().toStdString();
  Request.MustExist = false;
  const std::optional<std::string> File = FDialogs->SaveFileName(this, Request);
  if (!File) return;
  FOutputFileFolder = FolderOf(*File);
  C_OutputFileNameEdit->setText(QString::fromStdString(*File));
}
