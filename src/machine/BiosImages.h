// The BIOS images built into the program, as Intel-hex text: the program's own
// CP/M BIOS (bios/vantel.hex, assembled from bios/vantel.asm), and the image
// that the first version of the program wrote into users' work folders.
#pragma once

#include <string_view>

// The Intel-hex text of the BIOS; empty when the program was built without it.
std::string_view BiosHexImage();

// The Intel-hex text of the BIOS the first version wrote, byte for byte (its
// BIOS gave up on a byte for a COM port after a fixed number of status polls);
// empty when the program was built without it. A work folder's "vantel.hex"
// that equals it is brought up to date, and drive A still takes the disks
// whose boot tracks it wrote.
std::string_view EarlierBiosHexImage();
