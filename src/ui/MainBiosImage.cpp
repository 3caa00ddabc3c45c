#include "MainBiosImage.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>
#include <QString>

// Places the bytes of the file Path into the program's read-only data, between
// the symbols Name and Name##End, by the assembler. (The build sees the files
// as dependencies of this source through src/ui/CMakeLists.txt.)
#define KORVEL_EMBED_FILE(Name, Path)     \
  asm(".pushsection .rodata\n"            \
      ".globl " #Name "\n"                \
      ".globl " #Name "End\n"             \
      #Name ":\n"                         \
      ".incbin \"" Path "\"\n"            \
      #Name "End:\n"                      \
      ".byte 0\n"                         \
      ".popsection\n");                   \
  extern "C" const char Name[];           \
  extern "C" const char Name##End[]

#define KORVEL_EMBEDDED_TEXT(Name) std::string_view(Name, static_cast<size_t>(Name##End - Name))

#ifdef KORVEL_BIOS_HEX
// The committed bios/vantel.hex.
KORVEL_EMBED_FILE(KorvelBiosHexImage, KORVEL_BIOS_HEX);

std::string_view BiosHexImage() { return KORVEL_EMBEDDED_TEXT(KorvelBiosHexImage); }
#else
std::string_view BiosHexImage() { return {}; }
#endif

#ifdef KORVEL_BIOS_EARLIER_HEX
// The image the first version of the program wrote, byte for byte (its BIOS
// gave up on a byte for a COM port after a fixed number of status polls).
KORVEL_EMBED_FILE(KorvelBiosEarlierHexImage1, KORVEL_BIOS_EARLIER_HEX);

static bool IsEarlierBiosImage(const QByteArray& Contents) {
  return std::string_view(Contents.constData(), static_cast<size_t>(Contents.size())) ==
         KORVEL_EMBEDDED_TEXT(KorvelBiosEarlierHexImage1);
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
