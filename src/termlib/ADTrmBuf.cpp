#include "ADTrmBuf.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "EmulatorError.h"

// ---------------------------------------------------------------- TadTerminalArray

TadTerminalArray::TadTerminalArray(int Size) : ItemSize(Size == 1 || Size == 2 || Size == 4 ? Size : 1) {}

int TadTerminalArray::StrideFor(int Cols) const {
  // Every stored row is a whole number of 4-byte words.
  switch (ItemSize) {
    case 1:
      return (Cols + 3) / 4 * 4;
    case 2:
      return (Cols + 1) / 2 * 2;
    default:
      return Cols;
  }
}

void TadTerminalArray::StoreItem(std::size_t ByteOffset, uint32_t Value) {
  uint8_t* Target = Data.data() + ByteOffset;
  switch (ItemSize) {
    case 1:
      *Target = static_cast<uint8_t>(Value);
      break;
    case 2: {
      const uint16_t Item = static_cast<uint16_t>(Value);
      std::memcpy(Target, &Item, 2);
      break;
    }
    default:
      std::memcpy(Target, &Value, 4);
  }
}

uint32_t TadTerminalArray::LoadItem(std::size_t ByteOffset) const {
  const uint8_t* Source = Data.data() + ByteOffset;
  switch (ItemSize) {
    case 1:
      return *Source;
    case 2: {
      uint16_t Item;
      std::memcpy(&Item, Source, 2);
      return Item;
    }
    default: {
      uint32_t Item;
      std::memcpy(&Item, Source, 4);
      return Item;
    }
  }
}

void TadTerminalArray::FillItems(std::size_t ByteOffset, int Count) {
  if (Count <= 0) return;
  if (ItemSize == 1) {
    std::memset(Data.data() + ByteOffset, static_cast<uint8_t>(DefaultItem), static_cast<std::size_t>(Count));
    return;
  }
  for (int I = 0; I < Count; ++I) StoreItem(ByteOffset + static_cast<std::size_t>(I * ItemSize), DefaultItem);
}

void TadTerminalArray::Resize(int NewRows, int NewCols) {
  const int NewStride = StrideFor(NewCols);
  if (NewRows == RowCount && NewStride == RowStride) {
    ColCount = NewCols;
    return;
  }
  std::vector<uint8_t> OldData;
  OldData.swap(Data);
  std::vector<int> OldSlots;
  OldSlots.swap(RowSlots);
  const int OldRows = RowCount;
  const int OldStride = RowStride;
  const int OldCols = ColCount;
  RowCount = NewRows;
  ColCount = NewCols;
  RowStride = NewStride;
  Data.assign(static_cast<std::size_t>(NewRows) * static_cast<std::size_t>(NewStride) * static_cast<std::size_t>(ItemSize), 0);
  RowSlots.resize(static_cast<std::size_t>(NewRows));
  for (int Row = 0; Row < NewRows; ++Row) RowSlots[static_cast<std::size_t>(Row)] = Row;
  Clear();
  if (OldData.empty() || OldStride <= 0) return;
  // The bottom rows (the screen) survive; the oldest scroll-back rows are lost.
  const int KeptRows = std::min(OldRows, NewRows);
  const int KeptCols = std::min(OldCols, NewCols);
  for (int I = 0; I < KeptRows; ++I) {
    const int FromRow = OldRows - KeptRows + I;
    const int ToRow = NewRows - KeptRows + I;
    const std::size_t FromSlot = static_cast<std::size_t>(OldSlots[static_cast<std::size_t>(FromRow)]);
    std::memcpy(Data.data() + Offset(ToRow, 0),
                OldData.data() + FromSlot * static_cast<std::size_t>(OldStride) * static_cast<std::size_t>(ItemSize),
                static_cast<std::size_t>(KeptCols) * static_cast<std::size_t>(ItemSize));
  }
}

void TadTerminalArray::SetColCount(int Value) {
  if (Value < 0 || Value == ColCount) return;
  if (RowCount > 0)
    Resize(RowCount, Value);
  else {
    ColCount = Value;
    RowStride = StrideFor(Value);
  }
}

void TadTerminalArray::SetRowCount(int Value) {
  if (Value < 0 || Value == RowCount) return;
  if (ColCount > 0)
    Resize(Value, ColCount);
  else
    RowCount = Value;
}

void TadTerminalArray::SetDefaultItem(uint32_t Value) {
  switch (ItemSize) {
    case 1:
      DefaultItem = Value & 0xFF;
      break;
    case 2:
      DefaultItem = Value & 0xFFFF;
      break;
    default:
      DefaultItem = Value;
  }
}

void TadTerminalArray::Clear() {
  if (Data.empty()) return;
  for (int Row = 0; Row < RowCount; ++Row) FillItems(Offset(Row, 0), RowStride);
}

void TadTerminalArray::ClearItems(int Row, int FromCol, int ToCol) {
  if (Data.empty() || Row < 0 || Row >= RowCount) return;
  FromCol = std::max(FromCol, 0);
  ToCol = std::min(ToCol, ColCount - 1);
  if (ToCol < FromCol) return;
  FillItems(Offset(Row, FromCol), ToCol - FromCol + 1);
}

void TadTerminalArray::DeleteItems(int Count, int Row, int Col) {
  if (Data.empty() || Row < 0 || Row >= RowCount || Col < 0 || Col >= ColCount || Count <= 0) return;
  Count = std::min(Count, ColCount - Col);
  const int Moved = ColCount - Col - Count;
  if (Moved > 0)
    std::memmove(Data.data() + Offset(Row, Col), Data.data() + Offset(Row, Col + Count),
                 static_cast<std::size_t>(Moved) * static_cast<std::size_t>(ItemSize));
  FillItems(Offset(Row, ColCount - Count), Count);
}

void TadTerminalArray::InsertItems(int Count, int Row, int Col) {
  if (Data.empty() || Row < 0 || Row >= RowCount || Col < 0 || Col >= ColCount || Count <= 0) return;
  Count = std::min(Count, ColCount - Col);
  const int Moved = ColCount - Col - Count;
  if (Moved > 0)
    std::memmove(Data.data() + Offset(Row, Col + Count), Data.data() + Offset(Row, Col),
                 static_cast<std::size_t>(Moved) * static_cast<std::size_t>(ItemSize));
  FillItems(Offset(Row, Col), Count);
}

void TadTerminalArray::WriteItems(const void* Source, int Count, int Col, int Row) {
  if (Data.empty() || Source == nullptr || Row < 0 || Row >= RowCount || Col < 0 || Col >= ColCount || Count <= 0) return;
  Count = std::min(Count, ColCount - Col);
  std::memcpy(Data.data() + Offset(Row, Col), Source, static_cast<std::size_t>(Count) * static_cast<std::size_t>(ItemSize));
}

void* TadTerminalArray::GetItemPtr(int Row, int Col) {
  return const_cast<void*>(static_cast<const TadTerminalArray*>(this)->GetItemPtr(Row, Col));
}

const void* TadTerminalArray::GetItemPtr(int Row, int Col) const {
  if (Data.empty() || Row < 0 || Row >= RowCount || Col < 0 || Col >= ColCount) return nullptr;
  return Data.data() + Offset(Row, Col);
}

uint32_t TadTerminalArray::GetItem(int Row, int Col) const {
  if (Data.empty() || Row < 0 || Row >= RowCount || Col < 0 || Col >= ColCount) return 0;
  return LoadItem(Offset(Row, Col));
}

void TadTerminalArray::ReplaceItems(uint32_t OldValue, uint32_t NewValue) {
  if (Data.empty()) return;
  for (int Row = 0; Row < RowCount; ++Row)
    for (int Col = 0; Col < ColCount; ++Col) {
      const std::size_t At = Offset(Row, Col);
      if (LoadItem(At) == OldValue) StoreItem(At, NewValue);
    }
}

void TadTerminalArray::ScrollRows(int Count, int FirstRow, int LastRow) {
  if (Count == 0 || Data.empty()) return;
  if (FirstRow > LastRow) std::swap(FirstRow, LastRow);
  FirstRow = std::max(FirstRow, 0);
  LastRow = std::min(LastRow, RowCount - 1);
  if (FirstRow > LastRow) return;
  const int Span = LastRow - FirstRow + 1;
  auto First = RowSlots.begin() + FirstRow;
  auto Last = RowSlots.begin() + LastRow + 1;
  // Counts are never below -INT_MAX: callers pass negated non-negative counts.
  const int Moved = std::min(Count > 0 ? Count : -Count, Span);
  if (Moved < Span) {
    // The rows that leave the range come back at its other end, to be cleared.
    if (Count > 0)
      std::rotate(First, First + Moved, Last);
    else
      std::rotate(First, Last - Moved, Last);
  }
  const int ClearFrom = Count > 0 ? LastRow - Moved + 1 : FirstRow;
  for (int Row = ClearFrom; Row < ClearFrom + Moved; ++Row) FillItems(Offset(Row, 0), ColCount);
}

// ---------------------------------------------------------------- TAdTerminalBuffer

namespace {

// A plane index from a user coordinate of any size, kept inside 0..Count - 1.
int ClampedPlaneIndex(int64_t Index, int Count) {
  return static_cast<int>(std::clamp<int64_t>(Index, 0, Count - 1));
}

}  // namespace

TAdTerminalBuffer::TAdTerminalBuffer(bool Wide)
    : UseWideChars(Wide), CharMatrix(Wide ? 2 : 1), CharSetMatrix(1), AttrMatrix(1), ForeColorMatrix(4), BackColorMatrix(4) {
  CharMatrix.SetDefaultItem(Wide ? DefWideChar : DefChar);
  CharSetMatrix.SetDefaultItem(DefCharSet);
  AttrMatrix.SetDefaultItem(DefAttrs);
  ForeColorMatrix.SetDefaultItem(DefForeColor);
  BackColorMatrix.SetDefaultItem(DefBackColor);
  ForEachPlane([](TadTerminalArray& Plane) {
    Plane.SetRowCount(200);
    Plane.SetColCount(80);
  });
  SVRowCount = 200;
  ColCount = 80;
  RowCount = 24;
  HorzTabStops.assign(static_cast<std::size_t>(ColCount), false);
  VertTabStops.assign(static_cast<std::size_t>(SVRowCount), false);
  ResetTabStops();
  CursorRow = ScreenTop();
  CursorCol = 0;
  WindowLeft = 0;
  WindowTop = ScreenTop();
  WindowWidth = ColCount;
  WindowHeight = RowCount;
  CursorMoved = true;
  AddRect(0, ScreenTop(), ColCount - 1, SVRowCount - 1);
  NotifyCursorMoved();
}

template <typename TFunction>
void TAdTerminalBuffer::ForEachPlane(TFunction&& Function) {
  Function(CharMatrix);
  Function(CharSetMatrix);
  Function(AttrMatrix);
  Function(ForeColorMatrix);
  Function(BackColorMatrix);
}

void TAdTerminalBuffer::ResetTabStops() {
  std::fill(HorzTabStops.begin(), HorzTabStops.end(), false);
  std::fill(VertTabStops.begin(), VertTabStops.end(), false);
  for (std::size_t Col = 0; Col < HorzTabStops.size(); Col += 8) HorzTabStops[Col] = true;
}

void TAdTerminalBuffer::AddRect(int FirstCol, int FirstRow, int LastCol, int LastRow) {
  const TAdScreenRect Rect{FirstCol + 1, FirstRow - ScreenTop() + 1, LastCol + 1, LastRow - ScreenTop() + 1};
  if (!RectPending) {
    PendingRect = Rect;
    RectPending = true;
    if (OnDisplayChanged) OnDisplayChanged(*this);
    return;
  }
  PendingRect.Left = std::min(PendingRect.Left, Rect.Left);
  PendingRect.Top = std::min(PendingRect.Top, Rect.Top);
  PendingRect.Right = std::max(PendingRect.Right, Rect.Right);
  PendingRect.Bottom = std::max(PendingRect.Bottom, Rect.Bottom);
}

void TAdTerminalBuffer::NotifyCursorMoved() {
  if (OnCursorMoved && CursorMoved) OnCursorMoved(*this, GetCursorRow(), GetCursorCol());
}

void TAdTerminalBuffer::ScrollRows(int Count, int FirstRow, int LastRow) {
  ForEachPlane([&](TadTerminalArray& Plane) { Plane.ScrollRows(Count, FirstRow, LastRow); });
  if (FirstRow > LastRow) std::swap(FirstRow, LastRow);
  if (OnScrollRows) OnScrollRows(*this, Count, FirstRow - ScreenTop() + 1, LastRow - ScreenTop() + 1);
}

void TAdTerminalBuffer::tbSetColCount(int Value) {
  if (Value == ColCount) return;
  if (Value < 2) throw EEmulatorError("TAdTerminalBuffer.tbSetColCount: new count too small");
  HorzTabStops.resize(static_cast<std::size_t>(Value), false);
  if (CharMatrix.GetRowCount() > 0) {
    ForEachPlane([&](TadTerminalArray& Plane) { Plane.SetColCount(Value); });
    ColCount = Value;
    AddRect(0, ScreenTop(), ColCount - 1, SVRowCount - 1);
    if (!UseScrollRegion) {
      CursorRow = ScreenTop();
      CursorCol = 0;
      WindowWidth = Value;
      CursorMoved = true;
      NotifyCursorMoved();
    } else {
      SetUseScrollRegion(false);
    }
  } else {
    ColCount = Value;
    WindowWidth = Value;
  }
  CursorCol = std::min(CursorCol, ColCount - 1);
}

void TAdTerminalBuffer::tbSetRowCount(int Value) {
  if (Value == RowCount || Value > SVRowCount) return;
  if (Value < 2) throw EEmulatorError("TAdTerminalBuffer.tbSetRowCount: new count too small");
  if (UseScrollRegion) SetUseScrollRegion(false);
  WindowTop = SVRowCount - Value;
  if (CursorRow < WindowTop) CursorRow = WindowTop;
  RowCount = Value;
  WindowHeight = Value;
}

void TAdTerminalBuffer::tbSetSVRowCount(int Value) {
  if (Value == SVRowCount) return;
  if (Value < 2) throw EEmulatorError("TAdTerminalBuffer.tbSetSVRowCount: new count too small");
  if (UseScrollRegion) SetUseScrollRegion(false);
  if (Value < RowCount) {
    RowCount = Value;
    WindowHeight = Value;
  }
  const int OldSVRowCount = SVRowCount;
  WindowTop = Value - RowCount;
  CursorRow = std::max(CursorRow + Value - OldSVRowCount, 0);
  VertTabStops.resize(static_cast<std::size_t>(Value), false);
  if (CharMatrix.GetColCount() > 0) {
    ForEachPlane([&](TadTerminalArray& Plane) { Plane.SetRowCount(Value); });
    SVRowCount = Value;
    AddRect(0, ScreenTop(), ColCount - 1, SVRowCount - 1);
  } else {
    SVRowCount = Value;
  }
  CursorRow = std::clamp(CursorRow, 0, SVRowCount - 1);
}

void TAdTerminalBuffer::SetCursorCol(int Col) {
  WrapPending = false;
  if (Col == GetCursorCol()) return;
  CursorCol = ClampedPlaneIndex(static_cast<int64_t>(UseAbsAddress ? 0 : WindowLeft) + Col - 1, ColCount);
  CursorMoved = true;
  NotifyCursorMoved();
}

void TAdTerminalBuffer::SetCursorRow(int Row) {
  WrapPending = false;
  if (Row == GetCursorRow()) return;
  CursorRow = ClampedPlaneIndex(static_cast<int64_t>(UseAbsAddress ? ScreenTop() : WindowTop) + Row - 1, SVRowCount);
  CursorMoved = true;
  NotifyCursorMoved();
}

void TAdTerminalBuffer::SetCursorPosition(int Row, int Col) {
  SetCursorRow(Row);
  SetCursorCol(Col);
}

void TAdTerminalBuffer::MoveCursorUp(bool CanScroll) {
  WrapPending = false;
  if (CursorRow > WindowTop || (CursorRow < WindowTop && CursorRow > ScreenTop())) {
    // Inside the window, or above a scroll region (where no scrolling happens).
    --CursorRow;
    CursorMoved = true;
    NotifyCursorMoved();
  } else if (CursorRow == WindowTop && CanScroll) {
    ScrollRows(-1, WindowTop, WindowBottom());
    AddRect(0, WindowTop, ColCount - 1, WindowBottom());
  }
}

void TAdTerminalBuffer::MoveCursorDown(bool CanScroll) {
  WrapPending = false;
  if (CursorRow < WindowBottom() || (CursorRow > WindowBottom() && CursorRow < SVRowCount - 1)) {
    // Inside the window, or below a scroll region (where no scrolling happens).
    ++CursorRow;
    CursorMoved = true;
    NotifyCursorMoved();
  } else if (CursorRow == WindowBottom() && CanScroll) {
    ScrollRows(1, UseScrollRegion ? WindowTop : 0, WindowBottom());
    AddRect(0, WindowTop, ColCount - 1, WindowBottom());
  }
}

void TAdTerminalBuffer::MoveCursorLeft(bool Wrap, bool CanScroll) {
  WrapPending = false;
  if (CursorCol > WindowLeft) {
    --CursorCol;
  } else if (!Wrap) {
    return;
  } else if (CursorRow > WindowTop) {
    --CursorRow;
    CursorCol = WindowRight();
  } else if (CanScroll) {
    ScrollRows(-1, WindowTop, WindowBottom());
    AddRect(0, WindowTop, ColCount - 1, WindowBottom());
    CursorCol = WindowRight();
  } else {
    return;
  }
  CursorMoved = true;
  NotifyCursorMoved();
}

void TAdTerminalBuffer::MoveCursorRight(bool Wrap, bool CanScroll) {
  WrapPending = false;
  if (CursorCol < WindowRight()) {
    ++CursorCol;
  } else if (!Wrap) {
    return;
  } else if (CursorRow != WindowBottom() && CursorRow < SVRowCount - 1) {
    ++CursorRow;
    CursorCol = WindowLeft;
  } else if (CursorRow == WindowBottom() && CanScroll) {
    ScrollRows(1, UseScrollRegion ? WindowTop : 0, WindowBottom());
    AddRect(0, WindowTop, ColCount - 1, WindowBottom());
    CursorCol = WindowLeft;
  } else {
    return;
  }
  CursorMoved = true;
  NotifyCursorMoved();
}

void TAdTerminalBuffer::DoBackspace() {
  WrapPending = false;
  if (CursorCol > WindowLeft) {
    --CursorCol;
    CursorMoved = true;
    NotifyCursorMoved();
  }
}

void TAdTerminalBuffer::DoCarriageReturn() {
  WrapPending = false;
  if (CursorCol != WindowLeft) {
    CursorCol = WindowLeft;
    CursorMoved = true;
    NotifyCursorMoved();
  }
}

void TAdTerminalBuffer::DoLineFeed() {
  WrapPending = false;
  if (UseNewLineMode) DoCarriageReturn();
  MoveCursorDown(true);
}

void TAdTerminalBuffer::DoHorzTab() {
  WrapPending = false;
  int NewCol = WindowRight();
  for (int Col = CursorCol + 1; Col <= WindowRight(); ++Col)
    if (Col < static_cast<int>(HorzTabStops.size()) && HorzTabStops[static_cast<std::size_t>(Col)]) {
      NewCol = Col;
      break;
    }
  if (NewCol != CursorCol) {
    CursorCol = NewCol;
    CursorMoved = true;
    NotifyCursorMoved();
  }
}

void TAdTerminalBuffer::DoBackHorzTab() {
  int NewCol = WindowLeft;
  for (int Col = CursorCol - 1; Col >= WindowLeft; --Col)
    if (Col < static_cast<int>(HorzTabStops.size()) && HorzTabStops[static_cast<std::size_t>(Col)]) {
      NewCol = Col;
      break;
    }
  if (NewCol != CursorCol) {
    CursorCol = NewCol;
    CursorMoved = true;
    NotifyCursorMoved();
  }
}

void TAdTerminalBuffer::DoVertTab() {
  WrapPending = false;
  int NewRow = WindowBottom();
  for (int Row = CursorRow + 1; Row <= WindowBottom(); ++Row)
    if (Row >= 0 && Row < static_cast<int>(VertTabStops.size()) && VertTabStops[static_cast<std::size_t>(Row)]) {
      NewRow = Row;
      break;
    }
  if (NewRow != CursorRow) {
    CursorRow = NewRow;
    CursorMoved = true;
    NotifyCursorMoved();
  }
}

void TAdTerminalBuffer::DoBackVertTab() {
  WrapPending = false;
  int NewRow = WindowTop;
  for (int Row = CursorRow - 1; Row >= WindowTop; --Row)
    if (Row >= 0 && Row < static_cast<int>(VertTabStops.size()) && VertTabStops[static_cast<std::size_t>(Row)]) {
      NewRow = Row;
      break;
    }
  if (NewRow != CursorRow) {
    CursorRow = NewRow;
    CursorMoved = true;
    NotifyCursorMoved();
  }
}

void TAdTerminalBuffer::SetHorzTabStop() {
  if (CursorCol >= 0 && CursorCol < static_cast<int>(HorzTabStops.size())) HorzTabStops[static_cast<std::size_t>(CursorCol)] = true;
}

void TAdTerminalBuffer::ClearHorzTabStop() {
  if (CursorCol >= 0 && CursorCol < static_cast<int>(HorzTabStops.size())) HorzTabStops[static_cast<std::size_t>(CursorCol)] = false;
}

void TAdTerminalBuffer::SetVertTabStop() {
  if (CursorRow >= 0 && CursorRow < static_cast<int>(VertTabStops.size())) VertTabStops[static_cast<std::size_t>(CursorRow)] = true;
}

void TAdTerminalBuffer::ClearVertTabStop() {
  if (CursorRow >= 0 && CursorRow < static_cast<int>(VertTabStops.size())) VertTabStops[static_cast<std::size_t>(CursorRow)] = false;
}

void TAdTerminalBuffer::ClearAllHorzTabStops() { std::fill(HorzTabStops.begin(), HorzTabStops.end(), false); }

void TAdTerminalBuffer::ClearAllVertTabStops() { std::fill(VertTabStops.begin(), VertTabStops.end(), false); }

bool TAdTerminalBuffer::HasHorzTabStop(int UserCol) const {
  const int Col = UserCol - 1;
  return Col >= 0 && Col < static_cast<int>(HorzTabStops.size()) && HorzTabStops[static_cast<std::size_t>(Col)];
}

void TAdTerminalBuffer::WriteChar(uint16_t C) {
  if (WrapPending) {
    MoveCursorRight(UseAutoWrap, true);
    WrapPending = false;
  }
  if (UseInsertMode) ForEachPlane([&](TadTerminalArray& Plane) { Plane.InsertItems(1, CursorRow, CursorCol); });
  // The cursor always lies inside the planes (every move clamps it).
  CharMatrix.StoreInside(CursorRow, CursorCol, UseWideChars ? C : static_cast<uint8_t>(C));
  CharSetMatrix.StoreInside(CursorRow, CursorCol, CurrentCharSet);
  AttrMatrix.StoreInside(CursorRow, CursorCol, CurrentAttrs);
  ForeColorMatrix.StoreInside(CursorRow, CursorCol, CurrentForeColor);
  BackColorMatrix.StoreInside(CursorRow, CursorCol, CurrentBackColor);
  if (UseInsertMode)
    AddRect(CursorCol, CursorRow, ColCount - 1, CursorRow);
  else
    AddRect(CursorCol, CursorRow, CursorCol, CursorRow);
  if (UseAutoWrapDelay && CursorCol == WindowRight()) {
    WrapPending = true;
    return;
  }
  MoveCursorRight(UseAutoWrap, true);
}

void TAdTerminalBuffer::WriteChars(const uint8_t* Chars, std::size_t Count) {
  while (Count > 0) {
    if (WrapPending || UseInsertMode) {
      WriteChar(*Chars++);
      --Count;
      continue;
    }
    const int Right = WindowRight();
    const int Room = Right - CursorCol + 1;
    if (Room <= 1) {
      WriteChar(*Chars++);
      --Count;
      continue;
    }
    // All but the last cell of the stretch behave alike: store, then one step right.
    const int Stretch = static_cast<int>(std::min<std::size_t>(Count, static_cast<std::size_t>(Room))) - 1;
    if (Stretch > 0) {
      CharMatrix.FillInside(CursorRow, CursorCol, Stretch, 0, Chars);
      CharSetMatrix.FillInside(CursorRow, CursorCol, Stretch, CurrentCharSet);
      AttrMatrix.FillInside(CursorRow, CursorCol, Stretch, CurrentAttrs);
      ForeColorMatrix.FillInside(CursorRow, CursorCol, Stretch, CurrentForeColor);
      BackColorMatrix.FillInside(CursorRow, CursorCol, Stretch, CurrentBackColor);
      AddRect(CursorCol, CursorRow, CursorCol + Stretch - 1, CursorRow);
      CursorCol += Stretch;
      CursorMoved = true;
      NotifyCursorMoved();
      Chars += Stretch;
      Count -= static_cast<std::size_t>(Stretch);
    }
    // The stretch's last character may reach the edge and wrap: the ordinary way.
    WriteChar(*Chars++);
    --Count;
  }
}

void TAdTerminalBuffer::WriteString(const std::string& S) {
  for (char C : S) WriteChar(static_cast<uint8_t>(C));
}

void TAdTerminalBuffer::EraseAll() {
  WrapPending = false;
  ForEachPlane([](TadTerminalArray& Plane) { Plane.Clear(); });
  SetCursorPosition(1, 1);
  AddRect(0, CursorRow, ColCount - 1, SVRowCount - 1);
}

void TAdTerminalBuffer::EraseScreen() {
  WrapPending = false;
  ScrollRows(RowCount, 0, SVRowCount - 1);
  AddRect(0, ScreenTop(), ColCount - 1, SVRowCount - 1);
}

void TAdTerminalBuffer::EraseToEOW() {
  WrapPending = false;
  ForEachPlane([&](TadTerminalArray& Plane) { Plane.ClearItems(CursorRow, CursorCol, ColCount - 1); });
  AddRect(CursorCol, CursorRow, ColCount - 1, CursorRow);
  const int Below = SVRowCount - 1 - CursorRow;
  if (Below > 0) {
    ScrollRows(Below, CursorRow + 1, SVRowCount - 1);
    AddRect(0, CursorRow + 1, ColCount - 1, SVRowCount - 1);
  }
}

void TAdTerminalBuffer::EraseFromBOW() {
  WrapPending = false;
  ForEachPlane([&](TadTerminalArray& Plane) { Plane.ClearItems(CursorRow, 0, CursorCol); });
  AddRect(0, CursorRow, CursorCol, CursorRow);
  const int Above = CursorRow - ScreenTop();
  if (Above > 0) {
    ScrollRows(Above, ScreenTop(), CursorRow - 1);
    AddRect(0, ScreenTop(), ColCount - 1, CursorRow - 1);
  }
}

void TAdTerminalBuffer::EraseToEOL() {
  WrapPending = false;
  ForEachPlane([&](TadTerminalArray& Plane) { Plane.ClearItems(CursorRow, CursorCol, WindowRight()); });
  AddRect(CursorCol, CursorRow, WindowRight(), CursorRow);
}

void TAdTerminalBuffer::EraseFromBOL() {
  WrapPending = false;
  ForEachPlane([&](TadTerminalArray& Plane) { Plane.ClearItems(CursorRow, WindowLeft, CursorCol); });
  AddRect(WindowLeft, CursorRow, CursorCol, CursorRow);
}

void TAdTerminalBuffer::EraseLine() {
  WrapPending = false;
  ForEachPlane([&](TadTerminalArray& Plane) { Plane.ClearItems(CursorRow, WindowLeft, WindowRight()); });
  AddRect(WindowLeft, CursorRow, WindowRight(), CursorRow);
}

void TAdTerminalBuffer::EraseChars(int Count) {
  WrapPending = false;
  int Row = CursorRow;
  int Col = CursorCol;
  while (Count > 0 && Row < SVRowCount) {
    const int Last = std::min(WindowRight(), Col + Count - 1);
    ForEachPlane([&](TadTerminalArray& Plane) { Plane.ClearItems(Row, Col, Last); });
    AddRect(Col, Row, Last, Row);
    Count -= Last - Col + 1;
    ++Row;
    Col = WindowLeft;
    if (Row > WindowBottom()) break;
  }
}

void TAdTerminalBuffer::DeleteChars(int Count) {
  WrapPending = false;
  Count = std::min(Count, WindowLeft + WindowWidth - CursorCol);
  if (Count <= 0) return;
  ForEachPlane([&](TadTerminalArray& Plane) { Plane.DeleteItems(Count, CursorRow, CursorCol); });
  AddRect(CursorCol, CursorRow, WindowRight(), CursorRow);
}

void TAdTerminalBuffer::InsertChars(int Count) {
  WrapPending = false;
  Count = std::min(Count, WindowLeft + WindowWidth - CursorCol);
  if (Count <= 0) return;
  ForEachPlane([&](TadTerminalArray& Plane) { Plane.InsertItems(Count, CursorRow, CursorCol); });
  AddRect(CursorCol, CursorRow, WindowRight(), CursorRow);
}

void TAdTerminalBuffer::DeleteLines(int Count) {
  WrapPending = false;
  // Lines outside the scroll region are not moved (a cursor below the region would
  // otherwise scroll the rows between the region and the cursor).
  if (Count <= 0 || CursorRow < WindowTop || CursorRow > WindowBottom()) return;
  Count = std::min(Count, WindowBottom() - CursorRow + 1);
  ScrollRows(Count, CursorRow, WindowBottom());
  AddRect(0, CursorRow, ColCount - 1, WindowBottom());
}

void TAdTerminalBuffer::InsertLines(int Count) {
  WrapPending = false;
  if (Count <= 0 || CursorRow < WindowTop || CursorRow > WindowBottom()) return;
  Count = std::min(Count, WindowBottom() - CursorRow + 1);
  ScrollRows(-Count, CursorRow, WindowBottom());
  AddRect(0, CursorRow, ColCount - 1, WindowBottom());
}

void TAdTerminalBuffer::SetScrollRegion(int Top, int Bottom) {
  WrapPending = false;
  if (Top > Bottom) std::swap(Top, Bottom);
  // Clamp first, so that a region reaching past the screen cannot shrink to one row.
  Top = std::clamp(Top, 1, RowCount);
  Bottom = std::clamp(Bottom, 1, RowCount);
  if (Bottom - Top < 1) return;
  ScrollRegionTop = Top - 1 + ScreenTop();
  ScrollRegionBottom = Bottom - 1 + ScreenTop();
  if (UseScrollRegion) SetUseScrollRegion(false);
  if (Top == 1 && Bottom == RowCount) return;
  SetUseScrollRegion(true);
}

void TAdTerminalBuffer::SetUseScrollRegion(bool Value) {
  if (Value == UseScrollRegion) return;
  WindowLeft = 0;
  WindowWidth = ColCount;
  if (Value) {
    WindowTop = ScrollRegionTop;
    WindowHeight = ScrollRegionBottom - ScrollRegionTop + 1;
  } else {
    WindowTop = ScreenTop();
    WindowHeight = RowCount;
  }
  UseScrollRegion = Value;
  CursorMoved = true;
  CursorRow = WindowTop;
  CursorCol = WindowLeft;
  NotifyCursorMoved();
}

void TAdTerminalBuffer::SetCharAttrs(uint8_t Value) {
  CurrentAttrs = Value;
  AttrMatrix.SetDefaultItem(Value);
}

void TAdTerminalBuffer::SetForeColor(TAdColor Value) {
  if (Value == CurrentForeColor) return;
  CurrentForeColor = Value;
  ForeColorMatrix.SetDefaultItem(Value);
}

void TAdTerminalBuffer::SetBackColor(TAdColor Value) {
  if (Value == CurrentBackColor) return;
  CurrentBackColor = Value;
  BackColorMatrix.SetDefaultItem(Value);
}

void TAdTerminalBuffer::SetCharSet(uint8_t Value) {
  if (Value == CurrentCharSet) return;
  CurrentCharSet = Value;
  CharSetMatrix.SetDefaultItem(Value);
}

void TAdTerminalBuffer::SetDefChar(uint8_t Value) {
  if (Value == DefChar) return;
  DefChar = Value;
  CharMatrix.SetDefaultItem(Value);
}

void TAdTerminalBuffer::SetDefForeColor(TAdColor Value) {
  if (Value == DefForeColor) return;
  ForeColorMatrix.ReplaceItems(DefForeColor, Value);
  DefForeColor = Value;
}

void TAdTerminalBuffer::SetDefBackColor(TAdColor Value) {
  if (Value == DefBackColor) return;
  BackColorMatrix.ReplaceItems(DefBackColor, Value);
  DefBackColor = Value;
}

void TAdTerminalBuffer::Reset() {
  CurrentAttrs = DefAttrs;
  CurrentForeColor = DefForeColor;
  CurrentBackColor = DefBackColor;
  CurrentCharSet = DefCharSet;
  CharMatrix.SetDefaultItem(UseWideChars ? DefWideChar : DefChar);
  CharSetMatrix.SetDefaultItem(DefCharSet);
  AttrMatrix.SetDefaultItem(DefAttrs);
  ForeColorMatrix.SetDefaultItem(DefForeColor);
  BackColorMatrix.SetDefaultItem(DefBackColor);
  ForEachPlane([](TadTerminalArray& Plane) { Plane.Clear(); });
  ResetTabStops();
  UseAbsAddress = true;
  UseAutoWrap = true;
  UseAutoWrapDelay = true;
  UseInsertMode = false;
  UseNewLineMode = false;
  SetUseScrollRegion(false);
  WrapPending = false;
  SetCursorPosition(1, 1);
  AddRect(0, ScreenTop(), ColCount - 1, SVRowCount - 1);
}

void TAdTerminalBuffer::InvalidateScreenRows(int First, int Last) {
  First = std::max(First, 1 - ScreenTop());
  Last = std::min(Last, RowCount);
  if (First > Last) return;
  AddRect(0, UserToRow(First, true), ColCount - 1, UserToRow(Last, true));
}

bool TAdTerminalBuffer::GetCursorMoved() {
  const bool Result = CursorMoved;
  CursorMoved = false;
  return Result;
}

bool TAdTerminalBuffer::GetInvalidRect(TAdScreenRect& Rect) {
  if (!RectPending) return false;
  Rect = PendingRect;
  RectPending = false;
  return true;
}

const TadTerminalArray& TAdTerminalBuffer::PlaneAt(int Index) const {
  switch (Index) {
    case 0:
      return CharMatrix;
    case 1:
      return CharSetMatrix;
    case 2:
      return AttrMatrix;
    case 3:
      return ForeColorMatrix;
    default:
      return BackColorMatrix;
  }
}

const uint8_t* TAdTerminalBuffer::GetLineCharPtr(int Row) const {
  return static_cast<const uint8_t*>(CharMatrix.GetItemPtr(PlaneRowOfScreenRow(Row), WindowLeft));
}
const uint8_t* TAdTerminalBuffer::GetLineCharSetPtr(int Row) const {
  return static_cast<const uint8_t*>(CharSetMatrix.GetItemPtr(PlaneRowOfScreenRow(Row), WindowLeft));
}
const uint8_t* TAdTerminalBuffer::GetLineAttrPtr(int Row) const {
  return static_cast<const uint8_t*>(AttrMatrix.GetItemPtr(PlaneRowOfScreenRow(Row), WindowLeft));
}
const TAdColor* TAdTerminalBuffer::GetLineForeColorPtr(int Row) const {
  return static_cast<const TAdColor*>(ForeColorMatrix.GetItemPtr(PlaneRowOfScreenRow(Row), WindowLeft));
}
const TAdColor* TAdTerminalBuffer::GetLineBackColorPtr(int Row) const {
  return static_cast<const TAdColor*>(BackColorMatrix.GetItemPtr(PlaneRowOfScreenRow(Row), WindowLeft));
}

uint16_t TAdTerminalBuffer::GetCharAt(int Row, int Col) const {
  return static_cast<uint16_t>(PlaneAt(0).GetItem(PlaneRowOfScreenRow(Row), Col - 1));
}
uint8_t TAdTerminalBuffer::GetCharSetAt(int Row, int Col) const {
  return static_cast<uint8_t>(PlaneAt(1).GetItem(PlaneRowOfScreenRow(Row), Col - 1));
}
uint8_t TAdTerminalBuffer::GetAttrAt(int Row, int Col) const {
  return static_cast<uint8_t>(PlaneAt(2).GetItem(PlaneRowOfScreenRow(Row), Col - 1));
}
TAdColor TAdTerminalBuffer::GetForeColorAt(int Row, int Col) const { return PlaneAt(3).GetItem(PlaneRowOfScreenRow(Row), Col - 1); }
TAdColor TAdTerminalBuffer::GetBackColorAt(int Row, int Col) const { return PlaneAt(4).GetItem(PlaneRowOfScreenRow(Row), Col - 1); }

std::string TAdTerminalBuffer::GetLineText(int Row) const {
  std::string Text;
  const int PlaneRow = PlaneRowOfScreenRow(Row);
  if (PlaneRow < 0 || PlaneRow >= SVRowCount) return Text;
  Text.reserve(static_cast<std::size_t>(ColCount));
  for (int Col = 0; Col < ColCount; ++Col) Text.push_back(static_cast<char>(CharMatrix.GetItem(PlaneRow, Col)));
  return Text;
}
