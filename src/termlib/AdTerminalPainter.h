// Turns rows of a screen buffer into paint runs for a terminal: cells of equal
// colours, attributes and character set form one run, split further by the font
// each character is drawn in.
#pragma once

#include "ADTrmBuf.h"
#include "ADTrmMap.h"
#include "AdTerminalHost.h"

struct TAdRowPaintOptions {
  TAdLineAttr LineAttr = laNormal;
  // The columns given are buffer columns already (blink runs), not screen columns.
  bool ColumnsAreBufferCols = false;
  // Character-set map for the glyphs and fonts; null draws every cell in the
  // terminal's font as it stands (the plain TTY emulator).
  TAdCharSetMapping* CharSetMapping = nullptr;
  bool ReverseVideo = false;
  bool TextShown = true;
};

// The name of a VT100 character set (0 US ASCII .. 4 ROM2) in the character-set map.
const char* VT100CharSetName(uint8_t CharSet);

// Bold text is drawn brighter: each of red, green and blue + 128, at most 255.
TAdColor BrightenColor(TAdColor Color);

// Paints buffer row Row (1-based screen row), columns FirstCol..LastCol, on Host.
void PaintBufferRow(const TAdTerminalBuffer& Buffer, TAdTerminalHost& Host, int Row, int FirstCol, int LastCol,
                    const TAdRowPaintOptions& Options);
