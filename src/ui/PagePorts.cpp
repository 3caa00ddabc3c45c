// The "Ports" page: inner pages for COM1, COM2, the printer, the reader's input
// file and the punch's output file, and beside them the device mapping (the
// CP/M IOBYTE) with its cold-boot default.
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "MainActionButtons.h"
#include "MainRadioGroup.h"
#include "Rspin.h"
#include "frmKorvel.h"

namespace {

const QStringList BaudRates = {
    QStringLiteral("300 baud"),     QStringLiteral("600 baud"),     QStringLiteral("1200 baud"),
    QStringLiteral("2400 baud"),    QStringLiteral("4800 baud"),    QStringLiteral("9600 baud"),
    QStringLiteral("19200 baud"),   QStringLiteral("38400 baud "),  QStringLiteral("57600 baud "),
    QStringLiteral("115200 baud "), QStringLiteral("128000 baud "), QStringLiteral("172800 baud "),
    QStringLiteral("230400 baud "), QStringLiteral("256000 baud "), QStringLiteral("460800 baud "),
    QStringLiteral("921600 baud ")};

const QStringList Formats = {QStringLiteral("7 bits no parity"), QStringLiteral("7 bits Even parity"),
                             QStringLiteral("7 bits Odd parity"), QStringLiteral("8 bits no parity")};

const QStringList ConsoleDevices = {QStringLiteral("TTY - Display/Keyboard"), QStringLiteral("CRT - Display/Keyboard"),
                                    QStringLiteral("BAT - RDR /  LST"), QStringLiteral("UC1 - Com port 1")};
const QStringList ListDevices = {QStringLiteral("TTY - Display"), QStringLiteral("CRT - Display"),
                                 QStringLiteral("LPT - Printer Device"), QStringLiteral("UL1 -  Com Port 2")};
const QStringList ReaderDevices = {QStringLiteral("TTY - TTY Keyboard"), QStringLiteral("PTR - Com Port 2"),
                                   QStringLiteral("UR1 - File Reader"), QStringLiteral("UR2 - Null device")};
const QStringList PunchDevices = {QStringLiteral("TTY - TTY Display"), QStringLiteral("PTP - Com Port 2"),
                                  QStringLiteral("UP1 - File Writer"), QStringLiteral("UP2 - Null device")};

// The list's item of a rate, as the list writes it.
QString BaudRateText(uint32_t Rate) {
  const QString Text = QStringLiteral("%1 baud").arg(Rate);
  for (const QString& Item : BaudRates)
    if (Item.trimmed() == Text) return Item;
  return Text;
}

template <class TWidget>
TWidget* Named(TWidget* Widget, const char* Name) {
  Widget->setObjectName(QString::fromLatin1(Name));
  return Widget;
}

QCheckBox* NewCheckBox(const char* Caption, const char* Name, bool Checked, QWidget* Parent) {
  auto* Box = Named(new QCheckBox(QString::fromLatin1(Caption), Parent), Name);
  Box->setChecked(Checked);
  return Box;
}

QComboBox* NewList(const QStringList& Items, const char* Name, int Index, QWidget* Parent) {
  auto* List = Named(new QComboBox(Parent), Name);
  List->addItems(Items);
  List->setCurrentIndex(Index);
  return List;
}

TRSpinEdit* NewRealEdit(const char* Name, double Minimum, double Maximum, double Step, double Value, const char* Hint,
                        QWidget* Parent) {
  auto* Edit = Named(new TRSpinEdit(Parent), Name);
  Edit->SetDecimalDigits(2);
  Edit->SetMinValue(Minimum);
  Edit->SetMaxValue(Maximum);
  Edit->SetIncrement(Step);
  Edit->SetValue(Value);
  Edit->setToolTip(QString::fromLatin1(Hint));
  return Edit;
}

}  // namespace

void TMainOrvanta::CreatePortsPage() {
  PortsPage = new QWidget(PageControl1);
  PortsPage->setObjectName(QStringLiteral("PortsPage"));
  auto* Layout = new QHBoxLayout(PortsPage);

  PortsPageControl = Named(new QTabWidget(PortsPage), "PortsPageControl");
  PortsPageControl->addTab(CreateComPage(1), QStringLiteral("Com 1"));
  PortsPageControl->addTab(CreateComPage(2), QStringLiteral("Com 2"));
  PortsPageControl->addTab(CreatePrinterPage(), QStringLiteral("Printer"));
  PortsPageControl->addTab(CreateInputFilePage(), QStringLiteral("Input File"));
  PortsPageControl->addTab(CreateOutputFilePage(), QStringLiteral("Output File"));
  Layout->addWidget(PortsPageControl, 3);
  Layout->addWidget(CreateDeviceMappingPanel(), 2);

  PageControl1->addTab(PortsPage, QStringLiteral("Ports"));
}

QWidget* TMainOrvanta::CreateComPage(int Port) {
  const bool First = Port == 1;
  auto* Page = new QWidget(PortsPageControl);
  Page->setObjectName(First ? QStringLiteral("Com1Page") : QStringLiteral("Com2Page"));
  auto* Layout = new QVBoxLayout(Page);
  auto* Form = new QFormLayout;

  QCheckBox* Enable = NewCheckBox("Enable Com Port", First ? "C_Com1EnableBtn" : "C_Com2EnableBtn", false, Page);
  Layout->addWidget(Enable);

  auto* Number = Named(new QSpinBox(Page), First ? "C_Com1PortNumber" : "C_Com2PortNumber");
  Number->setRange(1, 255);
  Number->setValue(First ? 1 : 2);
  auto* Select = Named(new QPushButton(QStringLiteral("..."), Page), First ? "C_Com1SelectBtn" : "C_Com2SelectBtn");
  auto* NumberRow = new QHBoxLayout;
  NumberRow->addWidget(Number, 1);
  NumberRow->addWidget(Select);
  Form->addRow(QStringLiteral("Com Port Number:"), NumberRow);
  // The device the port opens: COM<n>'s, or one chosen by its path with "...".
  auto* Device = Named(new QLineEdit(Page), First ? "C_Com1DeviceEdit" : "C_Com2DeviceEdit");
  Device->setReadOnly(true);
  Form->addRow(QStringLiteral("Device:"), Device);

  QComboBox* Baud = NewList(BaudRates, First ? "C_Com1BaudList" : "C_Com2BaudList", -1, Page);
  // No rate is chosen until the settings or the machine choose one: the port
  // opens at the rate it starts with, which the list shows as its text.
  const TComOptions& Options = (First ? FMachine->ComRx1() : FMachine->ComRx2()).GetOptions();
  Baud->setPlaceholderText(BaudRateText(ComBaudRateValue(Options.GetBaudRate())));
  Form->addRow(QStringLiteral("Baud Rate:"), Baud);
  QComboBox* Format = NewList(Formats, First ? "C_Com1FormatList" : "C_Com2FormatList", 3, Page);
  Form->addRow(QStringLiteral("Data Format:"), Format);
  Layout->addLayout(Form);

  QCheckBox* StopBits = NewCheckBox("Two Stop Bits", First ? "C_Com12StopBitsBtn" : "C_Com22StopBitsBtn", false, Page);
  Layout->addWidget(StopBits);
  QCheckBox* HandShake = NewCheckBox(First ? "Hardware Flow" : "Hardware Handshake",
                                     First ? "C_Com1HandShake" : "C_Com2HandShake", true, Page);
  Layout->addWidget(HandShake);

  if (First) {
    C_Com1EnableBtn = Enable;
    C_Com1PortNumber = Number;
    C_Com1SelectBtn = Select;
    C_Com1DeviceEdit = Device;
    C_Com1BaudList = Baud;
    C_Com1FormatList = Format;
    C_Com12StopBitsBtn = StopBits;
    C_Com1HandShake = HandShake;
    C_UseTCPasCom1 = NewCheckBox("Use TCP as Com Port", "C_UseTCPasCom1", false, Page);
    Layout->addWidget(C_UseTCPasCom1);
    auto* TcpForm = new QFormLayout;
    C_Com1TCPPort = Named(new QLineEdit(QStringLiteral("9999"), Page), "C_Com1TCPPort");
    TcpForm->addRow(QStringLiteral("TCP Port:"), C_Com1TCPPort);
    Layout->addLayout(TcpForm);
  } else {
    C_Com2EnableBtn = Enable;
    C_Com2PortNumber = Number;
    C_Com2SelectBtn = Select;
    C_Com2DeviceEdit = Device;
    C_Com2BaudList = Baud;
    C_Com2FormatList = Format;
    C_Com22StopBitsBtn = StopBits;
    C_Com2HandShake = HandShake;
  }
  Layout->addStretch(1);
  return Page;
}

QWidget* TMainOrvanta::CreatePrinterPage() {
  auto* Page = new QWidget(PortsPageControl);
  Page->setObjectName(QStringLiteral("PrinterPage"));
  auto* Layout = new QVBoxLayout(Page);

  auto* Form = new QFormLayout;
  C_PrintersList = Named(new QComboBox(Page), "C_PrintersList");
  Form->addRow(QStringLiteral("Printer:"), C_PrintersList);
  // Instead of a host printer, a PDF file: where the host has no printer, the
  // only way to print.
  C_PrintToFileBtn = NewCheckBox("Print To PDF File:", "C_PrintToFileBtn", false, Page);
  C_PrintToFileBtn->setToolTip(
      QStringLiteral("When checked the printed pages go into a PDF file instead of a printer"));
  C_PrintFileNameEdit = Named(new QLineEdit(Page), "C_PrintFileNameEdit");
  C_PrintFileNameEdit->setToolTip(QStringLiteral("Each print job writes this file anew"));
  PrintFileBrowseBtn = Named(new QPushButton(QStringLiteral("..."), Page), "PrintFileBrowseBtn");
  auto* FileRow = new QHBoxLayout;
  FileRow->addWidget(C_PrintFileNameEdit, 1);
  FileRow->addWidget(PrintFileBrowseBtn);
  Form->addRow(C_PrintToFileBtn, FileRow);
  Layout->addLayout(Form);

  auto* Middle = new QHBoxLayout;
  C_PrintOrientaion = Named(
      new TMainRadioGroup(QStringLiteral("Orientaion"), {QStringLiteral("Portrait"), QStringLiteral("Landscape")}, Page),
      "C_PrintOrientaion");
  C_PrintOrientaion->SetItemIndex(0);
  Middle->addWidget(C_PrintOrientaion);
  auto* Options = new QFormLayout;
  C_TabSpacingEdit = Named(new QSpinBox(Page), "C_TabSpacingEdit");
  C_TabSpacingEdit->setRange(1, 16);
  C_TabSpacingEdit->setValue(8);
  C_TabSpacingEdit->setToolTip(QStringLiteral("Tab spacing in characters"));
  Options->addRow(QStringLiteral("Tab Spacing"), C_TabSpacingEdit);
  C_TopBottomMarginEdit = NewRealEdit("C_TopBottomMarginEdit", 0.25, 2.0, 0.25, 0.25,
                                      "Top/bottom margin width in inches", Page);
  Options->addRow(QStringLiteral("Top/Bottom Margin"), C_TopBottomMarginEdit);
  C_LeftRightMarginEdit = NewRealEdit("C_LeftRightMarginEdit", 0.25, 2.0, 0.25, 0.25,
                                      "Left/right margin width in inches", Page);
  Options->addRow(QStringLiteral("Left/Right Margin"), C_LeftRightMarginEdit);
  C_LineSpacingEdit = NewRealEdit("C_LineSpacingEdit", 1.0, 3.0, 0.1, 1.1,
                                  "Set space between lines based on line height", Page);
  Options->addRow(QStringLiteral("Line Spacing"), C_LineSpacingEdit);
  Middle->addLayout(Options, 1);
  Layout->addLayout(Middle);

  C_EnablePrinterBtn = NewActionCheckBox(PrinterEnableAct, Page);
  C_EnablePrinterBtn->setObjectName(QStringLiteral("C_EnablePrinterBtn"));
  Layout->addWidget(C_EnablePrinterBtn);
  C_IgnoreFormFeedsBtn = NewCheckBox("Ignore Form Feed Characters", "C_IgnoreFormFeedsBtn", false, Page);
  C_IgnoreFormFeedsBtn->setToolTip(QStringLiteral("When checked form feed characters are ignored"));
  Layout->addWidget(C_IgnoreFormFeedsBtn);
  C_AutoLineWrapBtn = NewCheckBox("Auto Line Wrap", "C_AutoLineWrapBtn", true, Page);
  Layout->addWidget(C_AutoLineWrapBtn);
  C_EosEjectsPrinterBtn = NewCheckBox("End Of Stream (^Z) Ejects Print Job", "C_EosEjectsPrinterBtn", true, Page);
  C_EosEjectsPrinterBtn->setToolTip(
      QStringLiteral("When checked a control Z (end of stream) character will eject the current print job"));
  Layout->addWidget(C_EosEjectsPrinterBtn);

  auto* Buttons = new QHBoxLayout;
  SetupPrinterBtn = NewActionButton(PrinterSetupAct, Page);
  SetupPrinterBtn->setObjectName(QStringLiteral("SetupPrinterBtn"));
  Buttons->addWidget(SetupPrinterBtn);
  Buttons->addWidget(NewActionButton(PrinterFontAct, Page));
  Buttons->addWidget(NewActionButton(PrinterAbortAct, Page));
  Buttons->addWidget(NewActionButton(PrinterEjectAct, Page));
  Buttons->addStretch(1);
  Layout->addLayout(Buttons);
  Layout->addStretch(1);
  return Page;
}

QWidget* TMainOrvanta::CreateInputFilePage() {
  auto* Page = new QWidget(PortsPageControl);
  Page->setObjectName(QStringLiteral("InputFilePage"));
  auto* Layout = new QVBoxLayout(Page);

  auto* NameRow = new QHBoxLayout;
  C_InputFileNameEdit = Named(new QLineEdit(Page), "C_InputFileNameEdit");
  InputFileBrowseBtn = Named(new QPushButton(QStringLiteral("..."), Page), "InputFileBrowseBtn");
  NameRow->addWidget(new QLabel(QStringLiteral("Input File Name:"), Page));
  NameRow->addWidget(C_InputFileNameEdit, 1);
  NameRow->addWidget(InputFileBrowseBtn);
  Layout->addLayout(NameRow);

  C_EnableInputFileBtn = NewActionCheckBox(EnableInputFileAct, Page);
  C_EnableInputFileBtn->setObjectName(QStringLiteral("C_EnableInputFileBtn"));
  Layout->addWidget(C_EnableInputFileBtn);

  auto* EndOfStream = new QGroupBox(Page);
  auto* EndLayout = new QGridLayout(EndOfStream);
  C_InFileEosDone = Named(new QRadioButton(QStringLiteral("Report nothing to read"), EndOfStream), "C_InFileEosDone");
  C_InFileEosDone->setChecked(true);
  C_InFileEosReturnEOS = Named(new QRadioButton(QStringLiteral("Return end of stream when read"), EndOfStream),
                               "C_InFileEosReturnEOS");
  C_InFileEosRestart =
      Named(new QRadioButton(QStringLiteral("Continue from start of file"), EndOfStream), "C_InFileEosRestart");
  C_InFileEosSwitchCon =
      Named(new QRadioButton(QStringLiteral("If CON = BAT switch Console to"), EndOfStream), "C_InFileEosSwitchCon");
  C_InFileChangeConList = NewList(ConsoleDevices, "C_InFileChangeConList", 1, EndOfStream);
  EndLayout->addWidget(C_InFileEosDone, 0, 0, 1, 2);
  EndLayout->addWidget(C_InFileEosReturnEOS, 1, 0, 1, 2);
  EndLayout->addWidget(C_InFileEosRestart, 2, 0, 1, 2);
  EndLayout->addWidget(C_InFileEosSwitchCon, 3, 0);
  EndLayout->addWidget(C_InFileChangeConList, 3, 1);
  EndLayout->setColumnStretch(1, 1);
  Layout->addWidget(EndOfStream);
  Layout->addStretch(1);
  return Page;
}

QWidget* TMainOrvanta::CreateOutputFilePage() {
  auto* Page = new QWidget(PortsPageControl);
  Page->setObjectName(QStringLiteral("OutputFilePage"));
  auto* Layout = new QVBoxLayout(Page);

  auto* NameRow = new QHBoxLayout;
  C_OutputFileNameEdit = Named(new QLineEdit(Page), "C_OutputFileNameEdit");
  OutputFileBrowseBtn = Named(new QPushButton(QStringLiteral("..."), Page), "OutputFileBrowseBtn");
  NameRow->addWidget(new QLabel(QStringLiteral("Output File Name:"), Page));
  NameRow->addWidget(C_OutputFileNameEdit, 1);
  NameRow->addWidget(OutputFileBrowseBtn);
  Layout->addLayout(NameRow);

  EnableOutputFileBtn = NewActionCheckBox(EnableOutputFileAct, Page);
  EnableOutputFileBtn->setObjectName(QStringLiteral("EnableOutputFileBtn"));
  Layout->addWidget(EnableOutputFileBtn);
  C_AppendOutputFileBtn = NewCheckBox("Append To Existing File", "C_AppendOutputFileBtn", false, Page);
  Layout->addWidget(C_AppendOutputFileBtn);
  Layout->addStretch(1);
  return Page;
}

QWidget* TMainOrvanta::CreateDeviceMappingPanel() {
  auto* Panel = Named(new QGroupBox(QStringLiteral("Device Mapping"), PortsPage), "DeviceMappingPanel");
  auto* Layout = new QVBoxLayout(Panel);

  auto* Form = new QFormLayout;
  C_CpmConsolePortId = NewList(ConsoleDevices, "C_CpmConsolePortId", 1, Panel);
  C_CpmListPortId = NewList(ListDevices, "C_CpmListPortId", 0, Panel);
  C_CpmReaderPortId = NewList(ReaderDevices, "C_CpmReaderPortId", 0, Panel);
  C_CpmPunchPortId = NewList(PunchDevices, "C_CpmPunchPortId", 0, Panel);
  Form->addRow(QStringLiteral("CON:"), C_CpmConsolePortId);
  Form->addRow(QStringLiteral("LST:"), C_CpmListPortId);
  Form->addRow(QStringLiteral("RDR:"), C_CpmReaderPortId);
  Form->addRow(QStringLiteral("PUN:"), C_CpmPunchPortId);
  Layout->addLayout(Form);

  auto* Buttons = new QHBoxLayout;
  SetDefaultMappingsBtn = Named(new QPushButton(QStringLiteral("Set Defaults"), Panel), "SetDefaultMappingsBtn");
  UseDefaultDeviceMappings = Named(new QPushButton(QStringLiteral("Defaults"), Panel), "UseDefaultDeviceMappings");
  Buttons->addWidget(SetDefaultMappingsBtn);
  Buttons->addWidget(UseDefaultDeviceMappings);
  Buttons->addStretch(1);
  Layout->addLayout(Buttons);

  auto* Defaults = new QGroupBox(QStringLiteral("[ Defaults ]"), Panel);
  auto* DefaultsLayout = new QVBoxLayout(Defaults);
  ConLstDeviceLabel = Named(new QLabel(Defaults), "ConLstDeviceLabel");
  PtrPtpDeviceLabel = Named(new QLabel(Defaults), "PtrPtpDeviceLabel");
  DefaultsLayout->addWidget(ConLstDeviceLabel);
  DefaultsLayout->addWidget(PtrPtpDeviceLabel);
  Layout->addWidget(Defaults);
  Layout->addStretch(1);
  return Panel;
}
