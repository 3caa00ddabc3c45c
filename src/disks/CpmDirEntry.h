// The 32-byte CP/M 2.2 directory entry of this disk format (16-bit block
// pointers, 8 per entry, 128 records per entry) and the rules of its file names.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "EmulatorError.h"

// A failed CP/M file operation: bad name or user number, missing or existing
// file, full directory or disk, a stream that refuses data.
class ECpmDiskError : public EEmulatorError {
 public:
  using EEmulatorError::EEmulatorError;
};

// Attribute bits of a file.
enum TCpmFileAttributes : std::uint8_t {
  CPM_ATTR_READ_ONLY = 1,
  CPM_ATTR_SYSTEM = 2,
  CPM_ATTR_ARCHIVE = 4,
  CPM_ATTR_ALL = 7,
};

struct TCpmDirEntry {
  static constexpr int SIZE = 32;
  static constexpr std::uint8_t FREE = 0xE5;
  static constexpr int POINTER_COUNT = 8;
  static constexpr int MAX_RECORDS = 128;
  // Highest byte 0 of an entry whose block pointers are live: user numbers 0-15
  // are files; 16-31 are used by some systems for entries that still own blocks.
  static constexpr std::uint8_t MAX_ALLOCATING_USER = 31;
  static constexpr std::uint8_t MAX_USER = 15;
  // Entries that are no files: a disk label and the time stamps of the three
  // entries before it (CP/M 3, and cpmtools' mkfs.cpm -L and -t).
  static constexpr std::uint8_t LABEL = 0x20;
  static constexpr std::uint8_t TIME_STAMPS = 0x21;
  // Highest extent bytes: EX counts 16 KiB extents within S2's 512 KiB module.
  static constexpr std::uint8_t MAX_EXTENT = 31;
  static constexpr std::uint8_t MAX_MODULE = 63;

  std::array<std::uint8_t, SIZE> Bytes{};

  std::uint8_t User() const { return Bytes[0]; }
  bool IsFree() const { return Bytes[0] == FREE; }
  bool IsFile() const { return Bytes[0] <= MAX_USER; }
  bool OwnsBlocks() const { return Bytes[0] <= MAX_ALLOCATING_USER; }

  // What an entry reads as when a file is checked for holding a CP/M directory.
  //   Free        E5h first, whatever follows: CP/M takes every such entry as
  //               free (formatted, deleted, or written so by a tool);
  //   File        user 0-31, then a name and type that are printable once the
  //               attribute bits are taken off, the extent bytes EX at most
  //               31 and S2 at most 63 (bit 7 of S2 is a flag of the system),
  //               at most 128 records, and block pointers below BlockCount;
  //   Label       20h, then a printable name that does not start blank;
  //   TimeStamps  21h (the stamps of the three entries before it);
  //   Damaged     anything else: bytes that no CP/M system or tool writes.
  // Random bytes, a text, a program or a fill of 00h or FFh give Damaged
  // entries almost only: a File needs eight block pointers in range, and E5h
  // starts few of their 32-byte entries (no text character is E5h).
  enum class TKind { Free, File, Label, TimeStamps, Damaged };
  TKind Kind(int BlockCount) const;
  std::uint8_t RecordCount() const { return Bytes[15]; }
  // (S2 and 15) x 32 + (EX and 31).
  int ExtentNumber() const { return (Bytes[14] & 15) * 32 + (Bytes[12] & 31); }
  std::uint16_t Pointer(int I) const {
    return static_cast<std::uint16_t>(Bytes[16 + 2 * I] | (Bytes[17 + 2 * I] << 8));
  }
  void SetPointer(int I, std::uint16_t Block) {
    Bytes[16 + 2 * I] = static_cast<std::uint8_t>(Block & 0xFF);
    Bytes[17 + 2 * I] = static_cast<std::uint8_t>(Block >> 8);
  }
  int UsedPointerCount() const;

  // NAME.TYP (bit 7 cleared, blanks removed; no dot without a type).
  std::string FileName() const;
  std::uint8_t Attributes() const;
  void SetAttributes(std::uint8_t NewAttributes);
  // Stores name and type of Text (NAME.TYP), upper-cased and blank padded; with
  // KeepAttributes bit 7 of each byte stays as it was.
  void SetName(const std::string& Text, bool KeepAttributes);

  static TCpmDirEntry Free();
};

// Checks a name before it is written into a directory: refuses empty names,
// names longer than 8 characters or types longer than 3, blanks, control
// characters, bytes of 7Fh and up and any of * ? . : ; < > = , [ ] |.
// Returns the name in the form stored (upper case). Raises ECpmDiskError.
std::string CheckCpmFileName(const std::string& Name);
// Raises ECpmDiskError for a user number outside 0-15.
void CheckCpmUser(int User);
// Name and type cut to CP/M length (8 characters, then the extension with its
// dot cut to 4), as a host file name is offered for import.
std::string MakeCpmFileName(const std::string& HostName);
// Equality of two names without regard to letter case.
bool SameCpmName(const std::string& A, const std::string& B);

// A host file's name made into a CP/M name that a directory entry can hold, for
// an import: the part after the last path separator; leading dots dropped (a
// hidden file ".profile" becomes PROFILE); name and type split at the last dot
// and cut to 8 and 3 characters; every character CP/M names can not hold (a
// blank, a control character, one of * ? . : ; < > = , [ ] |, and each
// character outside ASCII) becomes "_"; upper case. Empty when no name is left
// ("...", "."): such a file can not be imported under its own name. A result
// that is not empty always passes CheckCpmFileName.
std::string HostToCpmFileName(const std::string& HostName);
// A CP/M name as listed made into a host file name that stays inside the folder
// it is put in, for an export: path separators and control characters become
// "_", and a name of dots alone ("." or "..", which a damaged or hostile
// directory can hold) has its dots made "_". Never empty.
std::string CpmToHostFileName(const std::string& CpmName);
