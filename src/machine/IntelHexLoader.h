// Reads Intel-hex files into a 64 KiB image: the CP/M and BIOS images of the cold
// boot, programs loaded into memory, and the boot image written onto disks.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

// Where the data of a hex file went. Next is the address after the last byte
// stored, counted without wrapping (0x10000 for data that ends at FFFFh).
struct THexImageRange {
  uint32_t First = 0;  // address of the first data record
  uint32_t Next = 0;
  bool HasData = false;
};

// Stores the data records of the hex text into Image (65536 bytes), addresses
// wrapping at 64 KiB. The end record (type 01) stops the reading; the lines after
// it are ignored. Other record types carry no data for the image and are skipped.
// The first character of a line (normally ":") and the checksum are not checked.
// CR LF and LF line ends are both accepted. A line that is too short for its byte
// count, or whose fields are not hexadecimal, raises EMachineError naming the
// line, and the image is left as it was: a file is stored whole or not at all.
// SourceName is only used in messages.
THexImageRange LoadHexText(std::istream& Text, uint8_t* Image, const std::string& SourceName);

// LoadHexText over a file; a file that cannot be read raises EMachineError.
THexImageRange LoadHexToImage(const std::string& FileName, uint8_t* Image);
