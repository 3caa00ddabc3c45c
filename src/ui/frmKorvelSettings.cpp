// The settings file: "<program>.config" in the work folder, in the key/value
// store's text form. It is read once, at the first activation, and written
// whole at every close. Each key has one control or state behind it, and the
// control's current value is the default for an absent key.
//
// Beside the keys the program has always written, the Printer section keeps
// the PDF file printed into instead of a printer (PrintToFile, PrintFileName)
// and the printer's font (PrinterFontFace, PrinterFontSize), and each COM
// port's section the host device chosen by its path (Com1Device, Com2Device;
// empty: the device of the port's COM number).
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <climits>
#include <utility>

#include "AdTerminal.h"
#include "ConfigObject.h"
#include "MainRadioGroup.h"
#include "RmtDskMod.h"
#include "Rspin.h"
#include "SimpleTerminal.h"
#include "TTYDisplaySettingsDlg.h"
#include "frmKorvel.h"

namespace {

constexpr const char* MainSection = "MAIN";
constexpr const char* CpuSection = "CPU";
constexpr const char* CrtSection = "CRT";
constexpr const char* TtySection = "TTY";
constexpr const char* DisksSection = "DISKS";
constexpr const char* PortsSection = "PORTS";
constexpr const char* Com1Section = "PORT_DEVICE_COM1";
constexpr const char* Com2Section = "PORT_DEVICE_COM2";
constexpr const char* PrinterSection = "PORT_DEVICE_PRINTER";
constexpr const char* FileInSection = "PORT_DEVICE_FILE_IN";
constexpr const char* FileOutSection = "PORT_DEVICE_FILE_OUT";
constexpr const char* DiskServerSection = "DISK SERVER";

// The ranges of what the file holds, as the controls behind the keys take it.
constexpr int MinWindowSide = 100;
constexpr int MaxWindowSide = 16384;
constexpr int MinFontSize = 1;
constexpr int MaxFontSize = 200;
constexpr int MaxColorValue = 0xFFFFFF;

// A colour as the file keeps it: 0x00BBGGRR.
int ColorValue(const QColor& Color) { return Color.red() | Color.green() << 8 | Color.blue() << 16; }
QColor ColorOf(int Value) { return QColor(Value & 0xFF, (Value >> 8) & 0xFF, (Value >> 16) & 0xFF); }

// The store's typed reads with the range of the control behind each key. A
// value that is not of its type, or lies outside its range, is noted and the
// default given instead, so its control keeps what it has and the other keys
// still apply.
class TSettingsReader {
 public:
  explicit TSettingsReader(const TNrKeyValueSections& Store) : FStore(Store) {}

  QString String(const char* Section, const char* Key, const QString& Default) const {
    return FStore.ReadString(Section, Key, Default);
  }

  int Integer(const char* Section, const char* Key, int Default, int Min, int Max) {
    if (!FStore.KeyExists(Section, Key)) return Default;
    try {
      const int Value = FStore.ReadInteger(Section, Key, Default);
      if (Value >= Min && Value <= Max) return Value;
    } catch (const EConfigConvertError&) {
    }
    Bad(Section, Key);
    return Default;
  }

  bool Bool(const char* Section, const char* Key, bool Default) {
    try {
      return FStore.ReadBool(Section, Key, Default);
    } catch (const EConfigConvertError&) {
      Bad(Section, Key);
      return Default;
    }
  }

  double Real(const char* Section, const char* Key, double Default, double Min, double Max) {
    if (!FStore.KeyExists(Section, Key)) return Default;
    // Values written with two decimals may differ from the bounds in the last bit.
    constexpr double Slack = 1e-9;
    try {
      const double Value = FStore.ReadFloat(Section, Key, Default);
      if (Value >= Min - Slack && Value <= Max + Slack) return Value;
    } catch (const EConfigConvertError&) {
    }
    Bad(Section, Key);
    return Default;
  }

  std::vector<std::string> TakeBadKeys() { return std::move(FBadKeys); }

 private:
  void Bad(const char* Section, const char* Key) {
    FBadKeys.push_back(
        QStringLiteral("[%1] %2=%3")
            .arg(QString::fromLatin1(Section), QString::fromLatin1(Key), FStore.ReadString(Section, Key, QString()))
            .toStdString());
  }

  const TNrKeyValueSections& FStore;
  std::vector<std::string> FBadKeys;
};

}  // namespace

std::string TMainOrvanta::GetSettingsFileName() const { return FWorkFolder + FProgramName + ".config"; }

int TMainOrvanta::PointSizeOf(const QFont& Font) const {
  if (Font.pointSize() > 0) return Font.pointSize();
  const int Dpi = logicalDpiY() > 0 ? logicalDpiY() : 96;
  return std::max(1, qRound(Font.pixelSize() * 72.0 / Dpi));
}

bool TMainOrvanta::HasExecuteHandler(QAction* Action) const {
  for (size_t Index = 0; Index < FActions.size(); ++Index)
    if (FActions[Index] == Action) return static_cast<bool>(FActionHandlers[Index].Execute);
  return false;
}

void TMainOrvanta::ApplyActionKey(QAction* Action, bool Stored) {
  // Executed as if chosen from the menu, so its device starts or stops; a state
  // that already holds does nothing. An action whose page is not there yet has
  // no handler and keeps its state.
  if (Stored == Action->isChecked() || !HasExecuteHandler(Action)) return;
  if (Action->property("AutoCheck").toBool()) Action->setChecked(!Action->isChecked());
  ExecuteAction(Action);
}

void TMainOrvanta::ApplyWindowRect(int Left, int Top, int Width, int Height) {
  QSize Size(Width, Height);
  // A window larger than its screen is made to fit it, as at the start.
  if (const QScreen* Screen = screen() != nullptr ? screen() : QGuiApplication::primaryScreen())
    Size = Size.boundedTo(Screen->availableGeometry().size());
  resize(Size.expandedTo(minimumSizeHint()));
  // A stored position of 0 or more replaces the one the system chose, where a
  // screen still shows it.
  if (Left < 0 && Top < 0) return;
  QPoint Corner = normalGeometry().topLeft();
  if (Left >= 0) Corner.setX(Left);
  if (Top >= 0) Corner.setY(Top);
  if (QGuiApplication::screenAt(Corner) != nullptr) move(Corner);
}

// ---------------------------------------------------------------- applying a store

std::vector<std::string> TMainOrvanta::LoadSettings(const TNrKeyValueSections& Store) {
  TSettingsReader Read(Store);
  const auto ActionKey = [&](QAction* Action, const char* Section, const char* Key) {
    UpdateAction(Action);
    ApplyActionKey(Action, Read.Bool(Section, Key, Action->isChecked()));
  };
  const auto Box = [&](QCheckBox* Control, const char* Section, const char* Key) {
    Control->setChecked(Read.Bool(Section, Key, Control->isChecked()));
  };
  const auto Edit = [&](QLineEdit* Control, const char* Section, const char* Key) {
    Control->setText(Read.String(Section, Key, Control->text()));
  };
  const auto List = [&](QComboBox* Control, const char* Section, const char* Key, int Min) {
    Control->setCurrentIndex(Read.Integer(Section, Key, Control->currentIndex(), Min, Control->count() - 1));
  };
  // After the port's number, which replaces a device chosen before it.
  const auto ComDevice = [&](int Port, const char* Section, const char* Key) {
    std::string& Device = (Port == 1 ? FMachine->Com1Settings : FMachine->Com2Settings).Device;
    Device = Read.String(Section, Key, QString::fromStdString(Device)).toStdString();
    ShowComDevice(Port);
  };
  const auto Font = [&](const QFont& Current, const char* Section, const char* FaceKey, const char* SizeKey) {
    QString Face = Read.String(Section, FaceKey, Current.family());
    if (Face.isEmpty()) Face = Current.family();
    const int Size = Read.Integer(Section, SizeKey, PointSizeOf(Current), MinFontSize, MaxFontSize);
    // An unchanged font stays as it is, in pixels where it was.
    if (Face == Current.family() && Size == PointSizeOf(Current)) return Current;
    QFont Changed = Current;
    Changed.setFamily(Face);
    Changed.setPointSize(Size);
    return Changed;
  };

  // The window's normal rectangle: the size always, the position only where
  // the file gives one (it writes -1: the system places the window).
  const QRect Normal = normalGeometry().isValid() ? normalGeometry() : geometry();
  const int Top = Read.Integer(MainSection, "DSP_TOP", -1, INT_MIN, INT_MAX);
  const int Left = Read.Integer(MainSection, "DSP_LEFT", -1, INT_MIN, INT_MAX);
  const int Height = Read.Integer(MainSection, "DSP_HEIGHT", Normal.height(), MinWindowSide, MaxWindowSide);
  const int Width = Read.Integer(MainSection, "DSP_WIDTH", Normal.width(), MinWindowSide, MaxWindowSide);
  ApplyWindowRect(Left, Top, Width, Height);

  // CPU and CRT.
  ActionKey(HexMemoryDisplayAct, CpuSection, "HexMemoryDisplay");
  ActionKey(Crt132Act, CrtSection, "Crt132");
  ActionKey(CrtAnsiAct, CrtSection, "CrtAnsi");
  AdTerminal1->setFont(Font(AdTerminal1->font(), CrtSection, "FontFace", "FontSize"));

  // TTY: the colours and the rows apply together.
  ActionKey(TTY132Act, TtySection, "TTY132");
  SimpleTerminal1->setFont(Font(SimpleTerminal1->font(), TtySection, "FontFace", "FontSize"));
  QColor Background;
  QColor Text;
  int Rows = 0;
  GetTtyDisplaySettings(Background, Text, Rows);
  const int BgColor = Read.Integer(TtySection, "BgColor", ColorValue(Background), 0, MaxColorValue);
  const int FontColor = Read.Integer(TtySection, "FontColor", ColorValue(Text), 0, MaxColorValue);
  Rows =
      Read.Integer(TtySection, "DisplayRows", Rows, TTTYDisplaySettingsDlg::MinRows, TTTYDisplaySettingsDlg::MaxRows);
  SetTtyDisplaySettings(ColorOf(BgColor), ColorOf(FontColor), Rows);

  // Images; an auto-unmount choice written here by hand counts too, unless the
  // disk server's own section says otherwise.
  Edit(C_CpmSourceFile, DisksSection, "CpmSourceFile");
  Edit(C_BiosSourceFile, DisksSection, "BiosSourceFile");
  Box(C_UseRemoteDiskAutoUnMount, DisksSection, "UseRemoteDiskAutoUnMount");

  ApplyColdBootIoByte(
      static_cast<uint8_t>(Read.Integer(PortsSection, "ColdBootDeviceMapping", FMachine->ColdBootIoByte, 0, 255)));

  // The COM ports: their settings, the enable box last, then the port opens or
  // closes with them.
  Box(C_Com12StopBitsBtn, Com1Section, "Com12StopBits");
  Box(C_Com1HandShake, Com1Section, "Com1HandShake");
  Box(C_UseTCPasCom1, Com1Section, "UseTCPasCom1");
  Edit(C_Com1TCPPort, Com1Section, "Com1TCPPort");
  C_Com1PortNumber->setValue(Read.Integer(Com1Section, "Com1Port", C_Com1PortNumber->value(),
                                          C_Com1PortNumber->minimum(), C_Com1PortNumber->maximum()));
  List(C_Com1BaudList, Com1Section, "Com1Baud", -1);
  List(C_Com1FormatList, Com1Section, "Com1Format", 0);
  ComDevice(1, Com1Section, "Com1Device");
  Box(C_Com1EnableBtn, Com1Section, "Com1Enable");
  Guarded([this] { C_ComPortEnableBtnClick(C_Com1EnableBtn); });
  Box(C_Com22StopBitsBtn, Com2Section, "Com22StopBits");
  Box(C_Com2HandShake, Com2Section, "Com2HandShake");
  C_Com2PortNumber->setValue(Read.Integer(Com2Section, "Com2Port", C_Com2PortNumber->value(),
                                          C_Com2PortNumber->minimum(), C_Com2PortNumber->maximum()));
  List(C_Com2BaudList, Com2Section, "Com2Baud", -1);
  List(C_Com2FormatList, Com2Section, "Com2Format", 0);
  ComDevice(2, Com2Section, "Com2Device");
  Box(C_Com2EnableBtn, Com2Section, "Com2Enable");
  Guarded([this] { C_ComPortEnableBtnClick(C_Com2EnableBtn); });

  // The printer: where the pages go, how they look, and last whether it prints.
  // A printer no longer installed leaves the list without a selection.
  const QString Printer = Read.String(PrinterSection, "PrinterName",
                                      C_PrintersList->currentIndex() >= 0 ? C_PrintersList->currentText() : QString());
  C_PrintersList->setCurrentIndex(C_PrintersList->findText(Printer, Qt::MatchExactly | Qt::MatchCaseSensitive));
  C_PrintersListChange();
  Box(C_PrintToFileBtn, PrinterSection, "PrintToFile");
  Edit(C_PrintFileNameEdit, PrinterSection, "PrintFileName");
  C_PrintOrientaion->SetItemIndex(Read.Integer(PrinterSection, "PrintOrientaion", C_PrintOrientaion->GetItemIndex(), 0,
                                               C_PrintOrientaion->Count() - 1));
  C_PrintOrientaionClick();
  C_TabSpacingEdit->setValue(Read.Integer(PrinterSection, "TabSpacing", C_TabSpacingEdit->value(),
                                          C_TabSpacingEdit->minimum(), C_TabSpacingEdit->maximum()));
  for (const auto& [Control, Key] :
       {std::pair{C_TopBottomMarginEdit, "TopBottomMargin"}, std::pair{C_LeftRightMarginEdit, "LeftRightMargin"},
        std::pair{C_LineSpacingEdit, "LineSpacing"}})
    Control->SetValue(
        Read.Real(PrinterSection, Key, Control->GetValue(), Control->GetMinValue(), Control->GetMaxValue()));
  Box(C_IgnoreFormFeedsBtn, PrinterSection, "IgnoreFormFeeds");
  Box(C_AutoLineWrapBtn, PrinterSection, "AutoLineWrap");
  Box(C_EosEjectsPrinterBtn, PrinterSection, "EosEjectsPrinter");
  PrinterOptionsChanged();
  FPrinterFont = Font(FPrinterFont, PrinterSection, "PrinterFontFace", "PrinterFontSize");
  ActionKey(PrinterEnableAct, PrinterSection, "PrinterEnable");

  // The reader: of the end-of-stream choices the last one stored as 1 holds.
  Edit(C_InputFileNameEdit, FileInSection, "InputFileName");
  for (const auto& [Button, Key] :
       {std::pair{C_InFileEosDone, "InFileEosDone"}, std::pair{C_InFileEosReturnEOS, "InFileEosReturnEOS"},
        std::pair{C_InFileEosRestart, "InFileEosRestart"}, std::pair{C_InFileEosSwitchCon, "InFileEosSwitchCon"}})
    if (Read.Bool(FileInSection, Key, Button->isChecked())) Button->setChecked(true);
  List(C_InFileChangeConList, FileInSection, "InFileChangeCon", 0);
  ActionKey(EnableInputFileAct, FileInSection, "EnableInputFile");

  // The punch.
  Edit(C_OutputFileNameEdit, FileOutSection, "OutputFileName");
  Box(C_AppendOutputFileBtn, FileOutSection, "AppendOutputFile");
  ActionKey(EnableOutputFileAct, FileOutSection, "EnableOutputFile");

  // The remote disk server: its port is "999" unless the file says otherwise;
  // a server stored as active starts (a port it cannot have is reported).
  C_DiskServerPort->setText(
      Read.String(DiskServerSection, "DiskServerPort", QString::fromLatin1(TRmtDskMod::DefaultPort)));
  Box(C_UseRemoteDiskAutoUnMount, DiskServerSection, "UseRemoteDiskAutoUnMount");
  C_UseRemoteDiskAutoUnMountClick();
  ActionKey(ActivateRemoteDiskServerAct, DiskServerSection, "RemoteDiskServerActive");

  UpdateActions();
  return Read.TakeBadKeys();
}

// ---------------------------------------------------------------- collecting a store

void TMainOrvanta::SaveSettings(TNrKeyValueSections& Store) {
  // The checked states show what the devices do.
  UpdateActions();
  const auto Bool = [&](const char* Section, const char* Key, bool Value) { Store.WriteBool(Section, Key, Value); };
  const auto Integer = [&](const char* Section, const char* Key, int Value) {
    Store.WriteInteger(Section, Key, Value);
  };
  const auto String = [&](const char* Section, const char* Key, const QString& Value) {
    Store.WriteString(Section, Key, Value);
  };

  // The normal rectangle, also while the window is maximised or minimised.
  const QRect Normal = normalGeometry().isValid() ? normalGeometry() : geometry();
  Integer(MainSection, "DSP_TOP", -1);
  Integer(MainSection, "DSP_LEFT", -1);
  Integer(MainSection, "DSP_HEIGHT", Normal.height());
  Integer(MainSection, "DSP_WIDTH", Normal.width());

  Bool(CpuSection, "HexMemoryDisplay", HexMemoryDisplayAct->isChecked());

  Bool(CrtSection, "Crt132", Crt132Act->isChecked());
  Bool(CrtSection, "CrtAnsi", CrtAnsiAct->isChecked());
  String(CrtSection, "FontFace", AdTerminal1->font().family());
  Integer(CrtSection, "FontSize", PointSizeOf(AdTerminal1->font()));

  QColor Background;
  QColor Text;
  int Rows = 0;
  GetTtyDisplaySettings(Background, Text, Rows);
  Bool(TtySection, "TTY132", TTY132Act->isChecked());
  String(TtySection, "FontFace", SimpleTerminal1->font().family());
  Integer(TtySection, "FontSize", PointSizeOf(SimpleTerminal1->font()));
  Integer(TtySection, "BgColor", ColorValue(Background));
  Integer(TtySection, "FontColor", ColorValue(Text));
  Integer(TtySection, "DisplayRows", Rows);

  String(DisksSection, "CpmSourceFile", C_CpmSourceFile->text());
  String(DisksSection, "BiosSourceFile", C_BiosSourceFile->text());

  Integer(PortsSection, "ColdBootDeviceMapping", FMachine->ColdBootIoByte);

  Bool(Com1Section, "Com1Enable", C_Com1EnableBtn->isChecked());
  Bool(Com1Section, "Com12StopBits", C_Com12StopBitsBtn->isChecked());
  Bool(Com1Section, "Com1HandShake", C_Com1HandShake->isChecked());
  Bool(Com1Section, "UseTCPasCom1", C_UseTCPasCom1->isChecked());
  String(Com1Section, "Com1TCPPort", C_Com1TCPPort->text());
  Integer(Com1Section, "Com1Port", C_Com1PortNumber->value());
  Integer(Com1Section, "Com1Baud", C_Com1BaudList->currentIndex());
  Integer(Com1Section, "Com1Format", C_Com1FormatList->currentIndex());
  String(Com1Section, "Com1Device", QString::fromStdString(FMachine->Com1Settings.Device));

  Bool(Com2Section, "Com2Enable", C_Com2EnableBtn->isChecked());
  Bool(Com2Section, "Com22StopBits", C_Com22StopBitsBtn->isChecked());
  Bool(Com2Section, "Com2HandShake", C_Com2HandShake->isChecked());
  Integer(Com2Section, "Com2Port", C_Com2PortNumber->value());
  Integer(Com2Section, "Com2Baud", C_Com2BaudList->currentIndex());
  Integer(Com2Section, "Com2Format", C_Com2FormatList->currentIndex());
  String(Com2Section, "Com2Device", QString::fromStdString(FMachine->Com2Settings.Device));

  Bool(PrinterSection, "PrinterEnable", PrinterEnableAct->isChecked());
  String(PrinterSection, "PrinterName",
         C_PrintersList->currentIndex() >= 0 ? C_PrintersList->currentText() : QString());
  Integer(PrinterSection, "PrintOrientaion", C_PrintOrientaion->GetItemIndex());
  Integer(PrinterSection, "TabSpacing", C_TabSpacingEdit->value());
  Store.WriteFloat(PrinterSection, "TopBottomMargin", C_TopBottomMarginEdit->GetValue());
  Store.WriteFloat(PrinterSection, "LeftRightMargin", C_LeftRightMarginEdit->GetValue());
  Store.WriteFloat(PrinterSection, "LineSpacing", C_LineSpacingEdit->GetValue());
  Bool(PrinterSection, "IgnoreFormFeeds", C_IgnoreFormFeedsBtn->isChecked());
  Bool(PrinterSection, "AutoLineWrap", C_AutoLineWrapBtn->isChecked());
  Bool(PrinterSection, "EosEjectsPrinter", C_EosEjectsPrinterBtn->isChecked());
  Bool(PrinterSection, "PrintToFile", C_PrintToFileBtn->isChecked());
  String(PrinterSection, "PrintFileName", C_PrintFileNameEdit->text());
  String(PrinterSection, "PrinterFontFace", FPrinterFont.family());
  Integer(PrinterSection, "PrinterFontSize", PointSizeOf(FPrinterFont));

  Bool(FileInSection, "EnableInputFile", EnableInputFileAct->isChecked());
  String(FileInSection, "InputFileName", C_InputFileNameEdit->text());
  Bool(FileInSection, "InFileEosDone", C_InFileEosDone->isChecked());
  Bool(FileInSection, "InFileEosReturnEOS", C_InFileEosReturnEOS->isChecked());
  Bool(FileInSection, "InFileEosRestart", C_InFileEosRestart->isChecked());
  Bool(FileInSection, "InFileEosSwitchCon", C_InFileEosSwitchCon->isChecked());
  Integer(FileInSection, "InFileChangeCon", C_InFileChangeConList->currentIndex());

  Bool(FileOutSection, "EnableOutputFile", EnableOutputFileAct->isChecked());
  String(FileOutSection, "OutputFileName", C_OutputFileNameEdit->text());
  Bool(FileOutSection, "AppendOutputFile", C_AppendOutputFileBtn->isChecked());

  String(DiskServerSection, "DiskServerPort", C_DiskServerPort->text());
  Bool(DiskServerSection, "UseRemoteDiskAutoUnMount", C_UseRemoteDiskAutoUnMount->isChecked());
  Bool(DiskServerSection, "RemoteDiskServerActive", ActivateRemoteDiskServerAct->isChecked());
}

// ---------------------------------------------------------------- the file

bool TMainOrvanta::LoadSettingsFile() {
  TNrKeyValueSections Store;
  const QString FileName = QString::fromStdString(GetSettingsFileName());
  if (!Store.LoadFromFile(FileName)) return false;
  const std::vector<std::string> BadKeys = LoadSettings(Store);
  if (!BadKeys.empty()) {
    std::string Text = "These values in the settings file \"" + GetSettingsFileName() +
                       "\" could not be used; the settings they hold keep their previous values:";
    for (const std::string& Key : BadKeys) Text += "\n" + Key;
    ShowMessage(TMachineMessageKind::Warning, Text);
  }
  return true;
}

void TMainOrvanta::SaveSettingsFile() {
  TNrKeyValueSections Store;
  SaveSettings(Store);
  Store.SaveToFile(QString::fromStdString(GetSettingsFileName()));
}
