#include "MainBiosImage.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>
#include <QString>

#ifdef KORVEL_BIOS_HEX
// The committed bios/vantel.hex, placed into the program's read-only data by
// the assembler. (The build does not see the file as a dependency of this
// source: after a change of the BIOS this file is compiled again by a clean
// build or by touching it.)
asm(".pushsection .rodata\n"
    ".globl KorvelBiosHexImage\n"
    ".globl KorvelBiosHexImageEnd\n"
    "KorvelBiosHexImage:\n"
    ".incbin \"" KORVEL_BIOS_HEX "\"\n"
    "KorvelBiosHexImageEnd:\n"
    ".byte 0\n"
    ".popsection\n");
extern "C" const char KorvelBiosHexImage[];
extern "C" const char KorvelBiosHexImageEnd[];

std::string_view BiosHexImage() {
  return std::string_view(KorvelBiosHexImage, static_cast<size_t>(KorvelBiosHexImageEnd - KorvelBiosHexImage));
}
#else
std::string_view BiosHexImage() { return {}; }
#endif

#ifdef KORVEL_BIOS_EARLIER_HEX
// The image the first version of the program wrote, byte for byte (its BIOS
// gave up on a byte for a COM port after a fixed number of status polls).
asm(".pushsection .rodata\n"
    ".globl KorvelBiosEarlierHexImage1\n"
    ".globl KorvelBiosEarlierHexImage1End\n"
    "KorvelBiosEarlierHexImage1:\n"
    ".incbin \"" KORVEL_BIOS_EARLIER_HEX "\"\n"
    "KorvelBiosEarlierHexImage1End:\n"
    ".byte 0\n"
    ".popsection\n");
extern "C" const char KorvelBiosEarlierHexImage1[];
extern "C" const char KorvelBiosEarlierHexImage1End[];

static bool IsEarlierBiosImage(const QByteArray& Contents) {
  const std::string_view Earlier(KorvelBiosEarlierHexImage1,
                                 static_cast<size_t>(KorvelBiosEarlierHexImage1End - KorvelBiosEarlierHexImage1));
  return std::string_view(Contents.constData(), static_cast<size_t>(Contents.size())) == Earlier;
}
#else
static bool IsEarlierBiosImage(const QByteArray&) { return false; }
#endif

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
