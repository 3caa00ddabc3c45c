// Helpers of the window-control tests: what a widget shows as an image, a PNG of
// it in the build folder for a reviewer, and the fixed-pitch font the tests use.
#pragma once

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QFontDatabase>
#include <QImage>
#include <QWidget>
#include <string>

#include "HostFixedPitchFont.h"

namespace korvel_test {

// The widget as painted, one image pixel per device pixel.
inline QImage Rendered(QWidget& Widget) { return Widget.grab().toImage().convertToFormat(QImage::Format_RGB32); }

// Saves Image as <build folder>/screenshots/<Name>.png; returns its path.
inline QString SaveScreenshot(const QImage& Image, const std::string& Name) {
  QDir folder(QStringLiteral(KORVEL_SCREENSHOT_DIR));
  folder.mkpath(QStringLiteral("."));
  const QString path = folder.filePath(QString::fromStdString(Name) + QStringLiteral(".png"));
  Image.save(path);
  return path;
}

// DejaVu Sans Mono where installed, else the host's fixed-pitch face, at PixelSize.
inline QFont TestFixedFont(int PixelSize = 15) {
  QFont font = QFontDatabase::families().contains(QStringLiteral("DejaVu Sans Mono"))
                   ? QFont(QStringLiteral("DejaVu Sans Mono"))
                   : HostFixedPitchFont();
  font.setPixelSize(PixelSize);
  font.setStyleHint(QFont::Monospace);
  return font;
}

// Runs the event loop until nothing more is pending (posted events, timers due).
inline void ProcessEvents() {
  QApplication::sendPostedEvents();
  QApplication::processEvents();
}

}  // namespace korvel_test
