// The program's own CP/M BIOS ("vantel.hex", assembled from bios/vantel.asm) is
// part of the program: on a first start it is written into the work folder,
// where the cold boot looks for it by default.
#pragma once

#include <string>
#include <string_view>

// The Intel-hex text of the BIOS; empty when the program was built without it.
std::string_view BiosHexImage();

// Writes the BIOS as Folder + "vantel.hex" when no file of that name is there.
// Returns whether it was written; a folder that cannot take it is left alone.
bool WriteBiosImageIfMissing(const std::string& Folder);
