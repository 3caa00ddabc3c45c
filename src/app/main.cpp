// Program entry: the application "Cpm Z80 Emulation" and its main window.
#include <QApplication>
#include <QMessageBox>
#include <exception>

#include "frmKorvel.h"

int main(int argc, char** argv) {
  QApplication Application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Cpm Z80 Emulation"));
  QApplication::setApplicationDisplayName(QStringLiteral("Cpm Z80 Emulation"));
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
