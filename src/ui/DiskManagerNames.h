// The texts of the disk manager: its list lines and header, the pack-disk
// lines, sizes with thousands separators, and the file-name helpers its
// dialogs share (extension forced, name without folder and extension).
#pragma once

#include <cstdint>
#include <string>

struct TCpmDiskFileInfo;

// "RSA" / "rsa": read-only, system, archive, each in capitals when set.
std::string CpmDiskAttributesToStr(uint8_t Attributes);
// "Usr  FileName  Attr  Recs  Exts  Size  Space" in the columns of the lines.
std::string DiskListHeaderText();
// One line of the file list; BlockSize gives the space in bytes.
std::string DiskFileLineText(const TCpmDiskFileInfo& Info, int32_t BlockSize);
// "[B" or "[_", "R] " or "_] ", then the disk's name.
std::string PackDiskLineText(uint8_t Flags, const std::string& Name);
// 1048576 as "1,048,576" (Separator between groups of three digits).
std::string FormatThousands(int64_t Value, char Separator = ',');

// FileName with its extension replaced by Extension (which starts with a dot);
// a name without one gets it appended. The folder part is kept.
std::string ChangeFileExt(const std::string& FileName, const std::string& Extension);
// The name without folder and extension ("/disks/Work.cpmdsk" gives "Work").
std::string FileStem(const std::string& FileName);
// The folder of FileName, ending with the separator; empty when it has none.
std::string FolderOf(const std::string& FileName);
// Whether the file is a disk pack by its extension (".cdp", any letter case).
bool IsPackFileName(const std::string& FileName);
// The question asked before a file is replaced.
std::string OverwriteQuestion(const std::string& FileName);
