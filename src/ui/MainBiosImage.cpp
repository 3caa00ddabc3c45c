#include "MainBiosImage.h"

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

bool WriteBiosImageIfMissing(const std::string& Folder) {
  const std::string_view Image = BiosHexImage();
  const QString FileName = QString::fromStdString(Folder + "vantel.hex");
  if (Image.empty() || QFile::exists(FileName)) return false;
  // Written whole or not at all: a half-written BIOS would boot into nonsense.
  QSaveFile File(FileName);
  if (!File.open(QIODevice::WriteOnly)) return false;
  File.write(Image.data(), static_cast<qint64>(Image.size()));
  return File.commit();
}
