#include "MainBiosImage.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>
#include <QString>

// Whether Contents are, byte for byte, the image an earlier version wrote.
static bool IsEarlierBiosImage(const QByteArray& Contents) {
  const std::string_view Earlier = EarlierBiosHexImage();
  return !Earlier.empty() && std::string_view(Contents.constData(), static_cast<size_t>(Contents.size())) == Earlier;
}

bool WriteBiosImage(const std::string& Folder) {
  const std::string_view Image = BiosHexImage();
  const QString FileName = QString::fromStdString(Folder + "vantel.hex");
  if (Image.empty()) return false;
  if (QFile::exists(FileName)) {
    QFile Existing(FileName);
    // Anything but an unchanged image of an earlier version is the user's own.
    if (!Existing.open(QIODevice::ReadOnly) || Existing.size() > 1024 * 1024) return false;
    const QByteArray Contents = Existing.readAll();
    if (std::string_view(Contents.constData(), static_cast<size_t>(Contents.size())) == Image ||
        !IsEarlierBiosImage(Contents))
      return false;
  }
  // Written whole or not at all: a half-written BIOS would boot into nonsense.
  QSaveFile File(FileName);
  if (!File.open(QIODevice::WriteOnly)) return false;
  File.write(Image.data(), static_cast<qint64>(Image.size()));
  return File.commit();
}
