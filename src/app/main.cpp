// Program entry: the application "Cpm Z80 Emulation" and its main window.
//
// The application's name titles the message boxes (applicationDisplayName()
// falls back to it). No display name is set: Qt appends one to every window
// title it hands the window system, and the title bar would read
// "Korvel Ver 2.0 — Cpm Z80 Emulation" instead of the window's own caption.
#include <QApplication>
#include <QMessageBox>
#include <exception>

#include "frmKorvel.h"

int main(int argc, char** argv) {
  QApplication Application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Cpm Z80 Emulation"));
  try {
    TMainOrvanta MainWindow;
    MainWindow.show();
    return QApplication::exec();
  } catch (const std::exception& Error) {
    // Only a window that cannot even be made ends up here.
    QMessageBox::critical(nullptr, QApplication::applicationDisplayName(), QString::fromLocal8Bit(Error.what()));
    return 1;
  }
}
