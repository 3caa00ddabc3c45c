#include "BiosImages.h"

// Places the bytes of the file Path into the program's read-only data, between
// the symbols Name and Name##End, by the assembler. (The build sees the files
// as dependencies of this source through src/machine/CMakeLists.txt.)
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
KORVEL_EMBED_FILE(KorvelBiosHexImage, KORVEL_BIOS_HEX);

std::string_view BiosHexImage() { return KORVEL_EMBEDDED_TEXT(KorvelBiosHexImage); }
#else
std::string_view BiosHexImage() { return {}; }
#endif

#ifdef KORVEL_BIOS_EARLIER_HEX
KORVEL_EMBED_FILE(KorvelBiosEarlierHexImage1, KORVEL_BIOS_EARLIER_HEX);

std::string_view EarlierBiosHexImage() { return KORVEL_EMBEDDED_TEXT(KorvelBiosEarlierHexImage1); }
#else
std::string_view EarlierBiosHexImage() { return {}; }
#endif
