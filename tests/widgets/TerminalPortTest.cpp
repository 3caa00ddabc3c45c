// The CRT terminal with a COM port component attached, as a serial terminal: a
// pseudo-terminal's master side plays the far end. What the far end sends shows
// on the rendered screen; keys, paste and the VT100's replies go back to it;
// every data match of the port fires although the terminal takes all it sees;
// closing the port while data flows and the far end vanishing leave the terminal
// working with the port's threads gone; the "Select Port" dialog comes up when
// the port has no number; the links drop when either side goes.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QComboBox>
#include <QPushButton>
#include <QStyleHints>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <thread>

#include "AdPort.h"
#include "AdPortPrompt.h"
#include "AdTerminal.h"
#include "AdVT100Emulator.h"
#include "ComPortNames.h"
#include "PseudoTerminal.h"
#include "WidgetTestSupport.h"

using korvel_test::PseudoTerminal;
using namespace std::chrono_literals;

namespace {

// Runs the event loop until Done holds; the limit only keeps a broken test from hanging.
bool WaitFor(const std::function<bool()>& Done, int LimitMs = 30000) {
  QElapsedTimer Clock;
  Clock.start();
  while (!Done()) {
    if (Clock.elapsed() > LimitMs) return false;
    QTest::qWait(5);
  }
  return true;
}

// The CRT page's terminal, with a serial port on COM<Number> behind it.
struct TSerialTerminal {
  PseudoTerminal Pty;
  TApdComPort Port;
  TAdVT100Emulator Emulator;
  TAdTerminal Terminal;
  std::string Keys;
  std::vector<std::string> Errors;

  explicit TSerialTerminal(int Number, bool WithNumber = true) {
    QGuiApplication::styleHints()->setCursorFlashTime(0);
    SetComPortDevice(Number, Pty.SlaveName());
    if (WithNumber) Port.SetPortNumber(static_cast<uint16_t>(Number));
    Terminal.setFont(korvel_test::TestFixedFont(15));
    Terminal.SetFontColor(QColor(0, 255, 0));
    Terminal.SetEmulator(&Emulator);
    Terminal.SetUseLazyDisplay(false);
    Terminal.SetCursorType(ctUnderline);
    Terminal.OnKeyboardData = [this](TAdTerminalEmulator&, uint8_t Data) { Keys.push_back(static_cast<char>(Data)); };
    Terminal.OnPortError = [this](TAdCustomTerminal&, const std::string& Message) { Errors.push_back(Message); };
    const int Frame = 2 * Terminal.frameWidth();
    Terminal.resize(Terminal.GetCellWidth() * 80 + Frame, Terminal.GetCellHeight() * 24 + Frame);
    Terminal.show();
  }
  // The text row Row shows, as a user would copy it, without its trailing blanks.
  QString Row(int Row) {
    Terminal.SetSelection(Row, 1, Row, 80);
    QString Text = Terminal.GetSelectedText();
    Terminal.CancelMode();
    while (Text.endsWith(u'\n') || Text.endsWith(u'\r') || Text.endsWith(u' ')) Text.chop(1);
    return Text;
  }
  // Waits until the far end has received Count bytes.
  std::string FarEndReceives(size_t Count) {
    std::string Got;
    WaitFor([&] {
      const auto Bytes = Pty.Receive(Count - Got.size(), 1ms);
      Got.append(Bytes.begin(), Bytes.end());
      return Got.size() >= Count;
    });
    return Got;
  }
  void Send(const std::string& Text) { Pty.Send(std::vector<uint8_t>(Text.begin(), Text.end())); }
};

// Pixels lit by text in a row of cells.
int LitPixels(TAdTerminal& Terminal, int Row, int Cols) {
  const QImage Image = korvel_test::Rendered(*Terminal.viewport());
  int Count = 0;
  for (int Y = (Row - 1) * Terminal.GetCellHeight(); Y < Row * Terminal.GetCellHeight(); ++Y)
    for (int X = 0; X < Cols * Terminal.GetCellWidth(); ++X)
      if (Image.valid(X, Y) && qGray(Image.pixel(X, Y)) > 80) ++Count;
  return Count;
}

}  // namespace

TEST(TerminalPort, AWorkingSerialTerminal) {
  TSerialTerminal T(71);
  T.Terminal.SetComPort(&T.Port);
  EXPECT_EQ(T.Terminal.GetComPort(), &T.Port);
  // The terminal opens its port once the event loop runs.
  ASSERT_TRUE(WaitFor([&] { return T.Port.GetState() == psOpen; }));
  EXPECT_TRUE(T.Terminal.HasPort());
  EXPECT_NE(T.Port.GetEventThread(), nullptr) << "the terminal gave the port the event loop for its events";

  // The far end's output shows on the screen.
  T.Send("\x1B[2J\x1B[HHello from the far end\r\n\x1B[7mCOM71\x1B[m 19200 8N1\r\n$ ");
  ASSERT_TRUE(WaitFor([&] { return T.Row(3) == "$"; })) << T.Row(1).toStdString();
  EXPECT_EQ(T.Row(2), "COM71 19200 8N1");
  EXPECT_EQ(T.Row(1), "Hello from the far end");
  QTest::qWait(50);
  EXPECT_GT(LitPixels(T.Terminal, 1, 22), 50) << "the text is painted";

  // Keys go to the far end, and still to the keyboard event.
  QTest::keyClicks(&T.Terminal, "ls");
  QTest::keyClick(&T.Terminal, Qt::Key_Return);
  QTest::keyClick(&T.Terminal, Qt::Key_Up);
  EXPECT_EQ(T.FarEndReceives(6), "ls\r\x1B[A");
  EXPECT_EQ(T.Keys, "ls\r\x1B[A");
  T.Send("ls\r\nCPM22.HEX  VANTEL.HEX  DISKA.CPMDSK\r\n$ ");  // the far end echoes and answers
  ASSERT_TRUE(WaitFor([&] { return T.Row(5) == "$"; }));
  EXPECT_EQ(T.Row(3), "$ ls");

  // The VT100's replies: cursor position, device attributes, terminal parameters, status.
  T.Send("\x1B[5;10H\x1B[6n");
  EXPECT_EQ(T.FarEndReceives(6), "\x1B[5;10R");
  T.Send("\x1BZ");
  EXPECT_EQ(T.FarEndReceives(7), "\x1B[?1;0c");
  T.Send("\x1B[x");
  EXPECT_EQ(T.FarEndReceives(20), "\x1B[2;1;1;120;120;1;0x") << "no parity, 8 bits, 19200 baud";
  T.Send("\x1B[5n");
  EXPECT_EQ(T.FarEndReceives(4), "\x1B[0n");
  EXPECT_EQ(T.Keys, "ls\r\x1B[A") << "replies are not keys";

  // Paste goes to the port with each line ending as one CR.
  T.Terminal.SetPasteToPort(true);
  QGuiApplication::clipboard()->setText(QStringLiteral("one\ntwo\r\nthree"));
  T.Terminal.PasteFromClipboard();
  EXPECT_EQ(T.FarEndReceives(13), "one\rtwo\rthree");
  // A paste larger than the transmit buffer goes out as room frees.
  const std::string Long(10000, 'p');
  QGuiApplication::clipboard()->setText(QString::fromStdString(Long));
  T.Terminal.PasteFromClipboard();
  EXPECT_EQ(T.FarEndReceives(Long.size()), Long);
  T.Send("\x1B[7;1HTyped, pasted and answered.");
  ASSERT_TRUE(WaitFor([&] { return T.Row(7) == "Typed, pasted and answered."; }));
  T.Terminal.setFocus();
  QTest::qWait(50);
  korvel_test::SaveScreenshot(korvel_test::Rendered(T.Terminal), "terminal_serial_port");

  // Closing the port while the far end floods it and keys are typed.
  std::atomic<bool> Stop{false};
  std::thread Flood([&] {
    const std::string Block = "\r\nflood " + std::string(500, '#');
    while (!Stop)
      if (write(T.Pty.Master(), Block.data(), Block.size()) < 0) std::this_thread::sleep_for(1ms);
  });
  std::thread Drain([&] {
    uint8_t Buffer[4096];
    while (!Stop)
      if (read(T.Pty.Master(), Buffer, sizeof Buffer) <= 0) std::this_thread::sleep_for(1ms);
  });
  for (int I = 0; I < 20; ++I) {
    QTest::keyClick(&T.Terminal, Qt::Key_X);
    QTest::qWait(5);
  }
  T.Port.SetOpen(false);
  EXPECT_EQ(T.Port.GetState(), psClosed);
  EXPECT_EQ(T.Port.CurrentDispatcher(), nullptr) << "the port's threads are gone with its dispatcher";
  EXPECT_FALSE(T.Terminal.HasPort());
  QTest::qWait(100);
  Stop = true;
  Flood.join();
  Drain.join();
  T.Terminal.WriteString("\x1B[2J\x1B[HStill working");
  ASSERT_TRUE(WaitFor([&] { return T.Row(1) == "Still working"; }));
  T.Keys.clear();
  QTest::keyClick(&T.Terminal, Qt::Key_Y);
  EXPECT_EQ(T.Keys, "y");
  EXPECT_TRUE(T.Errors.empty()) << T.Errors.front();

  // Open again; then the far end vanishes under typing.
  T.Port.SetOpen(true);
  ASSERT_TRUE(WaitFor([&] { return T.Terminal.HasPort(); }));
  // What the far end wrote after the close waited in the pseudo-terminal (a real
  // port's driver drops it); it shows first.
  T.Send("\x1B[2J\x1B[Hback");
  ASSERT_TRUE(WaitFor([&] { return T.Row(1) == "back"; })) << T.Row(1).toStdString();
  T.Pty.CloseMaster();
  ASSERT_TRUE(WaitFor([&] {
    QTest::keyClick(&T.Terminal, Qt::Key_Z);
    return !T.Errors.empty();
  }));
  T.Terminal.WriteString("\x1B[2;1HThe far end has gone.");
  ASSERT_TRUE(WaitFor([&] { return T.Row(2) == "The far end has gone."; }));
  T.Port.SetOpen(false);
  EXPECT_EQ(T.Port.CurrentDispatcher(), nullptr);
}

TEST(TerminalPort, EveryDataMatchFiresWhileTheTerminalReadsEverything) {
  // The terminal takes all that waits at each match; the port still raises
  // every match, in order, and the screen shows every byte once.
  TSerialTerminal T(75);
  T.Terminal.SetComPort(&T.Port);
  ASSERT_TRUE(WaitFor([&] { return T.Terminal.HasPort(); }));
  TApdBaseDispatcher& Dispatcher = *T.Port.CurrentDispatcher();
  const int32_t Pattern = Dispatcher.AddDataTrigger("K0RVEL!", false);
  const int32_t End = Dispatcher.AddDataTrigger("END", false);
  std::vector<int32_t> Handles;
  T.Port.SetOnDataMatch([&](TApdCustomComPort&, int32_t Handle) { Handles.push_back(Handle); });
  const std::string Piece = "aaK0RVEL!bbK0RVEL!ccK0RVEL!dd";
  std::string Stream;
  for (int I = 0; I < 20; ++I) Stream += Piece + "\r\n";
  T.Send(Stream + "END");
  // The end mark's match comes once every byte before it has been looked at.
  ASSERT_TRUE(WaitFor([&] { return !Handles.empty() && Handles.back() == End && T.Row(21) == "END"; }))
      << Handles.size() << " matches";
  EXPECT_EQ(std::count(Handles.begin(), Handles.end(), Pattern), 60);
  EXPECT_EQ(Handles.size(), 61u);
  for (int Row = 1; Row <= 20; ++Row) EXPECT_EQ(T.Row(Row).toStdString(), Piece) << "row " << Row;
  korvel_test::SaveScreenshot(korvel_test::Rendered(T.Terminal), "terminal_port_data_matches");
}

TEST(TerminalPort, SelectPortComesUpWhenThePortHasNoNumber) {
  TSerialTerminal T(48, false);
  bool Shown = false;
  bool Modal = true;
  QStringList Items;
  InstallPortPrompt(T.Port, {nullptr, false, [&](TComSelectForm& Form) {
                               Shown = Form.isVisible();
                               Modal = Form.isModal();
                               for (int I = 0; I < Form.PortsComboBox()->count(); ++I)
                                 Items << Form.PortsComboBox()->itemText(I);
                               // The user picks COM48 and presses OK once the dialog is up.
                               QTimer::singleShot(0, &Form, [&Form] {
                                 Form.SelectPort(QStringLiteral("COM48"));
                                 korvel_test::SaveScreenshot(korvel_test::Rendered(Form), "terminal_port_select");
                                 QTest::mouseClick(Form.OkButton(), Qt::LeftButton);
                               });
                               // Only a guard against a test that went wrong.
                               QTimer::singleShot(20000, &Form, &QDialog::reject);
                             }});
  T.Terminal.SetComPort(&T.Port);
  ASSERT_TRUE(WaitFor([&] { return T.Port.GetState() == psOpen; }));
  EXPECT_TRUE(Shown);
  EXPECT_FALSE(Modal);
  EXPECT_TRUE(Items.contains("COM48"));
  for (const QString& Item : Items) EXPECT_TRUE(Item.startsWith("COM")) << "only ports with a number are offered";
  EXPECT_EQ(T.Port.GetPortNumber(), 48);
  T.Send("chosen");
  EXPECT_TRUE(WaitFor([&] { return T.Row(1) == "chosen"; }));

  // Cancel leaves the terminal without a port and says why.
  TSerialTerminal U(49, false);
  InstallPortPrompt(U.Port, {nullptr, false, [](TComSelectForm& Form) {
                               QTimer::singleShot(0, &Form, [&Form] { QTest::mouseClick(Form.CancelButton(), Qt::LeftButton); });
                             }});
  U.Terminal.SetComPort(&U.Port);
  ASSERT_TRUE(WaitFor([&] { return !U.Errors.empty(); }));
  EXPECT_EQ(U.Port.GetState(), psClosed);
  EXPECT_EQ(U.Port.GetPortNumber(), 0);
  U.Terminal.WriteString("no port");
  EXPECT_TRUE(WaitFor([&] { return U.Row(1) == "no port"; }));
}

TEST(TerminalPort, LinksDropWhenEitherSideGoes) {
  PseudoTerminal Pty;
  SetComPortDevice(74, Pty.SlaveName());
  auto Port = std::make_unique<TApdComPort>();
  Port->SetPortNumber(74);
  auto First = std::make_unique<TAdTerminal>();
  TAdTerminal Second;
  First->SetComPort(Port.get());
  Second.SetComPort(Port.get());
  ASSERT_TRUE(WaitFor([&] { return Second.HasPort(); }));
  EXPECT_FALSE(First->HasPort()) << "replies come from the terminal linked last";
  // A terminal that goes leaves the port working for the other.
  First.reset();
  Pty.Send({'o', 'k'});
  EXPECT_TRUE(WaitFor([&] {
    Second.SetSelection(1, 1, 1, 2);
    return Second.GetSelectedText() == "ok\r\n";
  }));
  // A port that goes leaves the terminal without one, inactive.
  Port.reset();
  EXPECT_EQ(Second.GetComPort(), nullptr);
  EXPECT_FALSE(Second.GetActive());
  EXPECT_FALSE(Second.HasPort());
  Second.WriteString("!");
  korvel_test::ProcessEvents();
}
