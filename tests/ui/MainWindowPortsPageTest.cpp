// The Com 1 and Com 2 tabs of the Ports page say what each port opens: the
// rate its baud list shows is the rate its device runs at once the port is
// enabled (in a fresh work folder, and after the settings file brought the
// ports back at a restart), and while "Use TCP as Com Port" is checked the
// Com 1 tab shows the TCP port it listens on (for port 0, the one the system
// chose, where a client gets through).
#include <termios.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTabWidget>
#include <exception>
#include <memory>

#include "ComPortNames.h"
#include "MainWindowTestRig.h"
#include "PseudoTerminal.h"
#include "SerialPort.h"
#include "TcpSocket.h"

using korvel_test::ClickBox;
using korvel_test::TMainWindowRig;

namespace {

// COM1 and COM2 are pseudo-terminals while the test runs.
class TComLines {
 public:
  TComLines() {
    SetComPortDevice(1, Com1.SlaveName());
    SetComPortDevice(2, Com2.SlaveName());
  }
  ~TComLines() {
    SetComPortDevice(1, "");
    SetComPortDevice(2, "");
  }
  TComLines(const TComLines&) = delete;
  TComLines& operator=(const TComLines&) = delete;

  korvel_test::PseudoTerminal Com1;
  korvel_test::PseudoTerminal Com2;
};

// The rate a port's baud list shows: its item, or without one its placeholder.
uint32_t ShownRate(const QComboBox& List) {
  const QString Text = List.currentIndex() >= 0 ? List.currentText() : List.placeholderText();
  return Text.trimmed().section(QLatin1Char(' '), 0, 0).toUInt();
}

// Puts the device at 300 baud, a rate neither port starts with: a rate other
// than 300 afterwards is the one the port set.
void SetTo300(const korvel_test::PseudoTerminal& Line) {
  termios Settings = Line.SlaveSettings();
  cfsetspeed(&Settings, B300);
  ASSERT_EQ(tcsetattr(Line.Slave(), TCSANOW, &Settings), 0);
}

uint32_t DeviceRate(const korvel_test::PseudoTerminal& Line) {
  return TSerialPort::CurrentBaudRate(Line.Slave()).value_or(0);
}

void ShowComTab(TMainOrvanta& Window, int Port) {
  Window.ShowPage(TMainOrvanta::PortsPageIndex);
  Window.PortsPageControl->setCurrentIndex(Port - 1);
  TMainWindowRig::Settle();
}

}  // namespace

TEST(MainWindowPortsPageTest, EachComTabShowsTheRateItsPortOpensAtAndCom1ItsTcpPort) {
  TComLines Lines;
  SetTo300(Lines.Com1);
  SetTo300(Lines.Com2);
  TMainWindowRig Rig;

  // No rate chosen: each list shows the rate its port opens at, and the
  // enabled port runs its device at it.
  const auto CheckRates = [&](const std::string& Shot) {
    TMainOrvanta& Window = *Rig.Window;
    ASSERT_TRUE(Window.C_Com1EnableBtn->isChecked() && Window.C_Com2EnableBtn->isChecked())
        << ::testing::PrintToString(Rig.MessageTexts());
    for (int Port = 1; Port <= 2; ++Port) {
      SCOPED_TRACE(Shot + ", Com " + std::to_string(Port));
      const QComboBox& List = *(Port == 1 ? Window.C_Com1BaudList : Window.C_Com2BaudList);
      const korvel_test::PseudoTerminal& Line = Port == 1 ? Lines.Com1 : Lines.Com2;
      EXPECT_EQ(List.currentIndex(), -1);
      EXPECT_EQ(List.placeholderText().toStdString(), Port == 1 ? "38400 baud " : "19200 baud");
      ASSERT_TRUE(Rig.WaitFor([&] { return DeviceRate(Line) != 300; })) << "the port never set its device";
      EXPECT_EQ(DeviceRate(Line), ShownRate(List)) << List.placeholderText().toStdString();
      ShowComTab(Window, Port);
      korvel_test::SaveScreenshot(korvel_test::Rendered(Window), Shot + "-com" + std::to_string(Port));
    }
  };

  // A fresh work folder.
  ShowComTab(*Rig.Window, 1);
  EXPECT_EQ(Rig.Window->C_Com1DeviceEdit->text().toStdString(), Lines.Com1.SlaveName());
  ClickBox(Rig.Window->C_Com1EnableBtn);
  ClickBox(Rig.Window->C_Com2EnableBtn);
  CheckRates("MainWindow-ports-fresh");

  // A restart: the settings file brings both ports back, still without a rate.
  ASSERT_TRUE(Rig.Window->close());
  Rig.Window.reset();
  SetTo300(Lines.Com1);
  SetTo300(Lines.Com2);
  Rig.Window = std::make_unique<TMainOrvanta>(&Rig.Dialogs);
  Rig.Show();
  CheckRates("MainWindow-ports-restarted");

  // COM1 as TCP: the Com 1 tab shows the TCP port, follows it as it is typed,
  // shows it again after a restart, and the device once TCP is off.
  TMainOrvanta& Window = *Rig.Window;
  ShowComTab(Window, 1);
  ClickBox(Window.C_Com1EnableBtn);
  ASSERT_FALSE(Window.C_Com1EnableBtn->isChecked());
  ClickBox(Window.C_UseTCPasCom1);
  ASSERT_TRUE(Window.C_UseTCPasCom1->isChecked());
  EXPECT_EQ(Window.C_Com1DeviceEdit->text().toStdString(), "TCP port 9999");
  Window.C_Com1TCPPort->setFocus();
  Window.C_Com1TCPPort->selectAll();
  QTest::keyClicks(Window.C_Com1TCPPort, QStringLiteral("2323"));
  EXPECT_EQ(Window.C_Com1DeviceEdit->text().toStdString(), "TCP port 2323");
  TMainWindowRig::Settle();
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "MainWindow-ports-com1-tcp-port");
  Rig.Restart();
  ShowComTab(*Rig.Window, 1);
  EXPECT_EQ(Rig.Window->C_Com1DeviceEdit->text().toStdString(), "TCP port 2323");

  // TCP port 0: the system picks a free port when Com 1 is turned on. While
  // off the tab says so; while on it shows the port really listened on, and a
  // client that connects there is accepted.
  {
    TMainOrvanta& Restarted = *Rig.Window;
    const std::string AnyPort = "TCP port 0 (any free port, shown once Com 1 is on)";
    Restarted.C_Com1TCPPort->setFocus();
    Restarted.C_Com1TCPPort->selectAll();
    QTest::keyClicks(Restarted.C_Com1TCPPort, QStringLiteral("0"));
    EXPECT_EQ(Restarted.C_Com1DeviceEdit->text().toStdString(), AnyPort);
    ClickBox(Restarted.C_Com1EnableBtn);
    ASSERT_TRUE(Restarted.C_Com1EnableBtn->isChecked()) << ::testing::PrintToString(Rig.MessageTexts());
    const QString Shown = Restarted.C_Com1DeviceEdit->text();
    ASSERT_TRUE(Shown.startsWith(QStringLiteral("TCP port "))) << Shown.toStdString();
    bool IsNumber = false;
    const uint Listened = Shown.mid(9).toUInt(&IsNumber);
    ASSERT_TRUE(IsNumber && Listened > 0 && Listened <= 65535) << Shown.toStdString();
    TTcpSocket Client;
    try {
      Client = TTcpSocket::Connect("127.0.0.1", static_cast<uint16_t>(Listened));
    } catch (const std::exception& Error) {
      FAIL() << "no server at the port shown, " << Shown.toStdString() << ": " << Error.what();
    }
    EXPECT_TRUE(Rig.WaitFor([&] { return Rig.Machine().TcpPort().HasClient(); })) << Shown.toStdString();
    ShowComTab(Restarted, 1);
    korvel_test::SaveScreenshot(korvel_test::Rendered(Restarted), "MainWindow-ports-com1-tcp-any-port");
    Client.Close();
    ClickBox(Restarted.C_Com1EnableBtn);
    ASSERT_FALSE(Restarted.C_Com1EnableBtn->isChecked());
    EXPECT_FALSE(Rig.Machine().TcpPort().GetActive());
    EXPECT_EQ(Restarted.C_Com1DeviceEdit->text().toStdString(), AnyPort);
  }
  ClickBox(Rig.Window->C_UseTCPasCom1);
  ASSERT_FALSE(Rig.Window->C_UseTCPasCom1->isChecked());
  EXPECT_EQ(Rig.Window->C_Com1DeviceEdit->text().toStdString(), Lines.Com1.SlaveName());
  EXPECT_TRUE(Rig.Dialogs.Messages.empty()) << ::testing::PrintToString(Rig.MessageTexts());
}
