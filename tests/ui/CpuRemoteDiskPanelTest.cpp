// The "Remote Disk Server" panel of the Disks page: "Activate Disk Server"
// starts and stops the real UDP server on the panel's port, a loopback client's
// session shows up in the list (three lines) and goes again, and the settings
// file keeps the panel.
#include <arpa/inet.h>

#include <QAction>
#include <QCheckBox>
#include <QDateTime>
#include <QGroupBox>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>

#include "../disks/RmtDskTestClient.h"
#include "DiskDrive.h"
#include "MainWindowTestRig.h"
#include "RemoteDiskPanel.h"
#include "RmtDskMod.h"
#include "UdpSocket.h"

using korvel_test::TMainWindowRig;

namespace {

// The test client waits for its replies by pumping a queue of its own; the
// window's server answers from Qt's event loop, so the queue keeps that loop
// running while the client waits.
class TQtPumpedMainThread {
 public:
  TQtPumpedMainThread() { Arm(); }
  ~TQtPumpedMainThread() { *FAlive = false; }
  TQtPumpedMainThread(const TQtPumpedMainThread&) = delete;
  TQtPumpedMainThread& operator=(const TQtPumpedMainThread&) = delete;
  TQueuedMainThread Queue;

 private:
  void Arm() {
    const std::shared_ptr<bool> Alive = FAlive;
    Queue.Post([this, Alive] {
      if (!*Alive) return;
      QCoreApplication::processEvents();
      Arm();
    });
  }
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

// A UDP port that was free a moment ago.
uint16_t FreePort() {
  TUdpSocket Socket;
  TUdpBindOptions Options;
  Options.LocalPort = "0";
  Socket.Open(Options);
  return Socket.LocalPort();
}

struct TPanelRig {
  TMainWindowRig Rig;
  TMainOrvanta& Window = *Rig.Window;
  TRmtDskMod& Server = Window.RmtDskMod();

  TPanelRig() {
    Window.ShowPage(TMainOrvanta::DisksPageIndex);
    TMainWindowRig::Settle(1);
  }
  ~TPanelRig() {
    if (Server.GetActive()) Window.ActivateRemoteDiskServerAct->trigger();
  }
  void ClickActivate() {
    korvel_test::ClickBox(Window.C_RemoteDiskServerActive);
    TMainWindowRig::Settle(1);
  }
  int ListCount() const { return Window.RemoteDiskServerStatus->model()->rowCount(); }
  std::string LastMessage() const { return Rig.Dialogs.Messages.empty() ? "" : Rig.Dialogs.Messages.back().second; }
};

}  // namespace

TEST(CpuRemoteDiskPanelTest, ThePanelStartsAsDesigned) {
  TPanelRig R;
  TMainOrvanta& Window = R.Window;
  EXPECT_EQ(Window.C_DiskServerPort->text(), "999");
  EXPECT_EQ(Window.C_DiskServerPort->toolTip(), "IP port used by disk server (default 999)");
  EXPECT_FALSE(Window.C_DiskServerPort->isReadOnly());
  EXPECT_TRUE(Window.C_UseRemoteDiskAutoUnMount->isChecked());
  EXPECT_EQ(Window.C_UseRemoteDiskAutoUnMount->text(), "Allow auto unmount");
  EXPECT_EQ(Window.C_UseRemoteDiskAutoUnMount->toolTip(), "Auto unmount current disk if new disk mount requested");
  EXPECT_EQ(Window.RemoteDiskServerStatus->toolTip(), "Shows a list of active clients");
  EXPECT_EQ(Window.Refresh->text(), "Refresh");
  EXPECT_EQ(Window.Refresh->toolTip(), "Update client status display");
  EXPECT_EQ(Window.C_RemoteDiskServerActive->text(), "Activate Disk Server");
  EXPECT_EQ(Window.ActivateRemoteDiskServerAct->toolTip(), "Start/Stop remote disk sharing server.");
  EXPECT_TRUE(Window.ActivateRemoteDiskServerAct->isEnabled());
  EXPECT_FALSE(Window.ActivateRemoteDiskServerAct->isChecked());
  EXPECT_FALSE(Window.C_RemoteDiskServerActive->isChecked());
  EXPECT_EQ(Window.RemoteDiskStatus->interval(), 1000);
  EXPECT_FALSE(Window.RemoteDiskStatus->isActive());
  EXPECT_FALSE(R.Server.GetActive());
  EXPECT_EQ(R.ListCount(), 0);
}

TEST(CpuRemoteDiskPanelTest, ALoopbackClientsSessionComesAndGoes) {
  TPanelRig R;
  TMainOrvanta& Window = R.Window;
  TDiskDrive::FormatDriveFile(R.Rig.WorkFolder() / "DEMO.cpmdsk");
  const uint16_t Port = FreePort();
  Window.C_DiskServerPort->setText(QString::number(Port));
  R.ClickActivate();
  ASSERT_TRUE(R.Server.GetActive()) << R.LastMessage();
  EXPECT_EQ(R.Server.BoundPort(), Port);
  EXPECT_TRUE(Window.ActivateRemoteDiskServerAct->isChecked());
  EXPECT_TRUE(Window.C_RemoteDiskServerActive->isChecked());
  EXPECT_TRUE(Window.C_DiskServerPort->isReadOnly()) << "the port cannot change while the server runs";
  EXPECT_TRUE(Window.RemoteDiskStatus->isActive());
  EXPECT_EQ(R.ListCount(), 0);

  TQtPumpedMainThread Pump;
  rmt_test::TTestClient Client(Pump.Queue, Port);
  const uint32_t Session = Client.Mount("DEMO", 7);
  EXPECT_NE(Session, 0u);
  // The list follows within a tick of the timer.
  ASSERT_TRUE(R.Rig.WaitFor([&] { return R.ListCount() == 1; }, 3000));
  const QStringList Lines = Window.RemoteDiskServerStatusLines(0);
  ASSERT_EQ(Lines.size(), 3);
  EXPECT_EQ(Lines[0], QStringLiteral("Client: 127.0.0.1:%1  Disk: 7 RW").arg(Client.Port()));
  EXPECT_EQ(Lines[1], "File name: " + QString::fromStdString((R.Rig.WorkFolder() / "DEMO.cpmdsk").string()));
  EXPECT_TRUE(Lines[2].startsWith("Last used: ")) << Lines[2].toStdString();
  EXPECT_EQ(Lines[2].size(), QStringLiteral("Last used: Tue Dec 08 @ 07:05:09").size()) << Lines[2].toStdString();
  // The item is three lines high and drawn.
  const QRect Item = Window.RemoteDiskServerStatus->visualRect(Window.RemoteDiskServerStatus->model()->index(0, 0));
  EXPECT_GE(Item.height(), 3 * QFontMetrics(Window.RemoteDiskServerStatus->font()).height());
  TMainWindowRig::Settle(2);
  korvel_test::SaveScreenshot(korvel_test::Rendered(Window), "Cpu-remote-disk-panel-session");
  korvel_test::SaveScreenshot(korvel_test::Rendered(*Window.RemoteDiskServerPanel), "Cpu-remote-disk-panel");

  // A block read keeps the session; unmounting takes it away.
  std::optional<rmt_test::TBytes> Block = Client.Request(rmt_test::ReadRequest(5, Session, 7, 2, 0));
  ASSERT_TRUE(Block.has_value());
  EXPECT_EQ(Block->size(), 2052u);
  std::optional<rmt_test::TBytes> Done = Client.Request(rmt_test::UnmountRequest(6, Session, 7));
  ASSERT_TRUE(Done.has_value());
  EXPECT_EQ(*Done, rmt_test::DoneReply(6));
  ASSERT_TRUE(R.Rig.WaitFor([&] { return R.ListCount() == 0; }, 3000));

  // Stopping: the server closes, the list empties, the timer stops.
  Client.Mount("DEMO", 8, true);
  QTest::mouseClick(Window.Refresh, Qt::LeftButton);
  EXPECT_EQ(R.ListCount(), 1) << "\"Refresh\" shows the sessions at once";
  EXPECT_TRUE(Window.RemoteDiskServerStatusLines(0).value(0).endsWith(" RO"));
  R.ClickActivate();
  EXPECT_FALSE(R.Server.GetActive());
  EXPECT_FALSE(Window.ActivateRemoteDiskServerAct->isChecked());
  EXPECT_FALSE(Window.C_DiskServerPort->isReadOnly());
  EXPECT_FALSE(Window.RemoteDiskStatus->isActive());
  EXPECT_EQ(R.ListCount(), 0);
  EXPECT_TRUE(R.Rig.Dialogs.Messages.empty()) << R.LastMessage();
}

TEST(CpuRemoteDiskPanelTest, AutoUnmountTakesEffectAtOnce) {
  TPanelRig R;
  const uint16_t Port = FreePort();
  R.Window.C_DiskServerPort->setText(QString::number(Port));
  korvel_test::ClickBox(R.Window.C_UseRemoteDiskAutoUnMount);
  EXPECT_FALSE(R.Server.SessionList.AutoUnmount);
  korvel_test::ClickBox(R.Window.C_UseRemoteDiskAutoUnMount);
  R.ClickActivate();
  ASSERT_TRUE(R.Server.GetActive()) << R.LastMessage();
  EXPECT_TRUE(R.Server.SessionList.AutoUnmount);
  korvel_test::ClickBox(R.Window.C_UseRemoteDiskAutoUnMount);
  EXPECT_FALSE(R.Server.SessionList.AutoUnmount) << "also while the server runs";
  korvel_test::ClickBox(R.Window.C_UseRemoteDiskAutoUnMount);
  EXPECT_TRUE(R.Server.SessionList.AutoUnmount);
}

TEST(CpuRemoteDiskPanelTest, AnEmptyPortServesOn999) {
  TPanelRig R;
  R.Window.C_DiskServerPort->clear();
  R.ClickActivate();
  EXPECT_EQ(R.Server.BaseUdpRx1.LocalPort, "999");
  if (R.Server.GetActive()) {
    EXPECT_EQ(R.Server.BoundPort(), 999);
    EXPECT_TRUE(R.Window.ActivateRemoteDiskServerAct->isChecked());
  } else {
    // Port 999 needs rights this test may not have, or is taken: it says so.
    EXPECT_NE(R.LastMessage().find("port 999"), std::string::npos) << R.LastMessage();
    EXPECT_FALSE(R.Window.ActivateRemoteDiskServerAct->isChecked());
  }
}

TEST(CpuRemoteDiskPanelTest, APortThatIsNoNumberStartsNothing) {
  TPanelRig R;
  for (const char* Text : {"0", "65536", "70000", "100000", "abc", "-5", "99x", "1 2"}) {
    SCOPED_TRACE(Text);
    const size_t Before = R.Rig.Dialogs.Messages.size();
    R.Window.C_DiskServerPort->setText(QString::fromLatin1(Text));
    R.ClickActivate();
    EXPECT_FALSE(R.Server.GetActive());
    EXPECT_FALSE(R.Window.ActivateRemoteDiskServerAct->isChecked());
    EXPECT_FALSE(R.Window.C_RemoteDiskServerActive->isChecked());
    EXPECT_FALSE(R.Window.RemoteDiskStatus->isActive());
    ASSERT_EQ(R.Rig.Dialogs.Messages.size(), Before + 1);
    EXPECT_EQ(R.LastMessage(), "\"" + std::string(Text) + "\" is not a valid server port: give a number from 1 to 65535.");
  }
  EXPECT_EQ(R.Server.BaseUdpRx1.LocalPort, "999") << "nothing was handed to the server";
}

TEST(CpuRemoteDiskPanelTest, APortThatCannotBeBoundIsReported) {
  TPanelRig R;
  TUdpSocket Holder;
  TUdpBindOptions Options;
  Options.LocalPort = "0";
  Holder.Open(Options);
  R.Window.C_DiskServerPort->setText(QString::number(Holder.LocalPort()));
  R.ClickActivate();
  EXPECT_FALSE(R.Server.GetActive());
  EXPECT_FALSE(R.Window.ActivateRemoteDiskServerAct->isChecked());
  EXPECT_FALSE(R.Window.C_RemoteDiskServerActive->isChecked());
  EXPECT_FALSE(R.Window.C_DiskServerPort->isReadOnly());
  EXPECT_FALSE(R.Window.RemoteDiskStatus->isActive());
  ASSERT_EQ(R.Rig.Dialogs.Messages.size(), 1u);
  EXPECT_EQ(R.Rig.Dialogs.Messages[0].first, TMachineMessageKind::Warning);
  EXPECT_NE(R.LastMessage().find("Unable to start the disk server on port " + std::to_string(Holder.LocalPort())),
            std::string::npos)
      << R.LastMessage();
  // Once the port is free, the same click starts it.
  Holder.Close();
  R.ClickActivate();
  EXPECT_TRUE(R.Server.GetActive()) << R.LastMessage();
}

TEST(CpuRemoteDiskPanelTest, TheSettingsFileKeepsThePanelAndStartsTheServer) {
  const uint16_t Port = FreePort();
  {
    TMainWindowRig Rig(false);
    const std::filesystem::path SettingsFile = Rig.SettingsFile();
    std::ofstream(SettingsFile) << "[DISKS]\nUseRemoteDiskAutoUnMount=0\n"
                                   "[DISK SERVER]\nDiskServerPort="
                                << Port << "\nRemoteDiskServerActive=1\n";
    Rig.Show();
    TMainOrvanta& Window = *Rig.Window;
    EXPECT_EQ(Window.C_DiskServerPort->text(), QString::number(Port));
    EXPECT_FALSE(Window.C_UseRemoteDiskAutoUnMount->isChecked()) << "read under DISKS when DISK SERVER has none";
    EXPECT_FALSE(Window.RmtDskMod().SessionList.AutoUnmount);
    ASSERT_TRUE(Window.RmtDskMod().GetActive()) << (Rig.Dialogs.Messages.empty() ? "" : Rig.Dialogs.Messages[0].second);
    EXPECT_EQ(Window.RmtDskMod().BoundPort(), Port);
    EXPECT_TRUE(Window.ActivateRemoteDiskServerAct->isChecked());
    EXPECT_TRUE(Window.RemoteDiskStatus->isActive());

    // What the close writes: the panel as it stands.
    Window.ActivateRemoteDiskServerAct->trigger();
    Window.C_DiskServerPort->setText(QStringLiteral("1999"));
    Window.C_UseRemoteDiskAutoUnMount->setChecked(true);
    EXPECT_TRUE(Window.close());
    std::ifstream In(SettingsFile);
    const std::string Written((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    EXPECT_NE(Written.find("[DISK SERVER]\r\nDiskServerPort=1999\r\nUseRemoteDiskAutoUnMount=1\r\n"
                           "RemoteDiskServerActive=0\r\n"),
              std::string::npos)
        << Written;
  }

  // A file without the section: port "999"; DISK SERVER wins over DISKS.
  {
    TMainWindowRig Rig(false);
    std::ofstream(Rig.SettingsFile()) << "[DISKS]\nUseRemoteDiskAutoUnMount=0\n"
                                         "[DISK SERVER]\nUseRemoteDiskAutoUnMount=1\n";
    Rig.Window->C_DiskServerPort->setText(QStringLiteral("1234"));
    Rig.Show();
    EXPECT_EQ(Rig.Window->C_DiskServerPort->text(), "999");
    EXPECT_TRUE(Rig.Window->C_UseRemoteDiskAutoUnMount->isChecked());
    EXPECT_FALSE(Rig.Window->RmtDskMod().GetActive());
  }
}

TEST(CpuRemoteDiskPanelTest, SessionLinesReadAsTheProgramWritesThem) {
  EXPECT_EQ(IpAddressToText(0x1401A8C0u), "192.168.1.20") << "first octet stored first";
  in_addr Address{};
  ASSERT_EQ(inet_pton(AF_INET, "10.0.0.254", &Address), 1);
  EXPECT_EQ(IpAddressToText(Address.s_addr), "10.0.0.254");

  const QLocale Previous;
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  const QDateTime Tuesday(QDate(2020, 12, 8), QTime(7, 5, 9));
  const auto Time = std::chrono::system_clock::time_point(std::chrono::milliseconds(Tuesday.toMSecsSinceEpoch()));
  EXPECT_EQ(RemoteDiskTimeText(Time), "Tue Dec 08 @ 07:05:09");

  // A session of a client at 192.168.1.20, port 1234, client id 7, read-only.
  korvel_test::TTempFolder Folder;
  const std::filesystem::path Disk = Folder.Path() / "DEMO.cpmdsk";
  TDiskDrive::FormatDriveFile(Disk);
  RemoteDiskClientAddress Client;
  Client.Address = 0x1401A8C0u;
  Client.Port = htons(1234);
  Client.ClientId = 7;
  TRmtDskSession Session(1, true, Disk, *TFileIdentity::OfRegularFile(Disk), Client, std::chrono::steady_clock::now());
  Session.LastUse = Time;
  const QStringList Lines = RemoteDiskSessionLines(Session);
  EXPECT_EQ(Lines, QStringList({"Client: 192.168.1.20:1234  Disk: 7 RO",
                                "File name: " + QString::fromStdString(Disk.string()),
                                "Last used: Tue Dec 08 @ 07:05:09"}));
  QLocale::setDefault(Previous);
}
