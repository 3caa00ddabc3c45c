// The cell store behind a terminal page: character, character-set, attribute and
// colour planes with scroll-back, a cursor, a scroll region, tab stops and the
// writing modes. It knows nothing of escape sequences, fonts or painting; it
// records which screen rectangle changed so that a painter can catch up.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

// Attribute bits stored with each cell.
enum TAdCharAttr : uint8_t {
  tcaBold = 1,
  tcaUnderline = 2,
  tcaStrikethrough = 4,
  tcaBlink = 8,
  tcaReverse = 16,
  tcaInvisible = 32,
  tcaSelected = 64,
};

// Colours are 0x00BBGGRR values.
using TAdColor = uint32_t;
inline constexpr TAdColor adBlack = 0x000000;
inline constexpr TAdColor adSilver = 0xC0C0C0;

// One plane: rows x columns of 1-, 2- or 4-byte items, in plane coordinates (0-based).
// Every access outside the plane is ignored (reads give 0, pointers are null).
class TadTerminalArray {
 public:
  explicit TadTerminalArray(int ItemSize);

  int GetColCount() const { return ColCount; }
  int GetRowCount() const { return RowCount; }
  int GetItemSize() const { return ItemSize; }
  void SetColCount(int Value);
  void SetRowCount(int Value);
  void SetDefaultItem(uint32_t Value);
  uint32_t GetDefaultItem() const { return DefaultItem; }

  void Clear();
  void ClearItems(int Row, int FromCol, int ToCol);
  void DeleteItems(int Count, int Row, int Col);
  void InsertItems(int Count, int Row, int Col);
  void WriteItems(const void* Source, int Count, int Col, int Row);
  // Address of an item; null when there is no storage or the cell lies outside the plane.
  void* GetItemPtr(int Row, int Col);
  const void* GetItemPtr(int Row, int Col) const;
  uint32_t GetItem(int Row, int Col) const;
  // Fills Count items from a cell known to lie inside the plane, with Value, or (for
  // 1-byte items, when Source is given) with the bytes of Source.
  void FillInside(int Row, int Col, int Count, uint32_t Value, const uint8_t* Source = nullptr) {
    uint8_t* Target = Data.data() + Offset(Row, Col);
    if (ItemSize == 1) {
      if (Source != nullptr)
        std::memcpy(Target, Source, static_cast<std::size_t>(Count));
      else
        std::memset(Target, static_cast<uint8_t>(Value), static_cast<std::size_t>(Count));
      return;
    }
    for (int I = 0; I < Count; ++I) {
      const uint32_t Item = Source != nullptr ? Source[I] : Value;
      if (ItemSize == 4)
        std::memcpy(Target + I * 4, &Item, 4);
      else {
        const uint16_t Short = static_cast<uint16_t>(Item);
        std::memcpy(Target + I * 2, &Short, 2);
      }
    }
  }
  void SetItem(int Row, int Col, uint32_t Value) {
    if (Row < 0 || Row >= RowCount || Col < 0 || Col >= ColCount || Data.empty()) return;
    StoreItem(Offset(Row, Col), Value);
  }
  // Stores an item at a cell known to lie inside the plane (the writer's hot path).
  void StoreInside(int Row, int Col, uint32_t Value) {
    uint8_t* Target = Data.data() + Offset(Row, Col);
    if (ItemSize == 1)
      *Target = static_cast<uint8_t>(Value);
    else if (ItemSize == 4)
      std::memcpy(Target, &Value, 4);
    else {
      const uint16_t Item = static_cast<uint16_t>(Value);
      std::memcpy(Target, &Item, 2);
    }
  }
  void ReplaceItems(uint32_t OldValue, uint32_t NewValue);
  void ScrollRows(int Count, int FirstRow, int LastRow);

 private:
  // Rows are stored in slots; RowSlots maps each row to its slot, so that scrolling
  // moves slot numbers instead of the rows' bytes.
  std::size_t Offset(int Row, int Col) const {
    return (static_cast<std::size_t>(RowSlots[static_cast<std::size_t>(Row)]) * static_cast<std::size_t>(RowStride) +
            static_cast<std::size_t>(Col)) *
           static_cast<std::size_t>(ItemSize);
  }
  void StoreItem(std::size_t ByteOffset, uint32_t Value);
  uint32_t LoadItem(std::size_t ByteOffset) const;
  void FillItems(std::size_t ByteOffset, int Count);
  void Resize(int NewRows, int NewCols);
  int StrideFor(int Cols) const;

  int RowStride = -1;
  int ColCount = 0;
  uint32_t DefaultItem = 0;
  std::vector<uint8_t> Data;
  std::vector<int> RowSlots;
  int ItemSize;
  int RowCount = 0;
};

// A rectangle of screen cells, 1-based; row 1 is the top visible row.
struct TAdScreenRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
  bool operator==(const TAdScreenRect&) const = default;
};

class TAdTerminalBuffer;
using TAdTerminalCursorMovedEvent = std::function<void(TAdTerminalBuffer& aSender, int aRow, int aCol)>;
// A block of rows moved by Count (positive: up); rows as 1-based screen rows, so
// scroll-back rows come out as 0 or less.
using TAdScrollRowsEvent = std::function<void(TAdTerminalBuffer& Sender, int Count, int FirstRow, int LastRow)>;

class TAdTerminalBuffer {
 public:
  explicit TAdTerminalBuffer(bool UseWideChars = false);
  TAdTerminalBuffer(const TAdTerminalBuffer&) = delete;
  TAdTerminalBuffer& operator=(const TAdTerminalBuffer&) = delete;

  int GetColCount() const { return ColCount; }
  int GetRowCount() const { return RowCount; }
  int GetSVRowCount() const { return SVRowCount; }
  void tbSetColCount(int Value);
  void tbSetRowCount(int Value);
  void tbSetSVRowCount(int Value);

  // Cursor in user coordinates (1-based, as the addressing mode counts).
  int GetCursorCol() const { return ColToUser(CursorCol, UseAbsAddress); }
  int GetCursorRow() const { return RowToUser(CursorRow, UseAbsAddress); }
  // The cursor's row on the screen (1 = top visible row), whatever the addressing mode.
  int GetCursorScreenRow() const { return RowToUser(CursorRow, true); }
  int GetOriginCol() const { return ColToUser(WindowLeft, true); }
  int GetOriginRow() const { return RowToUser(WindowTop, true); }
  // The active window (the scroll region when one is in use) in 1-based screen rows.
  int GetWindowTopScreenRow() const { return RowToUser(WindowTop, true); }
  int GetWindowBottomScreenRow() const { return RowToUser(WindowTop + WindowHeight - 1, true); }
  void SetCursorCol(int Col);
  void SetCursorRow(int Row);
  void SetCursorPosition(int Row, int Col);
  void MoveCursorUp(bool CanScroll);
  void MoveCursorDown(bool CanScroll);
  void MoveCursorLeft(bool Wrap, bool CanScroll);
  void MoveCursorRight(bool Wrap, bool CanScroll);
  void DoBackspace();
  void DoCarriageReturn();
  void DoLineFeed();
  void DoHorzTab();
  void DoBackHorzTab();
  void DoVertTab();
  void DoBackVertTab();
  void SetHorzTabStop();
  void ClearHorzTabStop();
  void SetVertTabStop();
  void ClearVertTabStop();
  void ClearAllHorzTabStops();
  void ClearAllVertTabStops();
  bool HasHorzTabStop(int UserCol) const;

  void WriteChar(uint16_t C);
  void WriteString(const std::string& S);
  // Writes Count characters exactly as that many WriteChar calls would, but a row's
  // worth at a time (the cursor-moved event comes once per stretch).
  void WriteChars(const uint8_t* Chars, std::size_t Count);
  void EraseAll();
  void EraseScreen();
  void EraseToEOW();
  void EraseFromBOW();
  void EraseToEOL();
  void EraseFromBOL();
  void EraseLine();
  void EraseChars(int Count);
  void DeleteChars(int Count);
  void InsertChars(int Count);
  void DeleteLines(int Count);
  void InsertLines(int Count);
  void SetScrollRegion(int Top, int Bottom);
  void SetUseScrollRegion(bool Value);
  bool GetUseScrollRegion() const { return UseScrollRegion; }

  void SetCharAttrs(uint8_t Value);
  uint8_t GetCharAttrs() const { return CurrentAttrs; }
  void SetForeColor(TAdColor Value);
  void SetBackColor(TAdColor Value);
  TAdColor GetForeColor() const { return CurrentForeColor; }
  TAdColor GetBackColor() const { return CurrentBackColor; }
  void SetCharSet(uint8_t Value);
  uint8_t GetCharSet() const { return CurrentCharSet; }
  void SetDefChar(uint8_t Value);
  uint8_t GetDefChar() const { return DefChar; }
  void SetDefForeColor(TAdColor Value);
  void SetDefBackColor(TAdColor Value);
  TAdColor GetDefForeColor() const { return DefForeColor; }
  TAdColor GetDefBackColor() const { return DefBackColor; }

  void SetUseAbsAddress(bool Value) { UseAbsAddress = Value; }
  bool GetUseAbsAddress() const { return UseAbsAddress; }
  void SetUseAutoWrap(bool Value) { UseAutoWrap = Value; }
  bool GetUseAutoWrap() const { return UseAutoWrap; }
  void SetUseAutoWrapDelay(bool Value) { UseAutoWrapDelay = Value; }
  bool GetUseAutoWrapDelay() const { return UseAutoWrapDelay; }
  void SetUseInsertMode(bool Value) { UseInsertMode = Value; }
  bool GetUseInsertMode() const { return UseInsertMode; }
  void SetUseNewLineMode(bool Value) { UseNewLineMode = Value; }
  bool GetUseNewLineMode() const { return UseNewLineMode; }
  bool GetWrapPending() const { return WrapPending; }

  void Reset();
  // Marks screen rows First..Last (1-based) for repainting across all columns.
  void InvalidateScreenRows(int First, int Last);
  bool GetCursorMoved();
  bool HasDisplayChanges() const { return RectPending; }
  bool GetInvalidRect(TAdScreenRect& Rect);

  // First cell of a row of a plane; the row counts with absolute addressing (1 = top
  // visible row, 0 and below the scroll-back). Null outside the planes.
  const uint8_t* GetLineCharPtr(int Row) const;
  const uint8_t* GetLineCharSetPtr(int Row) const;
  const uint8_t* GetLineAttrPtr(int Row) const;
  const TAdColor* GetLineForeColorPtr(int Row) const;
  const TAdColor* GetLineBackColorPtr(int Row) const;

  // One cell, by screen row (absolute, as the line pointers) and 1-based column; 0
  // (or the default) outside the planes.
  uint16_t GetCharAt(int Row, int Col) const;
  uint8_t GetCharSetAt(int Row, int Col) const;
  uint8_t GetAttrAt(int Row, int Col) const;
  TAdColor GetForeColorAt(int Row, int Col) const;
  TAdColor GetBackColorAt(int Row, int Col) const;
  // The characters of a screen row, ColCount of them (wide characters cut to 8 bits).
  std::string GetLineText(int Row) const;

  bool GetUseWideChars() const { return UseWideChars; }

  TAdTerminalCursorMovedEvent OnCursorMoved;
  TAdScrollRowsEvent OnScrollRows;
  // Called when a changed rectangle becomes pending while none was: the painter then
  // collects everything pending with GetInvalidRect.
  std::function<void(TAdTerminalBuffer& Sender)> OnDisplayChanged;

 private:
  int UserToCol(int Col, bool Absolute) const { return Absolute ? Col - 1 : WindowLeft + Col - 1; }
  int UserToRow(int Row, bool Absolute) const {
    return Absolute ? Row - 1 + (SVRowCount - RowCount) : WindowTop + Row - 1;
  }
  int ColToUser(int Col, bool Absolute) const { return Absolute ? Col + 1 : Col - WindowLeft + 1; }
  int RowToUser(int Row, bool Absolute) const {
    return Absolute ? Row - (SVRowCount - RowCount) + 1 : Row - WindowTop + 1;
  }
  // The plane row of a 1-based screen row (0 and below: scroll-back); -1 outside the planes.
  int PlaneRowOfScreenRow(int Row) const {
    const int64_t PlaneRow = static_cast<int64_t>(Row) - 1 + (SVRowCount - RowCount);
    return PlaneRow >= 0 && PlaneRow < SVRowCount ? static_cast<int>(PlaneRow) : -1;
  }
  int WindowBottom() const { return WindowTop + WindowHeight - 1; }
  int WindowRight() const { return WindowLeft + WindowWidth - 1; }
  int ScreenTop() const { return SVRowCount - RowCount; }

  void AddRect(int FirstCol, int FirstRow, int LastCol, int LastRow);
  void NotifyCursorMoved();
  void ScrollRows(int Count, int FirstRow, int LastRow);
  void ResetTabStops();
  const TadTerminalArray& PlaneAt(int Index) const;
  template <typename TFunction>
  void ForEachPlane(TFunction&& Function);

  uint8_t CurrentAttrs = 0;
  TAdColor CurrentBackColor = adBlack;
  bool WrapPending = false;
  uint8_t CurrentCharSet = 0;
  int ColCount = 80;
  int CursorCol = 0;
  bool CursorMoved = false;
  int CursorRow = 0;
  uint8_t DefChar = ' ';
  uint8_t DefAttrs = 0;
  uint8_t DefCharSet = 0;
  TAdColor DefBackColor = adBlack;
  TAdColor DefForeColor = adSilver;
  uint16_t DefWideChar = 32;
  int WindowLeft = 0;
  int WindowTop = 0;
  int WindowWidth = 80;
  int WindowHeight = 24;
  TAdColor CurrentForeColor = adSilver;
  std::vector<bool> HorzTabStops;
  bool RectPending = false;
  TAdScreenRect PendingRect;
  int RowCount = 24;
  int ScrollRegionTop = 0;
  int ScrollRegionBottom = 0;
  int SVRowCount = 200;
  bool UseAbsAddress = true;
  bool UseAutoWrap = true;
  bool UseAutoWrapDelay = true;
  bool UseInsertMode = false;
  bool UseNewLineMode = false;
  bool UseScrollRegion = false;
  bool UseWideChars;
  std::vector<bool> VertTabStops;
  TadTerminalArray CharMatrix;
  TadTerminalArray CharSetMatrix;
  TadTerminalArray AttrMatrix;
  TadTerminalArray ForeColorMatrix;
  TadTerminalArray BackColorMatrix;
};
