#include "ADTrmEmu.h"

#include <algorithm>
#include <cctype>
#include <charconv>

// ---------------------------------------------------------------- parameters

const TAdEmuCommandParamsItem* TAdEmuCommandParams::Find(const std::string& Name, int Position) const {
  if (!Name.empty())
    for (const auto& Item : Items)
      if (Item.Name == Name) return &Item;
  if (Position >= 0 && static_cast<std::size_t>(Position) < Items.size()) return &Items[static_cast<std::size_t>(Position)];
  return nullptr;
}

bool TAdEmuCommandParams::GetBoolean(const std::string& Name, int Position, bool Default) const {
  const auto* Item = Find(Name, Position);
  if (Item == nullptr) return Default;
  std::string Value = Item->Value;
  std::transform(Value.begin(), Value.end(), Value.begin(), [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  if (Value == "t" || Value == "true" || Value == "1" || Value == "on" || Value == "yes") return true;
  if (Value == "f" || Value == "false" || Value == "0" || Value == "off" || Value == "no") return false;
  return Default;
}

int32_t TAdEmuCommandParams::GetInteger(const std::string& Name, int Position, int32_t Default) const {
  const auto* Item = Find(Name, Position);
  if (Item == nullptr) return Default;
  const std::string& Value = Item->Value;
  int32_t Result = 0;
  const char* First = Value.data();
  if (!Value.empty() && Value[0] == '+') ++First;
  const auto [End, Error] = std::from_chars(First, Value.data() + Value.size(), Result);
  if (Error != std::errc() || End != Value.data() + Value.size() || Value.empty()) return Default;
  return Result;
}

std::string TAdEmuCommandParams::GetString(const std::string& Name, int Position, const std::string& Default) const {
  const auto* Item = Find(Name, Position);
  return Item == nullptr ? Default : Item->Value;
}

// ---------------------------------------------------------------- TAdTerminalEmulator

TAdTerminalEmulator::TAdTerminalEmulator() = default;

TAdTerminalEmulator::~TAdTerminalEmulator() = default;

void TAdTerminalEmulator::InstallBufferHooks() {
  Buffer->OnCursorMoved = [this](TAdTerminalBuffer&, int Row, int Col) {
    if (Terminal != nullptr) Terminal->CursorMoved(Row, Col);
  };
  Buffer->OnDisplayChanged = [this](TAdTerminalBuffer&) {
    if (Terminal != nullptr) Terminal->DisplayChanged();
  };
  Saved.ForeColor = Buffer->GetDefForeColor();
  Saved.BackColor = Buffer->GetDefBackColor();
}

bool TAdTerminalEmulator::NeedsUpdate() {
  if (Buffer == nullptr) return false;
  return Buffer->HasDisplayChanges() || Buffer->GetCursorMoved();
}

void TAdTerminalEmulator::SetTerminal(TAdTerminalHost* Value) {
  Terminal = Value;
  // Changes made before the link are pending already: the new terminal hears of them.
  if (Terminal != nullptr && Buffer != nullptr && Buffer->HasDisplayChanges()) Terminal->DisplayChanged();
}

void TAdTerminalEmulator::SendKeyboardByte(uint8_t Data, bool EchoAllowed, TAdCharSource Source) {
  if (Terminal == nullptr) return;
  if (EchoAllowed && Terminal->GetHalfDuplex()) ProcessBlock(&Data, 1, Source);
  if (Terminal->HasPort()) Terminal->PortSend(std::string(1, static_cast<char>(Data)));
  if (Source == csKeyboard) Terminal->KeyboardData(*this, Data);
}

void TAdTerminalEmulator::SendReply(const std::string& Text) {
  if (Terminal != nullptr && Terminal->HasPort()) Terminal->PortSend(Text);
}

void TAdTerminalEmulator::ExecuteCommandList() {
  for (const auto& Item : CommandList) ExecuteCommand(Item.Command, Item.Params);
}

void TAdTerminalEmulator::SaveCursor() {
  Saved.Attrs = Buffer->GetCharAttrs();
  Saved.BackColor = Buffer->GetBackColor();
  Saved.CharSet = Buffer->GetCharSet();
  Saved.Col = Buffer->GetCursorCol();
  Saved.ForeColor = Buffer->GetForeColor();
  Saved.Row = Buffer->GetCursorRow();
}

void TAdTerminalEmulator::RestoreCursor() {
  Buffer->SetCharAttrs(Saved.Attrs);
  Buffer->SetBackColor(Saved.BackColor);
  Buffer->SetCharSet(Saved.CharSet);
  Buffer->SetCursorCol(Saved.Col);
  Buffer->SetForeColor(Saved.ForeColor);
  Buffer->SetCursorRow(Saved.Row);
}

void TAdTerminalEmulator::ExecuteCommand(TAdEmuCommand Command, const TAdEmuCommandParams& Params) {
  if (Buffer == nullptr) return;
  TAdTerminalBuffer& B = *Buffer;
  auto Attrs = [&](uint8_t Bit, int How) {
    // How: 0 add, 1 only, 2 remove, 3 invert.
    const uint8_t Current = B.GetCharAttrs();
    switch (How) {
      case 0:
        B.SetCharAttrs(Current | Bit);
        break;
      case 1:
        B.SetCharAttrs(Bit);
        break;
      case 2:
        B.SetCharAttrs(Current & static_cast<uint8_t>(~Bit));
        break;
      default:
        B.SetCharAttrs(Current ^ Bit);
    }
  };
  switch (Command) {
    case ecNone:
      break;
    case ecBell:
      if (Terminal != nullptr) Terminal->Beep();
      break;
    case ecBackspace:
      B.DoBackspace();
      break;
    case ecTabHorz:
      B.DoHorzTab();
      break;
    case ecLF:
      B.DoLineFeed();
      break;
    case ecCR:
      B.DoCarriageReturn();
      break;
    case ecBackTabHorz:
      B.DoBackHorzTab();
      break;
    case ecTabVert:
      B.DoVertTab();
      break;
    case ecBackTabVert:
      B.DoBackVertTab();
      break;
    case ecCursorDown:
      B.MoveCursorDown(Params.GetBoolean("Scroll", 0, false));
      break;
    case ecCursorUp:
      B.MoveCursorUp(Params.GetBoolean("Scroll", 0, false));
      break;
    case ecCursorLeft:
      B.MoveCursorLeft(Params.GetBoolean("Wrap", 0, false), Params.GetBoolean("Scroll", 1, false));
      break;
    case ecCursorRight:
      B.MoveCursorRight(Params.GetBoolean("Wrap", 0, false), Params.GetBoolean("Scroll", 1, false));
      break;
    case ecCursorPos:
      B.SetCursorPosition(Params.GetInteger("Row", 0, 1), Params.GetInteger("Col", 1, 1));
      break;
    case ecDeleteChars:
      B.DeleteChars(Params.GetInteger("Count", 0, 1));
      break;
    case ecDeleteLines:
      B.DeleteLines(Params.GetInteger("Count", 0, 1));
      break;
    case ecInsertChars:
      B.InsertChars(Params.GetInteger("Count", 0, 1));
      break;
    case ecInsertLines:
      B.InsertLines(Params.GetInteger("Count", 0, 1));
      break;
    case ecEraseChars:
      B.EraseChars(Params.GetInteger("Count", 0, 1));
      break;
    case ecEraseAll:
      B.EraseAll();
      break;
    case ecEraseFromBOW:
      B.EraseFromBOW();
      break;
    case ecEraseFromBOL:
      B.EraseFromBOL();
      break;
    case ecEraseLine:
      B.EraseLine();
      break;
    case ecEraseScreen:
      B.EraseScreen();
      break;
    case ecEraseToEOL:
      B.EraseToEOL();
      break;
    case ecEraseToEOW:
      B.EraseToEOW();
      break;
    case ecSetHorzTabStop:
      B.SetHorzTabStop();
      break;
    case ecClearHorzTabStop:
      B.ClearHorzTabStop();
      break;
    case ecClearVertTabStop:
      B.ClearVertTabStop();
      break;
    case ecClearAllHorzTabStops:
      B.ClearAllHorzTabStops();
      break;
    case ecSetVertTabStop:
      B.SetVertTabStop();
      break;
    case ecClearAllVertTabStops:
      B.ClearAllVertTabStops();
      break;
    case ecSetScrollRegion:
      B.SetScrollRegion(Params.GetInteger("Top", 0, 1), Params.GetInteger("Bottom", 1, 1));
      break;
    case ecBackColor: {
      const auto Color = static_cast<TAdColor>(Params.GetInteger("Color", 0, static_cast<int32_t>(adBlack)));
      B.SetBackColor(Color);
      if (Params.GetBoolean("Persistent", 1, true) && Terminal != nullptr) Terminal->SetTerminalBackColor(Color);
      break;
    }
    case ecForeColor: {
      const auto Color = static_cast<TAdColor>(Params.GetInteger("Color", 0, static_cast<int32_t>(adSilver)));
      B.SetForeColor(Color);
      if (Params.GetBoolean("Persistent", 1, true) && Terminal != nullptr) Terminal->SetTerminalForeColor(Color);
      break;
    }
    case ecAbsAddress:
      B.SetUseAbsAddress(true);
      break;
    case ecNoAbsAddress:
      B.SetUseAbsAddress(false);
      break;
    case ecAutoWrap:
      B.SetUseAutoWrap(true);
      break;
    case ecNoAutoWrap:
      B.SetUseAutoWrap(false);
      break;
    case ecAutoWrapDelay:
      B.SetUseAutoWrapDelay(true);
      break;
    case ecNoAutoWrapDelay:
      B.SetUseAutoWrapDelay(false);
      break;
    case ecInsertMode:
      B.SetUseInsertMode(true);
      break;
    case ecNoInsertMode:
      B.SetUseInsertMode(false);
      break;
    case ecNewLineMode:
      B.SetUseNewLineMode(true);
      break;
    case ecNoNewLineMode:
      B.SetUseNewLineMode(false);
      break;
    case ecScrollRegion:
      B.SetUseScrollRegion(true);
      break;
    case ecNoScrollRegion:
      B.SetUseScrollRegion(false);
      break;
    case ecSetCharAttr: {
      uint8_t Value = 0;
      const char* Names[] = {"Bold", "Underline", "Strikethrough", "Blink", "Reverse", "Invisible", "Selected"};
      for (int I = 0; I < 7; ++I)
        if (Params.GetBoolean(Names[I], I, false)) Value |= static_cast<uint8_t>(1u << I);
      B.SetCharAttrs(Value);
      break;
    }
    case ecAddBold:
    case ecBoldOnly:
    case ecRemoveBold:
    case ecInvertBold:
      Attrs(tcaBold, Command - ecAddBold);
      break;
    case ecAddUnderLine:
    case ecUnderlineOnly:
    case ecRemoveUnderline:
    case ecInvertUnderline:
      Attrs(tcaUnderline, Command - ecAddUnderLine);
      break;
    case ecAddStrikethrough:
    case ecStrikethroughOnly:
    case ecRemoveStrikethrough:
    case ecInvertStrikethrough:
      Attrs(tcaStrikethrough, Command - ecAddStrikethrough);
      break;
    case ecAddBlink:
      Attrs(tcaBlink, 0);
      break;
    case ecBlinkOnly:
      Attrs(tcaBlink, 1);
      break;
    case ecRemoveBlink:
      Attrs(tcaBlink, 2);
      break;
    case ecInvertBlink:
      // Flips the strikethrough bit; nothing in the program issues it.
      Attrs(tcaStrikethrough, 3);
      break;
    case ecAddReverse:
    case ecReverseOnly:
    case ecRemoveReverse:
    case ecInvertReverse:
      Attrs(tcaReverse, Command - ecAddReverse);
      break;
    case ecAddInvisible:
    case ecInvisibleOnly:
    case ecRemoveInvisible:
    case ecInvertInvisible:
      Attrs(tcaInvisible, Command - ecAddInvisible);
      break;
    case ecAddSelected:
      Attrs(tcaSelected, 0);
      break;
    case ecRemoveSelected:
      // Makes the selected bit the only one; nothing in the program issues it.
      Attrs(tcaSelected, 1);
      break;
    case ecSelectedOnly:
      // Removes the selected bit; nothing in the program issues it.
      Attrs(tcaSelected, 2);
      break;
    case ecInvertSelected:
      Attrs(tcaSelected, 3);
      break;
    case ecRemoveAllAttr:
      B.SetCharAttrs(0);
      break;
    case ecRemoveAllAttrIgnoreSelect:
      B.SetCharAttrs(B.GetCharAttrs() & tcaSelected);
      break;
    case ecClearAndHome:
      B.EraseScreen();
      B.SetCursorPosition(1, 1);
      break;
    case ecHome:
      B.SetCursorPosition(1, 1);
      break;
    case ecCursorEOL:
      B.SetCursorCol(B.GetColCount());
      break;
    case ecCursorBOL:
      B.SetCursorCol(1);
      break;
    case ecCursorTop:
      B.SetCursorRow(1);
      break;
    case ecCursorBottom:
      B.SetCursorRow(B.GetRowCount());
      break;
    case ecWriteString:
      B.WriteString(Params.GetString("String", 0, ""));
      break;
    case ecColor: {
      const auto Fore = static_cast<TAdColor>(Params.GetInteger("Fore", 0, static_cast<int32_t>(adSilver)));
      const auto Back = static_cast<TAdColor>(Params.GetInteger("Back", 1, static_cast<int32_t>(adBlack)));
      B.SetForeColor(Fore);
      B.SetBackColor(Back);
      if (Params.GetBoolean("Persistent", 2, true) && Terminal != nullptr) {
        Terminal->SetTerminalForeColor(Fore);
        Terminal->SetTerminalBackColor(Back);
      }
      break;
    }
    case ecSaveCursorPos:
      SaveCursor();
      break;
    case ecRestoreCursorPos:
      RestoreCursor();
      break;
    case ecDeviceAttributesReport: {
      const int32_t Type = Params.GetInteger("Type", 0, 0);
      if (Type == 0) SendReply("\x1B[?1;0c");
      if (Type == 52) SendReply("\x1B/Z");
      break;
    }
    case ecNEL:
      B.DoLineFeed();
      if (!B.GetUseNewLineMode()) B.DoCarriageReturn();
      break;
    case ecReset:
      B.Reset();
      break;
    case ecAnswerback:
      SendReply(Answerback);
      break;
    case ecDECALN: {
      const uint8_t Previous = B.GetDefChar();
      B.SetDefChar('E');
      B.EraseScreen();
      B.SetDefChar(Previous);
      break;
    }
    case ecDeviceStatusReport: {
      const int32_t Type = Params.GetInteger("Type", 0, 5);
      if (Type == 5) SendReply("\x1B[0n");
      if (Type == 6) SendReply("\x1B[" + std::to_string(B.GetCursorRow()) + ";" + std::to_string(B.GetCursorCol()) + "R");
      break;
    }
    case ecCursorOff:
      if (Terminal != nullptr) Terminal->SetCursorType(ctNone);
      break;
    case ecCursorUnderline:
      if (Terminal != nullptr) Terminal->SetCursorType(ctUnderline);
      break;
    case ecCursorBlock:
      if (Terminal != nullptr) Terminal->SetCursorType(ctBlock);
      break;
  }
}
