// The program's own CP/M BIOS ("vantel.hex", assembled from bios/vantel.asm) is
// part of the program: on a first start it is written into the work folder,
// where the cold boot looks for it by default, and a later version brings the
// image of an earlier one there up to date.
#pragma once

#include <string>

#include "BiosImages.h"

// Writes the BIOS as Folder + "vantel.hex" when no file of that name is there,
// or when the file there is, byte for byte, the image an earlier version of the
// program wrote (so that users of that version get the BIOS's fixes); a BIOS of
// the user's own, or one changed in any byte, is never touched. Returns whether
// it was written; a folder that cannot take it is left alone.
bool WriteBiosImage(const std::string& Folder);
