// The settings file as a user lives with it: whatever was set through the
// window's controls, actions and dialogs is there again after a restart; a
// file with a bad value applies the rest and says which key was skipped; a
// work folder that cannot be written at the close is reported and the user
// chooses between leaving and staying, with the machine consistent either way.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableWidget>
#include <fstream>

#include "ComPortNames.h"
#include "MainRadioGroup.h"
#include "MainWindowTestRig.h"
#include "PseudoTerminal.h"
#include "RmtDskMod.h"
#include "SerialPortList.h"
#include "Rspin.h"
#include "SelectComPortDlg.h"
#include "TTYDisplaySettingsDlg.h"
#include "TTYPrinter.h"

using korvel_test::ClickBox;
using korvel_test::TMainWindowRig;

namespace {

// Moves a list to Index with the arrow keys, as a user would.
void ChooseItem(QComboBox* List, int Index) {
  List->setFocus();
  while (List->currentIndex() < Index) QTest::keyClick(List, Qt::Key_Down);
  while (List->currentIndex() > Index) QTest::keyClick(List, Qt::Key_Up);
}

// Replaces what an edit holds by typing Text into it.
template <class TEdit>
void TypeInto(TEdit* Edit, const QString& Text) {
  Edit->setFocus();
  Edit->selectAll();
  QTest::keyClicks(Edit, Text);
}

void PickColor(TTTYDisplaySettingsDlg& Dialog, QPushButton* Button, const QColor& Color,
               const std::string& Screenshot = {}) {
  QTest::mouseClick(Button, Qt::LeftButton);
  QColorDialog* Colors = Dialog.ColorDialog();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Colors));
  Colors->setCurrentColor(Color);
  if (!Screenshot.empty()) korvel_test::SaveScreenshot(korvel_test::Rendered(*Colors), Screenshot);
  QTest::mouseClick(Colors->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
}

std::string ReadText(const std::filesystem::path& File) {
  const auto Bytes = korvel_test::ReadFile(File);
  return std::string(Bytes.begin(), Bytes.end());
}

// Root writes into any folder: for as long as it lives, this thread has to go
// by a folder's permission bits like any user. False when it cannot.
class TNoDacOverride {
 public:
  TNoDacOverride() { FActive = ::geteuid() != 0 || Set(false); }
  ~TNoDacOverride() {
    if (::geteuid() == 0) Set(true);
  }
  bool Active() const { return FActive; }

 private:
  static bool Set(bool On) {
    __user_cap_header_struct Header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct Data[2]{};
    if (::syscall(SYS_capget, &Header, Data) != 0) return false;
    const uint32_t Bit = 1u << (CAP_DAC_OVERRIDE % 32);
    if (On)
      Data[CAP_DAC_OVERRIDE / 32].effective |= Bit;
    else
      Data[CAP_DAC_OVERRIDE / 32].effective &= ~Bit;
    return ::syscall(SYS_capset, &Header, Data) == 0;
  }
  bool FActive = false;
};

}  // namespace

TEST(SettingsFileTest, EverySettingComesBackAfterARestart) {
  // A locale that writes its numbers with a decimal comma: the file keeps a point.
  const QLocale Before;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  struct TRestoreLocale {
    QLocale Locale;
    ~TRestoreLocale() { QLocale::setDefault(Locale); }
  } RestoreLocale{Before};
  korvel_test::PseudoTerminal Com2Line;
  SetComPortDevice(46, Com2Line.SlaveName());
  TMainWindowRig Rig;
  const std::filesystem::path Public = Rig.Public();
  std::ofstream(Public / "reader.txt") << "Read me\r\n";

  const QString Family = korvel_test::TestFixedFont().family();
  std::string Printer;
  {
    TMainOrvanta& Window = *Rig.Window;
    Printer = Window.C_PrintersList->currentText().toStdString();
    Window.resize(760, 640);
    // View: the actions and the font dialogs.
    Window.HexMemoryDisplayAct->trigger();
    Window.Crt132Act->trigger();
    Window.CrtAnsiAct->trigger();
    Window.TTY132Act->trigger();
    Rig.Dialogs.FontAnswers = {QFont(Family, 13), QFont(Family, 9)};
    Window.SetCrtFont->trigger();
    Window.SetTttyFont->trigger();

    // "TTY Display Settings": tried and cancelled changes nothing; "Update" applies.
    Rig.Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
      auto& Settings = dynamic_cast<TTTYDisplaySettingsDlg&>(Dialog);
      QColor Back, Text;
      int Rows = 0;
      Settings.GetSettings(Back, Text, Rows);
      EXPECT_EQ(Back, QColor(166, 202, 240)) << "the TTY page's own";
      EXPECT_EQ(Text, QColor(255, 255, 0));
      EXPECT_EQ(Rows, 50);
      PickColor(Settings, Settings.BgColorButton(), QColor(200, 0, 0));
      TypeInto(Settings.DisplayRowsSpin(), "12");
      QTest::mouseClick(Settings.CancelButton(), Qt::LeftButton);
    });
    Window.TTYDisplaySettingsAct->trigger();
    QColor Back, Text;
    int Rows = 0;
    Window.GetTtyDisplaySettings(Back, Text, Rows);
    EXPECT_EQ(Back, QColor(166, 202, 240));
    EXPECT_EQ(Rows, 50);
    Rig.Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
      auto& Settings = dynamic_cast<TTTYDisplaySettingsDlg&>(Dialog);
      PickColor(Settings, Settings.BgColorButton(), QColor(10, 20, 30), "Settings-tty-display-colour");
      PickColor(Settings, Settings.FontColorButton(), QColor(200, 100, 50));
      TypeInto(Settings.DisplayRowsSpin(), "30");
      korvel_test::SaveScreenshot(korvel_test::Rendered(Settings), "Settings-tty-display-settings");
      QTest::mouseClick(Settings.UpdateButton(), Qt::LeftButton);
    });
    Window.TTYDisplaySettingsAct->trigger();
    Window.GetTtyDisplaySettings(Back, Text, Rows);
    EXPECT_EQ(Back, QColor(10, 20, 30));
    EXPECT_EQ(Text, QColor(200, 100, 50));
    EXPECT_EQ(Rows, 30);
    EXPECT_EQ(Rig.Dialogs.DialogTitles, std::vector<std::string>(2, "TTY Display Settings"));

    // Disks: the image names through their dialogs.
    Rig.Dialogs.FileAnswers = {(Public / "my-cpm.hex").string(), (Public / "my-bios.hex").string()};
    Window.CPMSelectImageNameAct->trigger();
    Window.BIOSSelectImageNameAct->trigger();

    // Ports: the console on the TTY and the list device on the printer as the
    // cold-boot mapping.
    Window.ShowPage(TMainOrvanta::PortsPageIndex);
    TMainWindowRig::Settle();
    ChooseItem(Window.C_CpmConsolePortId, 0);
    ChooseItem(Window.C_CpmListPortId, 2);
    QTest::mouseClick(Window.SetDefaultMappingsBtn, Qt::LeftButton);

    // Com 1 as a TCP server.
    Window.PortsPageControl->setCurrentIndex(0);
    TMainWindowRig::Settle();
    ClickBox(Window.C_UseTCPasCom1);
    TypeInto(Window.C_Com1TCPPort, "0");
    TypeInto(Window.C_Com1PortNumber, "7");
    ChooseItem(Window.C_Com1BaudList, 9);
    ChooseItem(Window.C_Com1FormatList, 1);
    ClickBox(Window.C_Com12StopBitsBtn);
    ClickBox(Window.C_Com1HandShake);
    ClickBox(Window.C_Com1EnableBtn);

    // Com 2 on the port the "..." button's dialog offers: the test's line.
    Window.PortsPageControl->setCurrentIndex(1);
    TMainWindowRig::Settle();
    Rig.Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
      auto& Ports = dynamic_cast<TSelectComPortDlg&>(Dialog);
      EXPECT_EQ(Ports.PresetPort, QStringLiteral("COM2"));
      QTableWidget* Grid = Ports.ValueListEditor1();
      const QList<QTableWidgetItem*> Found = Grid->findItems(QStringLiteral("COM46"), Qt::MatchExactly);
      ASSERT_EQ(Found.size(), 1);
      EXPECT_EQ(Grid->item(Found[0]->row(), 1)->text().toStdString(), Com2Line.SlaveName());
      QTest::mouseClick(Grid->viewport(), Qt::LeftButton, Qt::NoModifier, Grid->visualItemRect(Found[0]).center());
      korvel_test::SaveScreenshot(korvel_test::Rendered(Ports), "Settings-select-com-port");
      QTest::mouseClick(Ports.OkButton(), Qt::LeftButton);
    });
    QTest::mouseClick(Window.C_Com2SelectBtn, Qt::LeftButton);
    EXPECT_EQ(Rig.Dialogs.DialogTitles.back(), "Select Com Port");
    EXPECT_EQ(Window.C_Com2PortNumber->value(), 46);
    // (A pseudo-terminal takes no parity and no 7-bit bytes a second time: the
    // line stays at 8 bits, no parity, where it opens again after the restart.)
    ChooseItem(Window.C_Com2BaudList, 5);
    ClickBox(Window.C_Com22StopBitsBtn);
    ClickBox(Window.C_Com2HandShake);
    ClickBox(Window.C_Com2EnableBtn);

    // Printer: into a PDF file, landscape, its own tabs, margins and font.
    Window.PortsPageControl->setCurrentIndex(2);
    TMainWindowRig::Settle();
    Rig.Dialogs.FileAnswers = {(Public / "printed.pdf").string()};
    QTest::mouseClick(Window.PrintFileBrowseBtn, Qt::LeftButton);
    EXPECT_EQ(Rig.Dialogs.FileRequests.back().Title, "Select PDF File Name");
    EXPECT_TRUE(Window.C_PrintToFileBtn->isChecked());
    ClickBox(qobject_cast<QRadioButton*>(Window.C_PrintOrientaion->Buttons().button(1)));
    TypeInto(Window.C_TabSpacingEdit, "4");
    TypeInto(Window.C_TopBottomMarginEdit, "0,75");
    Window.C_LeftRightMarginEdit->setFocus();
    QTest::keyClick(Window.C_LeftRightMarginEdit, Qt::Key_Up);
    QTest::keyClick(Window.C_LeftRightMarginEdit, Qt::Key_Up);
    TypeInto(Window.C_LineSpacingEdit, "1,5");
    Window.C_TabSpacingEdit->setFocus();
    EXPECT_EQ(Window.C_LeftRightMarginEdit->text(), QStringLiteral("0,75"));
    ClickBox(Window.C_IgnoreFormFeedsBtn);
    ClickBox(Window.C_AutoLineWrapBtn);
    ClickBox(Window.C_EosEjectsPrinterBtn);
    Rig.Dialogs.FontAnswers = {QFont(Family, 10)};
    Window.PrinterFontAct->trigger();
    EXPECT_EQ(Rig.Dialogs.FixedPitchFontRequests, 1);
    ClickBox(Window.C_EnablePrinterBtn);
    ASSERT_NE(Window.TtyPrinter(), nullptr);
    EXPECT_FALSE(Window.C_TabSpacingEdit->isEnabled()) << "the running printer's settings are fixed";
    EXPECT_TRUE(Window.C_AutoLineWrapBtn->isEnabled());
    TMainWindowRig::Settle();
    korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "Settings-ports-printer-pdf");

    // Reader and punch files.
    Window.PortsPageControl->setCurrentIndex(3);
    TMainWindowRig::Settle();
    Rig.Dialogs.FileAnswers = {(Public / "reader.txt").string(), (Public / "punch.txt").string()};
    QTest::mouseClick(Window.InputFileBrowseBtn, Qt::LeftButton);
    ClickBox(Window.C_InFileEosRestart);
    ChooseItem(Window.C_InFileChangeConList, 3);
    ClickBox(Window.C_EnableInputFileBtn);
    Window.PortsPageControl->setCurrentIndex(4);
    TMainWindowRig::Settle();
    QTest::mouseClick(Window.OutputFileBrowseBtn, Qt::LeftButton);
    ClickBox(Window.C_AppendOutputFileBtn);
    ClickBox(Window.EnableOutputFileBtn);

    // The disk server's port and auto-unmount choice on its panel.
    Window.C_DiskServerPort->setText(QStringLiteral("1999"));
    Window.C_UseRemoteDiskAutoUnMount->setChecked(false);
    EXPECT_TRUE(Rig.Dialogs.Messages.empty()) << Rig.Dialogs.Messages[0].second;
  }

  // Every key of every section, in the file's order, with what was chosen.
  Rig.Restart();
  std::string Expected = R"([MAIN]
DSP_TOP=-1
DSP_LEFT=-1
DSP_HEIGHT=640
DSP_WIDTH=760

[CPU]
HexMemoryDisplay=0

[CRT]
Crt132=1
CrtAnsi=0
FontFace=<font>
FontSize=13

[TTY]
TTY132=1
FontFace=<font>
FontSize=9
BgColor=1971210
FontColor=3302600
DisplayRows=30

[DISKS]
CpmSourceFile=<public>/my-cpm.hex
BiosSourceFile=<public>/my-bios.hex

[PORTS]
ColdBootDeviceMapping=128

[PORT_DEVICE_COM1]
Com1Enable=1
Com12StopBits=1
Com1HandShake=0
UseTCPasCom1=1
Com1TCPPort=0
Com1Port=7
Com1Baud=9
Com1Format=1
Com1Device=

[PORT_DEVICE_COM2]
Com2Enable=1
Com22StopBits=1
Com2HandShake=0
Com2Port=46
Com2Baud=5
Com2Format=3
Com2Device=

[PORT_DEVICE_PRINTER]
PrinterEnable=1
PrinterName=
PrintOrientaion=1
TabSpacing=4
TopBottomMargin=0.75
LeftRightMargin=0.75
LineSpacing=1.5
IgnoreFormFeeds=1
AutoLineWrap=0
EosEjectsPrinter=0
PrintToFile=1
PrintFileName=<public>/printed.pdf
PrinterFontFace=<font>
PrinterFontSize=10

[PORT_DEVICE_FILE_IN]
EnableInputFile=1
InputFileName=<public>/reader.txt
InFileEosDone=0
InFileEosReturnEOS=0
InFileEosRestart=1
InFileEosSwitchCon=0
InFileChangeCon=3

[PORT_DEVICE_FILE_OUT]
EnableOutputFile=1
OutputFileName=<public>/punch.txt
AppendOutputFile=1

[DISK SERVER]
DiskServerPort=1999
UseRemoteDiskAutoUnMount=0
RemoteDiskServerActive=0

)";
  for (const auto& [Name, Value] : {std::pair<std::string, std::string>{"<font>", Family.toStdString()},
                                    {"<public>", Public.string()},
                                    {"\n", "\r\n"}})
    for (size_t At = Expected.find(Name); At != std::string::npos; At = Expected.find(Name, At + Value.size()))
      Expected.replace(At, Name.size(), Value);
  if (!Printer.empty()) Expected.replace(Expected.find("PrinterName="), 12, "PrinterName=" + Printer);
  const std::string Written = ReadText(Rig.SettingsFile());
  EXPECT_EQ(Written, Expected);

  // The new window shows it all and its devices work as they did.
  TMainOrvanta& Again = *Rig.Window;
  EXPECT_EQ(Again.size(), QSize(760, 640));
  EXPECT_EQ(Rig.Machine().CrtBuffer().GetColCount(), 132);
  EXPECT_EQ(Again.AdTerminal1->font().pointSize(), 13);
  EXPECT_EQ(Again.SimpleTerminal1->GetColumns(), 132);
  EXPECT_EQ(Again.SimpleTerminal1->GetColor(), QColor(10, 20, 30));
  EXPECT_EQ(Again.PageControl1->currentWidget(), Again.TtyPage) << "CON is the TTY";
  EXPECT_TRUE(Rig.Machine().TcpPort().GetActive());
  EXPECT_TRUE(Rig.Machine().ComRx2().GetActive());
  EXPECT_EQ(Again.C_LineSpacingEdit->text(), QStringLiteral("1,50")) << "shown as the locale writes it";
  ASSERT_NE(Again.TtyPrinter(), nullptr);
  const TTTYPrinter& Running = *Again.TtyPrinter();
  EXPECT_EQ(Running.GetOutputFileName().toStdString(), (Public / "printed.pdf").string());
  EXPECT_EQ(Running.GetOrientation(), QPageLayout::Landscape);
  EXPECT_EQ(Running.GetTopMargin(), 0.75);
  EXPECT_EQ(Running.GetLineSpacing(), 1.5);
  EXPECT_EQ(Running.GetFont().pointSize(), 10);
  EXPECT_TRUE(Rig.Machine().InputFileEnabled());
  EXPECT_EQ(Rig.Machine().ReaderEndOfStream, TReaderEndOfStream::Restart);
  EXPECT_TRUE(Rig.Machine().OutputFileEnabled());
  EXPECT_TRUE(Rig.Dialogs.Messages.empty()) << Rig.Dialogs.Messages[0].second;

  // Loaded and saved again unchanged, the file is the same to the byte.
  Rig.Restart();
  EXPECT_EQ(ReadText(Rig.SettingsFile()), Written);
  Rig.Window->close();
  SetComPortDevice(46, "");
}

TEST(SettingsFileTest, AUsbAdapterChosenForCom1IsTheDeviceItOpensAfterARestartToo) {
  // A pseudo-terminal stands in for /dev/ttyUSB0: a device the host lists by
  // its path, which no COM number reaches.
  korvel_test::PseudoTerminal Adapter;
  const std::string Device = Adapter.SlaveName();
  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;
  Window.SelectComPortDlg->SetPortSource([Device] { return ListSerialPorts({Device}); });
  Window.ShowPage(TMainOrvanta::PortsPageIndex);
  Window.PortsPageControl->setCurrentIndex(0);
  TMainWindowRig::Settle();
  EXPECT_EQ(Window.C_Com1DeviceEdit->text().toStdString(), ComPortDevice(1)) << "COM1's own device at first";

  // "..." on the Com 1 page: the adapter's row chosen and OK.
  Rig.Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
    auto& Ports = dynamic_cast<TSelectComPortDlg&>(Dialog);
    EXPECT_EQ(Ports.PresetPort, QStringLiteral("COM1"));
    QTableWidget* Grid = Ports.ValueListEditor1();
    const QList<QTableWidgetItem*> Found = Grid->findItems(QString::fromStdString(Device), Qt::MatchExactly);
    ASSERT_FALSE(Found.isEmpty());
    EXPECT_EQ(Found[0]->column(), 0) << "listed by its path";
    QTest::mouseClick(Grid->viewport(), Qt::LeftButton, Qt::NoModifier, Grid->visualItemRect(Found[0]).center());
    EXPECT_TRUE(Ports.OkButton()->isEnabled());
    korvel_test::SaveScreenshot(korvel_test::Rendered(Ports), "Settings-com1-usb-adapter-chosen");
    QTest::mouseClick(Ports.OkButton(), Qt::LeftButton);
  });
  QTest::mouseClick(Window.C_Com1SelectBtn, Qt::LeftButton);
  ASSERT_EQ(Rig.Dialogs.DialogTitles, std::vector<std::string>{"Select Com Port"});
  EXPECT_EQ(Window.C_Com1DeviceEdit->text().toStdString(), Device) << "the Ports page shows the adapter";
  EXPECT_EQ(Window.C_Com1PortNumber->value(), 1);
  EXPECT_EQ(Window.C_Com2DeviceEdit->text().toStdString(), ComPortDevice(2)) << "COM2 keeps its own";

  // Enabled, COM1 is the adapter, both ways. (A pseudo-terminal has no
  // handshake lines: the line runs without hardware flow.)
  ClickBox(Window.C_Com1HandShake);
  ClickBox(Window.C_Com1EnableBtn);
  ASSERT_TRUE(Window.C_Com1EnableBtn->isChecked()) << (Rig.MessageTexts().empty() ? "" : Rig.MessageTexts()[0]);
  const auto Exchange = [&](uint8_t Sent, uint8_t Answer) {
    Adapter.Send({Sent});
    uint8_t Status = 0;
    EXPECT_TRUE(Rig.WaitFor([&] {
      Rig.Machine().CpuPortRead(20, Status);
      return (Status & 2) != 0;
    }));
    uint8_t Data = 0;
    Rig.Machine().CpuPortRead(21, Data);
    EXPECT_EQ(Data, Sent);
    Rig.Machine().CpuPortWrite(21, Answer);
    EXPECT_EQ(Adapter.Receive(1), std::vector<uint8_t>{Answer});
  };
  Exchange('U', 'u');
  TMainWindowRig::Settle();
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "Settings-com1-usb-adapter-open");

  // After a restart: in the file beside COM1's own keys, on the page, and open.
  Rig.Restart();
  const std::string Written = ReadText(Rig.SettingsFile());
  EXPECT_NE(Written.find("Com1Format=3\r\nCom1Device=" + Device + "\r\n\r\n[PORT_DEVICE_COM2]"), std::string::npos)
      << Written;
  EXPECT_NE(Written.find("Com2Device=\r\n"), std::string::npos) << Written;
  TMainOrvanta& Again = *Rig.Window;
  Again.ShowPage(TMainOrvanta::PortsPageIndex);
  TMainWindowRig::Settle();
  EXPECT_EQ(Again.C_Com1DeviceEdit->text().toStdString(), Device);
  EXPECT_TRUE(Again.C_Com1EnableBtn->isChecked());
  Adapter.Drain();
  Exchange('S', 's');
  EXPECT_TRUE(Rig.Dialogs.Messages.empty()) << Rig.Dialogs.Messages[0].second;
  korvel_test::SaveScreenshot(korvel_test::Rendered(Again), "Settings-com1-usb-adapter-restarted");

  // A COM number typed on the page takes the port back from the adapter.
  ClickBox(Again.C_Com1EnableBtn);
  ASSERT_FALSE(Again.C_Com1EnableBtn->isChecked());
  TypeInto(Again.C_Com1PortNumber, "3");
  EXPECT_EQ(Again.C_Com1DeviceEdit->text().toStdString(), ComPortDevice(3));
  EXPECT_TRUE(Again.close());
  EXPECT_NE(ReadText(Rig.SettingsFile()).find("Com1Port=3\r\nCom1Baud=-1\r\nCom1Format=3\r\nCom1Device=\r\n"),
            std::string::npos);
}

TEST(SettingsFileTest, ABadValueIsReportedOnceAndTheRestStillApplies) {
  TMainWindowRig Rig(false);
  std::ofstream(Rig.SettingsFile()) << "[MAIN]\n"
                                       "DSP_TOP=-1\nDSP_LEFT=-1\nDSP_HEIGHT=600\nDSP_WIDTH=wide\n"
                                       "[CRT]\nCrt132=1\nFontSize=0\n"
                                       "[TTY]\nBgColor=255\nFontColor=-5\nDisplayRows=1000\n"
                                       "[PORTS]\nColdBootDeviceMapping=0\n"
                                       "[PORT_DEVICE_COM1]\nCom1Port=7\nCom1Baud=16\nCom1Format=2\n"
                                       "[PORT_DEVICE_COM2]\nCom2Format=1\nCom2Port=0\n"
                                       "[PORT_DEVICE_PRINTER]\nPrinterEnable=1\nTabSpacing=4\n"
                                       "TopBottomMargin=0,75\nLeftRightMargin=1.5\nLineSpacing=9\n";
  Rig.Show();
  TMainOrvanta& Window = *Rig.Window;

  // What could be used is used, the start page included.
  EXPECT_EQ(Window.height(), 600);
  EXPECT_TRUE(Window.Crt132Act->isChecked());
  EXPECT_EQ(Window.SimpleTerminal1->GetColor(), QColor(255, 0, 0));
  EXPECT_EQ(Window.SimpleTerminal1->GetFontColor(), QColor(255, 255, 0)) << "the design value stays";
  EXPECT_EQ(Window.SimpleTerminal1->GetRows(), 50);
  EXPECT_EQ(Window.C_Com1PortNumber->value(), 7);
  EXPECT_EQ(Window.C_Com1BaudList->currentIndex(), -1);
  EXPECT_EQ(Window.C_Com1FormatList->currentIndex(), 2);
  EXPECT_EQ(Window.C_Com2FormatList->currentIndex(), 1);
  EXPECT_EQ(Window.C_Com2PortNumber->value(), 2);
  EXPECT_EQ(Window.C_TabSpacingEdit->value(), 4);
  EXPECT_EQ(Window.C_TopBottomMarginEdit->GetValue(), 0.75) << "a file of an older version, with a comma";
  EXPECT_EQ(Window.C_LeftRightMarginEdit->GetValue(), 1.5);
  EXPECT_EQ(Window.C_LineSpacingEdit->GetValue(), 1.1);
  EXPECT_EQ(Window.PageControl1->currentWidget(), Window.TtyPage);

  // One message lists the keys that were skipped. A printer that cannot print
  // stays off and says why.
  const size_t Expected = Window.PrintersExist() ? 1u : 2u;
  ASSERT_EQ(Rig.Dialogs.Messages.size(), Expected);
  const auto& [Kind, Text] = Rig.Dialogs.Messages.back();
  EXPECT_EQ(Kind, TMachineMessageKind::Warning);
  EXPECT_NE(Text.find(Rig.SettingsFile().string()), std::string::npos) << Text;
  EXPECT_NE(Text.find("\n[MAIN] DSP_WIDTH=wide\n[CRT] FontSize=0\n[TTY] FontColor=-5\n[TTY] DisplayRows=1000\n"
                      "[PORT_DEVICE_COM1] Com1Baud=16\n[PORT_DEVICE_COM2] Com2Port=0\n"
                      "[PORT_DEVICE_PRINTER] LineSpacing=9"),
            std::string::npos)
      << Text;
  if (!Window.PrintersExist()) {
    EXPECT_FALSE(Window.PrinterEnableAct->isChecked());
    EXPECT_EQ(Rig.Machine().Printer(), nullptr);
    EXPECT_EQ(Rig.Dialogs.Messages[0].second.rfind("Unable to enable the printer: this computer has no printer.", 0),
              0u)
        << Rig.Dialogs.Messages[0].second;
  }
}

TEST(SettingsFileTest, AFolderThatCannotBeWrittenAtTheCloseLetsTheUserLeaveOrStay) {
  TMainWindowRig Rig;
  Rig.Window->TTY132Act->trigger();
  Rig.Restart();
  const std::string Saved = ReadText(Rig.SettingsFile());
  ASSERT_NE(Saved.find("TTY132=1"), std::string::npos);
  TMainOrvanta& Window = *Rig.Window;
  Window.RunCpuAct->trigger();
  ASSERT_TRUE(Window.RunLoopActive());
  Window.TTY132Act->trigger();

  const std::filesystem::path Work = Rig.WorkFolder();
  std::filesystem::permissions(
      Work,
      std::filesystem::perms::owner_write | std::filesystem::perms::group_write | std::filesystem::perms::others_write,
      std::filesystem::perm_options::remove);
  struct TRestorePermissions {
    std::filesystem::path Folder;
    ~TRestorePermissions() { std::filesystem::permissions(Folder, std::filesystem::perms::owner_all); }
  } RestorePermissions{Work};
  TNoDacOverride AsAUser;
  if (!AsAUser.Active()) GTEST_SKIP() << "this process cannot give up root's right to write any folder";

  // "Stay": the close is taken back; the machine runs on and may be stopped and
  // started again.
  Rig.Dialogs.AskAnswers = {false};
  EXPECT_FALSE(Window.close());
  EXPECT_TRUE(Window.isVisible());
  ASSERT_EQ(Rig.Dialogs.Questions.size(), 1u);
  EXPECT_NE(Rig.Dialogs.Questions[0].find(Rig.SettingsFile().string()), std::string::npos) << Rig.Dialogs.Questions[0];
  EXPECT_NE(Rig.Dialogs.Questions[0].find("|Close Anyway|Stay"), std::string::npos) << Rig.Dialogs.Questions[0];
  EXPECT_FALSE(Rig.Machine().ShutdownRequested);
  EXPECT_TRUE(Window.RunCpuAct->isChecked());
  EXPECT_TRUE(Window.RunLoopActive());
  const uint64_t Count = Rig.Machine().Cpu().InstructionCount;
  ASSERT_TRUE(Rig.WaitFor([&] { return Rig.Machine().Cpu().InstructionCount > Count; }));
  Window.RunCpuAct->trigger();
  EXPECT_FALSE(Window.RunLoopActive());
  Window.RunCpuAct->trigger();
  EXPECT_TRUE(Window.RunCpuAct->isChecked());
  EXPECT_TRUE(Window.RunLoopActive());

  // "Close Anyway": the window closes, the machine stops for good, and the old
  // file is left as it was.
  Rig.Dialogs.AskAnswers = {true};
  EXPECT_TRUE(Window.close());
  EXPECT_FALSE(Window.isVisible());
  EXPECT_EQ(Rig.Dialogs.Questions.size(), 2u);
  EXPECT_TRUE(Rig.Machine().ShutdownRequested);
  EXPECT_FALSE(Window.RunCpuAct->isChecked());
  EXPECT_FALSE(Window.RunLoopActive());
  Window.RunCpuAct->trigger();
  EXPECT_FALSE(Window.RunCpuAct->isChecked());
  EXPECT_EQ(ReadText(Rig.SettingsFile()), Saved);
  EXPECT_TRUE(Rig.Dialogs.Messages.empty());
}
