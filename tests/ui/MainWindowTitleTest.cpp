// The title bar as a window manager shows it: the program itself started on a
// virtual X display (Xvfb), its main window's _NET_WM_NAME and WM_NAME read
// back from the X server.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QtEndian>

#include "TempFolder.h"
#include "WidgetTestSupport.h"

namespace {

// The screen Xvfb keeps in its frame-buffer file (an XWD image); null while
// it cannot be read.
QImage XvfbScreen(const QString& File) {
  QFile Dump(File);
  if (!Dump.open(QIODevice::ReadOnly)) return {};
  const QByteArray Data = Dump.readAll();
  if (Data.size() < 100) return {};
  const auto Field = [&](int Index) { return qFromBigEndian<quint32>(Data.constData() + 4 * Index); };
  const quint32 HeaderSize = Field(0), Width = Field(4), Height = Field(5), BitsPerPixel = Field(11),
                BytesPerLine = Field(12), Colours = Field(19);
  const qsizetype Pixels = static_cast<qsizetype>(HeaderSize + Colours * 12);
  if (BitsPerPixel != 32 || Pixels + static_cast<qsizetype>(BytesPerLine) * Height > Data.size()) return {};
  return QImage(reinterpret_cast<const uchar*>(Data.constData() + Pixels), static_cast<int>(Width),
                static_cast<int>(Height), static_cast<qsizetype>(BytesPerLine), QImage::Format_RGB32)
      .copy();
}

// Pixels of Screen, one in every 4 by 4, that are not the black of the bare
// display (the menu bar and the page tabs alone give more than 1000).
int DrawnPixels(const QImage& Screen) {
  int Drawn = 0;
  for (int Y = 0; Y < Screen.height(); Y += 4)
    for (int X = 0; X < Screen.width(); X += 4)
      if ((Screen.pixel(X, Y) & 0xFFFFFF) != 0) ++Drawn;
  return Drawn;
}

}  // namespace

TEST(MainWindowTitleTest, TheTitleBarOfARealXWindowReadsKorvelVer20) {
#ifndef KORVEL_PROGRAM
  GTEST_SKIP() << "the program is not built here";
#else
  const QString Xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
  if (Xvfb.isEmpty()) GTEST_SKIP() << "Xvfb is not installed: the title on a real X display is not checked";
  const QString Xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
  const QString Xprop = QStandardPaths::findExecutable(QStringLiteral("xprop"));
  const QString Xwininfo = QStandardPaths::findExecutable(QStringLiteral("xwininfo"));
  ASSERT_FALSE(Xdotool.isEmpty()) << "xdotool is missing (./dev installs it)";
  ASSERT_FALSE(Xprop.isEmpty() || Xwininfo.isEmpty()) << "xprop or xwininfo is missing (x11-utils; ./dev installs it)";

  // Runs an X tool on Display to its end; its output, empty when it fails.
  const auto X = [](const QString& Display, const QString& Tool, const QStringList& Arguments) {
    QProcess Process;
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
    Environment.insert(QStringLiteral("DISPLAY"), Display);
    Process.setProcessEnvironment(Environment);
    Process.start(Tool, Arguments);
    if (!Process.waitForFinished(30000) || Process.exitCode() != 0) return QString();
    return QString::fromUtf8(Process.readAllStandardOutput()).trimmed();
  };

  // A display of its own: Xvfb picks a free number and writes it to its output.
  // It does not start afresh each time its last client leaves (it refuses
  // connections for that moment), and answers with the screen asked for.
  korvel_test::TTempFolder Temp;
  const QString ScreenSize = QStringLiteral("1032x808");
  QProcess Server;
  Server.start(
      Xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
             ScreenSize + QStringLiteral("x24"), QStringLiteral("-fbdir"), QString::fromStdString(Temp.Path().string()),
             QStringLiteral("-br"), QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-noreset")});
  ASSERT_TRUE(Server.waitForStarted(30000));
  QString Number;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        Number += QString::fromLatin1(Server.readAllStandardOutput());
        return Number.endsWith(QLatin1Char('\n')) || Server.state() == QProcess::NotRunning;
      },
      60000));
  const QString Display = QLatin1Char(':') + Number.trimmed();
  ASSERT_TRUE(X(Display, Xwininfo, {QStringLiteral("-root")}).contains(QStringLiteral("-geometry ") + ScreenSize))
      << "Xvfb gave no display of its own: " << Server.readAllStandardError().toStdString();

  // The program as a user starts it, in a work folder of its own.
  QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
  Environment.insert(QStringLiteral("DISPLAY"), Display);
  Environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  Environment.insert(QStringLiteral("PUBLIC"), QString::fromStdString(Temp.Path().string()));
  QProcess Program;
  Program.setProcessEnvironment(Environment);
  Program.start(QStringLiteral(KORVEL_PROGRAM), {});
  ASSERT_TRUE(Program.waitForStarted(30000));

  // Its main window, once mapped, and the title the window manager is given.
  QString Window;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        Window = X(Display, Xdotool,
                   {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                    QString::number(Program.processId())})
                     .section(QLatin1Char('\n'), 0, 0);
        return !Window.isEmpty() || Program.state() == QProcess::NotRunning;
      },
      120000));
  ASSERT_FALSE(Window.isEmpty()) << "no window on " << Display.toStdString() << ": "
                                 << Program.readAllStandardError().toStdString();
  const QString Names = X(Display, Xprop,
                          {QStringLiteral("-id"), Window, QStringLiteral("-notype"), QStringLiteral("_NET_WM_NAME"),
                           QStringLiteral("WM_NAME")});
  EXPECT_EQ(Names.toStdString(), "_NET_WM_NAME = \"Korvel Ver 2.0\"\nWM_NAME = \"Korvel Ver 2.0\"");

  // A picture of the display once the window is drawn, under a bar with the title read back.
  QImage Screen;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        Screen = XvfbScreen(QString::fromStdString((Temp.Path() / "Xvfb_screen0").string()));
        return !Screen.isNull() && DrawnPixels(Screen) > 1000;
      },
      60000));
  QImage Shot(Screen.width(), Screen.height() + 24, QImage::Format_RGB32);
  Shot.fill(QColor(40, 60, 110));
  QPainter Painter(&Shot);
  Painter.setPen(Qt::white);
  Painter.drawText(QRect(8, 0, Shot.width() - 16, 24), Qt::AlignVCenter, Names.section(QLatin1Char('\n'), 0, 0));
  Painter.drawImage(0, 24, Screen);
  Painter.end();
  korvel_test::SaveScreenshot(Shot, "MainWindow-x11-title");

  Program.terminate();
  if (!Program.waitForFinished(30000)) Program.kill();
  Program.waitForFinished(30000);
  Server.terminate();
  if (!Server.waitForFinished(30000)) Server.kill();
  Server.waitForFinished(30000);
#endif
}
