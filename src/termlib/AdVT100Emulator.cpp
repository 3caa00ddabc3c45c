#include "AdVT100Emulator.h"

#include <algorithm>
#include <cstdio>

#include "AdTerminalPainter.h"

namespace {

// SGR colours 30..37 and 40..47.
constexpr TAdColor SgrColors[8] = {0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080, 0x808000, 0xC0C0C0};

// Bytes 176..218 drawn as line-drawing characters when the upper half is not shown as is.
constexpr char HighCharLineDraw[] = "aaaxuuukkuxkjjjkmvwtqnttmlvwtqnvvwwmmllnnjl";

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  return -1;
}

}  // namespace

// ---------------------------------------------------------------- TAdLineAttrArray

void TAdLineAttrArray::Follow(const TAdTerminalBuffer& Buffer) {
  const std::size_t Wanted = static_cast<std::size_t>(Buffer.GetSVRowCount());
  if (Attrs.size() == Wanted) return;
  std::vector<uint8_t> Resized(Wanted, laNormal);
  const std::size_t Kept = std::min(Wanted, Attrs.size());
  std::copy(Attrs.end() - static_cast<std::ptrdiff_t>(Kept), Attrs.end(), Resized.end() - static_cast<std::ptrdiff_t>(Kept));
  Attrs.swap(Resized);
}

TAdLineAttr TAdLineAttrArray::Get(const TAdTerminalBuffer& Buffer, int ScreenRow) {
  Follow(Buffer);
  const int Index = IndexOf(Buffer, ScreenRow);
  if (Index < 0 || Index >= static_cast<int>(Attrs.size())) return laNormal;
  return static_cast<TAdLineAttr>(Attrs[static_cast<std::size_t>(Index)]);
}

void TAdLineAttrArray::Set(const TAdTerminalBuffer& Buffer, int ScreenRow, TAdLineAttr Value) {
  Follow(Buffer);
  const int Index = IndexOf(Buffer, ScreenRow);
  if (Index < 0 || Index >= static_cast<int>(Attrs.size())) return;
  Attrs[static_cast<std::size_t>(Index)] = Value;
}

void TAdLineAttrArray::Scroll(const TAdTerminalBuffer& Buffer, int Count, int FirstRow, int LastRow) {
  Follow(Buffer);
  if (Count == 0 || Attrs.empty()) return;
  const int First = std::max(IndexOf(Buffer, std::min(FirstRow, LastRow)), 0);
  const int Last = std::min(IndexOf(Buffer, std::max(FirstRow, LastRow)), static_cast<int>(Attrs.size()) - 1);
  if (First > Last) return;
  const int Span = Last - First + 1;
  auto Begin = Attrs.begin() + First;
  auto End = Attrs.begin() + Last + 1;
  if (Count >= Span || -Count >= Span) {
    std::fill(Begin, End, laNormal);
  } else if (Count > 0) {
    std::copy(Begin + Count, End, Begin);
    std::fill(End - Count, End, laNormal);
  } else {
    std::copy_backward(Begin, End + Count, End);
    std::fill(Begin, Begin - Count, laNormal);
  }
}

void TAdLineAttrArray::Clear() { std::fill(Attrs.begin(), Attrs.end(), laNormal); }

// ---------------------------------------------------------------- TAdVT100Emulator

TAdVT100Emulator::TAdVT100Emulator() {
  Buffer = std::make_unique<TAdTerminalBuffer>(false);
  auto NewParser = std::make_unique<TAdVT100Parser>();
  VT100Parser = NewParser.get();
  Parser = std::move(NewParser);
  KeyboardMapping = std::make_unique<TAdKeyboardMapping>();
  CharSetMapping = std::make_unique<TAdCharSetMapping>();
  LineAttrs.Follow(*Buffer);
  Buffer->OnScrollRows = [this](TAdTerminalBuffer& Sender, int Count, int FirstRow, int LastRow) {
    LineAttrs.Scroll(Sender, Count, FirstRow, LastRow);
  };
  KeyboardMapping->LoadFromStream("ADVT100KeyMap");
  CharSetMapping->LoadFromStream("ADVT100CharSet");
  InstallBufferHooks();
}

bool TAdVT100Emulator::NeedsUpdate() {
  if (Buffer->HasDisplayChanges() || FullRedrawPending) return true;
  return Buffer->GetCursorMoved();
}

void TAdVT100Emulator::ClearScreen() { Buffer->EraseScreen(); }

void TAdVT100Emulator::ClearAll() { Buffer->EraseAll(); }

void TAdVT100Emulator::SetAnsiMode(bool Value) {
  AnsiMode = Value;
  VT100Parser->SetInVT52Mode(!Value);
}

void TAdVT100Emulator::Set132ColumnMode(bool Value) {
  if (Value == Col132Mode) return;
  Col132Mode = Value;
  const int Columns = Value ? 132 : 80;
  Buffer->tbSetColCount(Columns);
  if (Terminal != nullptr) Terminal->ColumnsChanged(Columns);
}

void TAdVT100Emulator::SetOriginMode(bool Value) {
  if (Value == OriginMode) return;
  OriginMode = Value;
  Buffer->SetUseAbsAddress(!Value);
  // The cursor goes home: the region's top-left in origin mode, the screen's otherwise.
  Buffer->SetCursorPosition(1, 1);
}

void TAdVT100Emulator::SetReverseVideo(bool Value) {
  if (Value == ReverseVideo) return;
  ReverseVideo = Value;
  FullRedrawPending = true;
}

void TAdVT100Emulator::ProcessBlock(const uint8_t* Data, std::size_t Count, TAdCharSource Source) {
  if (OnProcessChar) {
    BlinkAttrSeen = true;  // the handler's commands may set any attribute
    for (std::size_t I = 0; I < Count; ++I) {
      std::string Replacement(1, static_cast<char>(Data[I]));
      CommandList.Clear();
      OnProcessChar(*this, Data[I], Replacement, CommandList, Source);
      ExecuteCommandList();
      for (char C : Replacement) FeedCharacter(static_cast<uint8_t>(C));
    }
  } else {
    std::size_t I = 0;
    while (I < Count) {
      // Runs of printable bytes outside a sequence go to the buffer in one piece.
      if (Data[I] >= 32 && Data[I] < 127 && VT100Parser->InGroundState()) {
        std::size_t End = I + 1;
        while (End < Count && Data[End] >= 32 && Data[End] < 127) ++End;
        Buffer->WriteChars(Data + I, End - I);
        VT100Parser->AcceptCharacters(Data[End - 1]);
        I = End;
        continue;
      }
      FeedCharacter(Data[I++]);
    }
  }
  if (Buffer->HasDisplayChanges() && (BlinkAttrSeen || !BlinkList.empty())) RebuildBlinkList();
}

void TAdVT100Emulator::FeedCharacter(uint8_t C) {
  switch (VT100Parser->ProcessChar(C)) {
    case pctChar:
      Buffer->WriteChar(C);
      break;
    case pctHighChar:
      if (DisplayUpperASCII)
        Buffer->WriteChar(C);
      else
        WriteHighCharacter(C);
      break;
    case pctComplete:
      ExecuteVT100Command();
      break;
    default:
      break;
  }
}

void TAdVT100Emulator::WriteHighCharacter(uint8_t C) {
  if (C < 176 || C > 218) return;  // no line-drawing equivalent: dropped
  const uint8_t CharSet = Buffer->GetCharSet();
  Buffer->SetCharSet(vcsLineDraw);
  Buffer->WriteChar(static_cast<uint8_t>(HighCharLineDraw[C - 176]));
  Buffer->SetCharSet(CharSet);
}

int32_t TAdVT100Emulator::Count(int Index, int32_t Limit) const {
  const int32_t Value = Argument(Index);
  if (Value <= 0) return 1;
  return std::min(Value, std::max(Limit, 1));
}

void TAdVT100Emulator::RebuildBlinkList() {
  BlinkList.clear();
  BlinkAttrSeen = (Buffer->GetCharAttrs() & tcaBlink) != 0;
  const int OriginRow = Terminal != nullptr ? Terminal->GetViewGeometry().OriginRow : 1;
  for (int Row = OriginRow; Row < OriginRow + Buffer->GetRowCount(); ++Row) {
    const uint8_t* Attrs = Buffer->GetLineAttrPtr(Row);
    if (Attrs == nullptr) continue;
    int Col = 0;
    while (Col < Buffer->GetColCount()) {
      if ((Attrs[Col] & tcaBlink) == 0) {
        ++Col;
        continue;
      }
      int Last = Col;
      while (Last + 1 < Buffer->GetColCount() && (Attrs[Last + 1] & tcaBlink) != 0) ++Last;
      BlinkList.push_back({Row, Col + 1, Last + 1});
      Col = Last + 1;
    }
  }
}

void TAdVT100Emulator::SetMode(bool On) {
  const int Args = VT100Parser->GetArgCount();
  if (Args == 1) {
    switch (Argument(0)) {
      case 4:
        InsertMode = On;
        Buffer->SetUseInsertMode(On);
        break;
      case 20:
        NewLineMode = On;
        Buffer->SetUseNewLineMode(On);
        break;
      default:
        break;
    }
    return;
  }
  if (Args != 2 || Argument(0) != -2) return;
  switch (Argument(1)) {
    case 1:
      AppCursorKeys = On;
      break;
    case 2:
      SetAnsiMode(On);
      break;
    case 3:
      Set132ColumnMode(On);
      break;
    case 4:
      SmoothScroll = On;
      break;
    case 5:
      SetReverseVideo(On);
      break;
    case 6:
      SetOriginMode(On);
      break;
    case 7:
      AutoWrap = On;
      Buffer->SetUseAutoWrap(On);
      break;
    case 8:
      AutoRepeat = On;
      break;
    case 9:
      Interlace = On;
      break;
    case 999:
      AppKeypad = On;
      break;
    default:
      break;
  }
}

void TAdVT100Emulator::SelectGraphicRendition() {
  for (int I = 0; I < VT100Parser->GetArgCount(); ++I) {
    const int32_t Value = Argument(I);
    const uint8_t Attrs = Buffer->GetCharAttrs();
    switch (Value) {
      case 0:
        Buffer->SetCharAttrs(0);
        Buffer->SetForeColor(Buffer->GetDefForeColor());
        Buffer->SetBackColor(Buffer->GetDefBackColor());
        break;
      case 1:
        Buffer->SetCharAttrs(Attrs | tcaBold);
        break;
      case 4:
        Buffer->SetCharAttrs(Attrs | tcaUnderline);
        break;
      case 5:
        Buffer->SetCharAttrs(Attrs | tcaBlink);
        BlinkAttrSeen = true;
        break;
      case 7:
        Buffer->SetCharAttrs(Attrs | tcaReverse);
        break;
      case 8:
        Buffer->SetCharAttrs(Attrs | tcaInvisible);
        break;
      case 22:
        Buffer->SetCharAttrs(Attrs & ~tcaBold);
        break;
      case 24:
        Buffer->SetCharAttrs(Attrs & ~tcaUnderline);
        break;
      case 25:
        Buffer->SetCharAttrs(Attrs & ~tcaBlink);
        break;
      case 27:
        Buffer->SetCharAttrs(Attrs & ~tcaReverse);
        break;
      case 28:
        Buffer->SetCharAttrs(Attrs & ~tcaInvisible);
        break;
      default:
        if (Value >= 30 && Value <= 37) Buffer->SetForeColor(SgrColors[Value - 30]);
        if (Value >= 40 && Value <= 47) Buffer->SetBackColor(SgrColors[Value - 40]);
        break;
    }
  }
}

void TAdVT100Emulator::SetLineAttr(TAdLineAttr Value) {
  // The row on the screen, also in origin mode where the buffer counts from the region.
  const int Row = Buffer->GetCursorScreenRow();
  LineAttrs.Set(*Buffer, Row, Value);
  Buffer->InvalidateScreenRows(Row, Row);
}

void TAdVT100Emulator::Reset() {
  Buffer->Reset();
  SetAnsiMode(true);
  AppCursorKeys = false;
  AppKeypad = false;
  AutoRepeat = true;
  Set132ColumnMode(false);
  InsertMode = false;
  Interlace = false;
  NewLineMode = false;
  OriginMode = false;
  SetReverseVideo(false);
  SmoothScroll = false;
  AutoWrap = true;
  G1Active = false;
  G0CharSet = vcsUSASCII;
  G1CharSet = vcsUSASCII;
  // Every row returns to single width and height.
  LineAttrs.Clear();
  Saved = TSavedCursor{};
  Saved.ForeColor = Buffer->GetDefForeColor();
  Saved.BackColor = Buffer->GetDefBackColor();
}

void TAdVT100Emulator::ExecuteVT100Command() {
  static const TAdEmuCommandParams NoParams;
  const int Args = VT100Parser->GetArgCount();
  TAdTerminalBuffer& B = *Buffer;
  switch (VT100Parser->GetCommand()) {
    case VT100::eCUP: {
      if (Args != 2) break;
      // 0 means 1; the position stays on the screen (on the region in origin mode).
      const int Rows = OriginMode ? B.GetWindowBottomScreenRow() - B.GetWindowTopScreenRow() + 1 : B.GetRowCount();
      const int Row = std::clamp<int32_t>(Argument(0), 1, Rows);
      const int Col = std::clamp<int32_t>(Argument(1), 1, B.GetColCount());
      B.SetCursorPosition(Row, Col);
      break;
    }
    case VT100::eCUU:
      if (Args == 1)
        for (int32_t N = Count(0, B.GetRowCount()); N > 0; --N) B.MoveCursorUp(false);
      break;
    case VT100::eCUD:
      if (Args == 1)
        for (int32_t N = Count(0, B.GetRowCount()); N > 0; --N) B.MoveCursorDown(false);
      break;
    case VT100::eCUF:
      if (Args == 1)
        for (int32_t N = Count(0, B.GetColCount()); N > 0; --N) B.MoveCursorRight(false, false);
      break;
    case VT100::eCUB:
      if (Args == 1)
        for (int32_t N = Count(0, B.GetColCount()); N > 0; --N) B.MoveCursorLeft(false, false);
      break;
    case VT100::eSM:
      SetMode(true);
      break;
    case VT100::eRM:
      SetMode(false);
      break;
    case VT100::eSGR:
      SelectGraphicRendition();
      break;
    case VT100::eSaveCursor:
      SaveCursor();
      break;
    case VT100::eRestoreCursor:
      RestoreCursor();
      if (B.GetCharAttrs() & tcaBlink) BlinkAttrSeen = true;
      break;
    case VT100::eDSR:
      if (Argument(0) == 5) SendReply("\x1B[0n");
      if (Argument(0) == 6)
        SendReply("\x1B[" + std::to_string(B.GetCursorRow()) + ";" + std::to_string(B.GetCursorCol()) + "R");
      break;
    case VT100::eHT:
      for (int32_t N = Count(0, B.GetColCount()); N > 0; --N) B.DoHorzTab();
      break;
    case VT100::eVT:
      for (int32_t N = Count(0, B.GetRowCount()); N > 0; --N) B.DoVertTab();
      break;
    case VT100::eDA:
      if (Argument(0) == 0) SendReply("\x1B[?1;0c");
      if (Argument(0) == 52) SendReply("\x1B/Z");
      break;
    case VT100::eDCH:
      if (Args >= 1) B.DeleteChars(Count(0, B.GetColCount()));
      break;
    case VT100::eDL:
      if (Args >= 1) B.DeleteLines(Count(0, B.GetRowCount()));
      break;
    case VT100::eECH:
      if (Args >= 1) B.EraseChars(Count(0, B.GetColCount() * B.GetRowCount()));
      break;
    case VT100::eICH:
      if (Args >= 1) B.InsertChars(Count(0, B.GetColCount()));
      break;
    case VT100::eIL:
      if (Args >= 1) B.InsertLines(Count(0, B.GetRowCount()));
      break;
    case VT100::eED:
      if (Args != 1) break;
      if (Argument(0) == 0) B.EraseToEOW();
      if (Argument(0) == 1) B.EraseFromBOW();
      if (Argument(0) == 2) B.EraseScreen();
      break;
    case VT100::eEL:
      if (Args != 1) break;
      if (Argument(0) == 0) B.EraseToEOL();
      if (Argument(0) == 1) B.EraseFromBOL();
      if (Argument(0) == 2) B.EraseLine();
      break;
    case VT100::eHTS:
      B.SetHorzTabStop();
      break;
    case VT100::eNEL:
      B.DoLineFeed();
      if (!NewLineMode) B.DoCarriageReturn();
      break;
    case VT100::eRI:
      B.MoveCursorUp(true);
      break;
    case VT100::eIND:
      B.MoveCursorDown(true);
      break;
    case VT100::eRIS:
      Reset();
      break;
    case VT100::eTBC:
      if (Argument(0) == 0) B.ClearHorzTabStop();
      if (Argument(0) == 3) B.ClearAllHorzTabStops();
      break;
    case VT100::eDECSTBM: {
      int32_t Top = Argument(0);
      int32_t Bottom = Args >= 2 ? Argument(1) : -1;
      if (Top <= 0) Top = 1;
      if (Bottom <= 0) Bottom = B.GetRowCount();
      B.SetScrollRegion(Top, Bottom);
      // The cursor goes home: the screen's top-left, or the region's in origin mode.
      B.SetCursorPosition(1, 1);
      break;
    }
    case VT100::eENQ:
      SendReply(Answerback);
      break;
    case VT100::eBEL:
      ExecuteCommand(ecBell, NoParams);
      break;
    case VT100::eBS:
      B.DoBackspace();
      break;
    case VT100::eLF:
      B.DoLineFeed();
      break;
    case VT100::eCR:
      B.DoCarriageReturn();
      break;
    case VT100::eSO:
      B.SetCharSet(AnsiMode ? G1CharSet : static_cast<uint8_t>(vcsLineDraw));
      G1Active = true;
      break;
    case VT100::eSI:
      B.SetCharSet(AnsiMode ? G0CharSet : static_cast<uint8_t>(vcsUSASCII));
      G1Active = false;
      break;
    case VT100::eDECALN:
      ExecuteCommand(ecDECALN, NoParams);
      break;
    case VT100::eDECDHL:
      if (Args == 1) SetLineAttr(Argument(0) == 0 ? laDoubleHeightTop : laDoubleHeightBottom);
      break;
    case VT100::eDECDWL:
      SetLineAttr(laDoubleWidth);
      break;
    case VT100::eDECSWL:
      SetLineAttr(laNormal);
      break;
    case VT100::eDECLL:
      for (int I = 0; I < Args; ++I) {
        const int32_t Value = Argument(I);
        if (Value == 0) LEDs = 0;
        if (Value >= 1 && Value <= 4) LEDs |= 1 << (Value - 1);
      }
      break;
    case VT100::eDECREQTPARM: {
      if (Terminal == nullptr || !Terminal->HasPort()) break;
      const TAdPortSettings Port = Terminal->GetPortSettings();
      const int32_t Solicited = std::clamp<int32_t>(Argument(0) < 0 ? 0 : Argument(0), 0, 1) + 2;
      const int Parity = Port.Parity == apOdd ? 4 : Port.Parity == apEven ? 5 : 1;
      const int Bits = Port.DataBits == 8 ? 1 : 2;
      int Speed = 120;
      switch (Port.BaudRate) {
        case 150: Speed = 32; break;
        case 300: Speed = 48; break;
        case 600: Speed = 56; break;
        case 1200: Speed = 64; break;
        case 2400: Speed = 88; break;
        case 4800: Speed = 104; break;
        case 9600: Speed = 112; break;
        default: break;
      }
      char Text[64];
      std::snprintf(Text, sizeof Text, "\x1B[%d;%d;%d;%d;%d;%d;%dx", Solicited, Parity, Bits, Speed, Speed, 1, 0);
      SendReply(Text);
      break;
    }
    case VT100::eSCS: {
      if (Args != 2) break;
      uint8_t CharSet;
      switch (Argument(1)) {
        case 65: CharSet = vcsUK; break;
        case 66: CharSet = vcsUSASCII; break;
        case 0: CharSet = vcsLineDraw; break;
        case 1: CharSet = vcsROM1; break;
        case 2: CharSet = vcsROM2; break;
        default: CharSet = Argument(0) == 0 ? G0CharSet : G1CharSet; break;
      }
      if (Argument(0) == 0) {
        G0CharSet = CharSet;
        if (!G1Active) B.SetCharSet(G0CharSet);
      } else if (Argument(0) == 1) {
        G1CharSet = CharSet;
        if (G1Active) B.SetCharSet(G1CharSet);
      }
      break;
    }
    default:
      break;
  }
}

// ---------------------------------------------------------------- keys

void TAdVT100Emulator::KeyDown(uint16_t& Key, TAdShiftState Shift) {
  if (Key & KeyRepeatFlag) {
    if (!AutoRepeat) {
      Key = 0;
      return;
    }
    Key &= static_cast<uint16_t>(~KeyRepeatFlag);
  }
  if (Key > 0xFF) return;
  char Code[8];
  std::snprintf(Code, sizeof Code, "\\x%02X", Key);
  std::string Name = KeyboardMapping->Get(Code);
  if (Name.empty()) return;
  if (Shift & ssAlt) Name = "alt+" + Name;
  if (Shift & ssCtrl) Name = "ctrl+" + Name;
  if (Shift & ssShift) Name = "shift+" + Name;
  std::string VT100Name = KeyboardMapping->Get(Name);
  if (VT100Name.empty()) return;
  if (VT100Name.back() == 'c')
    VT100Name.back() = !AnsiMode ? '0' : AppCursorKeys ? '2' : '1';
  else if (VT100Name.back() == 'k')
    VT100Name.back() = AnsiMode ? (AppKeypad ? '6' : '5') : (AppKeypad ? '4' : '3');
  const std::string Sequence = KeyboardMapping->Get(VT100Name);
  if (Sequence.empty()) return;
  SendKeySequence(Sequence);
  if (Key == 0x90 && Terminal != nullptr) Terminal->RestoreNumLock();
  Key = 0;
}

void TAdVT100Emulator::SendKeySequence(const std::string& Text) {
  bool Echo = true;
  for (std::size_t I = 0; I < Text.size(); ++I) {
    uint8_t Byte = static_cast<uint8_t>(Text[I]);
    if (Byte == '\\' && I + 1 < Text.size()) {
      const char Next = Text[I + 1];
      if (Next == 'e') {
        ++I;
        Byte = 27;
      } else if (Next == 'x') {
        const int High = I + 2 < Text.size() ? HexDigit(Text[I + 2]) : -1;
        const int Low = I + 3 < Text.size() ? HexDigit(Text[I + 3]) : -1;
        I += std::min<std::size_t>(3, Text.size() - 1 - I);
        Byte = High >= 0 && Low >= 0 ? static_cast<uint8_t>(High * 16 + Low) : '?';
        SendKeyboardByte(Byte, Echo, csKeyboard);
        if (Byte == 13 && NewLineMode) SendKeyboardByte(10, Echo, csKeyboard);
        continue;
      } else {
        SendKeyboardByte('\\', Echo, csKeyboard);
        ++I;
        Byte = static_cast<uint8_t>(Next);
      }
    }
    SendKeyboardByte(Byte, Echo, csKeyboard);
    if (Byte == 27) Echo = false;  // the rest of an escape sequence is not echoed
  }
}

void TAdVT100Emulator::KeyPress(char& Key) {
  SendKeyboardByte(static_cast<uint8_t>(Key), true, csKeyboard);
  if (Key == '\r' && NewLineMode) SendKeyboardByte('\n', true, csKeyboard);
}

// ---------------------------------------------------------------- painting

void TAdVT100Emulator::PaintRow(int Row, int FirstCol, int LastCol, bool ColumnsAreBufferCols, bool TextShown) {
  TAdRowPaintOptions Options;
  Options.LineAttr = LineAttrs.Get(*Buffer, Row);
  Options.ColumnsAreBufferCols = ColumnsAreBufferCols;
  Options.CharSetMapping = CharSetMapping.get();
  Options.ReverseVideo = ReverseVideo;
  Options.TextShown = TextShown;
  PaintBufferRow(*Buffer, *Terminal, Row, FirstCol, LastCol, Options);
}

void TAdVT100Emulator::LazyPaint() {
  if (Terminal == nullptr) return;
  const TAdViewGeometry View = Terminal->GetViewGeometry();
  TAdScreenRect Rect;
  if (FullRedrawPending) {
    FullRedrawPending = false;
    for (int Row = View.OriginRow; Row < View.OriginRow + View.VisibleRows; ++Row)
      PaintRow(Row, 1, Buffer->GetColCount(), false, true);
    while (Buffer->GetInvalidRect(Rect)) {
    }
    return;
  }
  // The changed rows are screen rows of the buffer, which the row painter places on
  // the view by its origin: they are painted as they are, wherever the view stands.
  while (Buffer->GetInvalidRect(Rect))
    for (int Row = Rect.Top; Row <= Rect.Bottom; ++Row) PaintRow(Row, Rect.Left, Rect.Right, false, true);
}

void TAdVT100Emulator::Paint(int FirstRow, int LastRow, int FirstCol, int LastCol) {
  if (Terminal == nullptr) return;
  for (int Row = FirstRow; Row <= LastRow; ++Row) PaintRow(Row, FirstCol, LastCol, false, true);
}

void TAdVT100Emulator::BlinkPaint(bool BlinkOn) {
  if (Terminal == nullptr) return;
  for (const TBlinkRun& Run : BlinkList) PaintRow(Run.Row, Run.FirstCol, Run.LastCol, true, BlinkOn);
}
