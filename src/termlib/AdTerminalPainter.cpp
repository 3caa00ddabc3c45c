#include "AdTerminalPainter.h"

#include <algorithm>

const char* VT100CharSetName(uint8_t CharSet) {
  switch (CharSet) {
    case 1:
      return "VT100-UK";
    case 2:
      return "VT100-linedraw";
    case 3:
      return "VT100-ROM1";
    case 4:
      return "VT100-ROM2";
    default:
      return "VT100-USASCII";
  }
}

TAdColor BrightenColor(TAdColor Color) {
  TAdColor Result = 0;
  for (int Shift = 0; Shift <= 16; Shift += 8) {
    const uint32_t Component = std::min<uint32_t>(((Color >> Shift) & 0xFF) + 128, 255);
    Result |= Component << Shift;
  }
  return Result;
}

void PaintBufferRow(const TAdTerminalBuffer& Buffer, TAdTerminalHost& Host, int Row, int FirstCol, int LastCol,
                    const TAdRowPaintOptions& Options) {
  const TAdViewGeometry View = Host.GetViewGeometry();
  if (Row < View.OriginRow || Row > View.OriginRow + View.VisibleRows - 1) return;
  int Factor = 1;
  int FirstShown = View.OriginCol;
  int LastShown = View.OriginCol + View.VisibleCols - 1;
  int Shift = 0;
  if (Options.LineAttr != laNormal) {
    // Cells are two wide: screen columns map to half as many buffer columns.
    Factor = 2;
    if (!Options.ColumnsAreBufferCols) {
      FirstCol = (FirstCol - 1) / 2 + 1;
      LastCol = (LastCol - 1) / 2 + 1;
    }
    FirstShown = (View.OriginCol - 1) / 2 + 1;
    Shift = View.OriginCol % 2 == 0 ? -1 : 0;
    LastShown = FirstShown + (View.VisibleCols + 1) / 2;
  }
  FirstCol = std::max({FirstCol, FirstShown, 1});
  LastCol = std::min({LastCol, LastShown, Buffer.GetColCount()});
  if (FirstCol > LastCol) return;
  // The bottom half of a double-height line shows the text of the row above it.
  const int SourceRow = Options.LineAttr == laDoubleHeightBottom ? Row - 1 : Row;
  const uint8_t* Chars = Buffer.GetLineCharPtr(SourceRow);
  const uint8_t* CharSets = Buffer.GetLineCharSetPtr(SourceRow);
  const uint8_t* Attrs = Buffer.GetLineAttrPtr(SourceRow);
  const TAdColor* Fores = Buffer.GetLineForeColorPtr(SourceRow);
  const TAdColor* Backs = Buffer.GetLineBackColorPtr(SourceRow);
  if (Chars == nullptr || CharSets == nullptr || Attrs == nullptr || Fores == nullptr || Backs == nullptr) return;
  const bool Wide = Buffer.GetUseWideChars();
  auto CharAt = [&](int Index) -> char {
    if (!Wide) return static_cast<char>(Chars[Index]);
    return static_cast<char>(Chars[Index * 2]);  // low byte of a 2-byte cell
  };

  TAdPaintRun Run;
  Run.ViewRow = Row - View.OriginRow;
  Run.CellWidthFactor = Factor;
  Run.LineAttr = Options.LineAttr;
  Run.TextShown = Options.TextShown;
  int Col = FirstCol;
  while (Col <= LastCol) {
    const int Index = Col - 1;
    int End = Col;
    while (End < LastCol && Fores[End] == Fores[Index] && Backs[End] == Backs[Index] && Attrs[End] == Attrs[Index] &&
           CharSets[End] == CharSets[Index])
      ++End;
    const uint8_t Attr = Attrs[Index];
    const int ReverseCount =
        ((Attr & tcaReverse) ? 1 : 0) + (Options.ReverseVideo ? 1 : 0) + ((Attr & tcaSelected) ? 1 : 0);
    TAdColor Fore = Fores[Index];
    const TAdColor Back = Backs[Index];
    if (Attr & tcaBold) Fore = BrightenColor(Fore);
    TAdColor TextColor = ReverseCount % 2 == 1 ? Back : Fore;
    TAdColor FillColor = ReverseCount % 2 == 1 ? Fore : Back;
    if (Attr & tcaInvisible) TextColor = FillColor;
    if (!Options.TextShown) FillColor = Options.ReverseVideo ? Fores[Index] : Back;
    Run.TextColor = TextColor;
    Run.FillColor = FillColor;
    Run.Underline = (Attr & tcaUnderline) != 0;
    Run.Strikethrough = (Attr & tcaStrikethrough) != 0;
    std::string Text;
    Text.reserve(static_cast<std::size_t>(End - Col + 1));
    for (int I = Index; I < End; ++I) Text.push_back(CharAt(I));
    int ViewCol = (Col - FirstShown) * Factor + Shift;
    if (Options.CharSetMapping != nullptr) {
      Options.CharSetMapping->GenerateDrawScript(VT100CharSetName(CharSets[Index]), Text);
      std::string Font;
      std::string Segment;
      while (Options.CharSetMapping->GetNextDrawCommand(Font, Segment)) {
        Run.ViewCol = ViewCol;
        Run.CellCount = static_cast<int>(Segment.size());
        Run.FontName = Font;
        Run.Text = Segment;
        Host.PaintRun(Run);
        ViewCol += Run.CellCount * Factor;
      }
    } else {
      Run.ViewCol = ViewCol;
      Run.CellCount = static_cast<int>(Text.size());
      Run.FontName = TAdCharSetMapping::DefaultFontName;
      Run.Text = std::move(Text);
      Host.PaintRun(Run);
    }
    Col = End + 1;
  }
}
