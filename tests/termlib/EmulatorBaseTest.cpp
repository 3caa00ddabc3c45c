#include <gtest/gtest.h>

#include "AdKeyCodes.h"
#include "AdTTYEmulator.h"
#include "FakeTerminalHost.h"

TEST(EmuCommandParams, FoundByNameThenByPosition) {
  TAdEmuCommandParams Named;
  Named.Add("Col", "7");
  Named.Add("Row", "5");
  EXPECT_EQ(Named.GetInteger("Row", 0, 1), 5);
  EXPECT_EQ(Named.GetInteger("Col", 1, 1), 7);
  TAdEmuCommandParams Positional;
  Positional.Add("", "5");
  Positional.Add("", "7");
  EXPECT_EQ(Positional.GetInteger("Row", 0, 1), 5);
  EXPECT_EQ(Positional.GetInteger("Col", 1, 1), 7);
  EXPECT_EQ(Positional.GetInteger("Missing", 4, 42), 42);
  TAdEmuCommandParams Typed;
  Typed.Add("A", "Yes");
  Typed.Add("B", "maybe");
  Typed.Add("C", "12x");
  Typed.Add("D", "OFF");
  EXPECT_TRUE(Typed.GetBoolean("A", 0, false));
  EXPECT_TRUE(Typed.GetBoolean("B", 1, true));
  EXPECT_FALSE(Typed.GetBoolean("B", 1, false));
  EXPECT_FALSE(Typed.GetBoolean("D", 3, true));
  EXPECT_EQ(Typed.GetInteger("C", 2, -1), -1);
  EXPECT_EQ(Typed.GetString("A", 0, ""), "Yes");
}

TEST(EmuCommandList, OnProcessCharDrivesTheScreen) {
  TAdTTYEmulator Emulator;
  Emulator.OnProcessChar = [](TAdTerminalEmulator&, uint8_t Character, std::string& ReplaceWith, TAdEmuCommandList& Commands,
                              TAdCharSource) {
    if (Character == '@') {
      ReplaceWith.clear();
      auto& Move = Commands.Add(ecCursorPos);
      Move.Params.Add("Row", "5");
      Move.Params.Add("Col", "7");
      Commands.Add(ecAddBold);
    } else if (Character == '#') {
      ReplaceWith = "<hash>";
    }
  };
  Emulator.ProcessBlock("ab@c#", csPort);
  auto& Buffer = Emulator.GetBuffer();
  EXPECT_EQ(TrimRight(Buffer.GetLineText(1)), "ab");
  EXPECT_EQ(TrimRight(Buffer.GetLineText(5)), "      c<hash>");
  EXPECT_EQ(Buffer.GetAttrAt(5, 7), tcaBold);
}

TEST(EmuCommandList, ExecutorCoversAttributesModesAndCursor) {
  TAdTTYEmulator Emulator;
  FakeTerminalHost Host;
  Emulator.SetTerminal(&Host);
  auto& Buffer = Emulator.GetBuffer();
  TAdEmuCommandParams None;
  Emulator.ExecuteCommand(ecCursorPos, None);
  EXPECT_EQ(Buffer.GetCursorRow(), 1);
  Emulator.ExecuteCommand(ecAddReverse, None);
  Emulator.ExecuteCommand(ecAddSelected, None);
  Emulator.ExecuteCommand(ecRemoveAllAttrIgnoreSelect, None);
  EXPECT_EQ(Buffer.GetCharAttrs(), tcaSelected);
  Emulator.ExecuteCommand(ecInvertBlink, None);
  EXPECT_EQ(Buffer.GetCharAttrs(), tcaSelected | tcaStrikethrough);
  TAdEmuCommandParams Attrs;
  // Found by name; a name that is missing would fall back to the item at its position.
  Attrs.Add("Bold", "no");
  Attrs.Add("Underline", "true");
  Attrs.Add("Strikethrough", "0");
  Attrs.Add("Blink", "off");
  Attrs.Add("Reverse", "f");
  Attrs.Add("Invisible", "on");
  Attrs.Add("Selected", "false");
  Emulator.ExecuteCommand(ecSetCharAttr, Attrs);
  EXPECT_EQ(Buffer.GetCharAttrs(), tcaUnderline | tcaInvisible);
  Emulator.ExecuteCommand(ecCursorBottom, None);
  Emulator.ExecuteCommand(ecCursorEOL, None);
  EXPECT_EQ(Buffer.GetCursorRow(), 24);
  EXPECT_EQ(Buffer.GetCursorCol(), 80);
  TAdEmuCommandParams Color;
  Color.Add("Fore", "255");
  Color.Add("Back", "65280");
  Emulator.ExecuteCommand(ecColor, Color);
  EXPECT_EQ(Buffer.GetForeColor(), 255u);
  EXPECT_EQ(Host.BackColor, 65280u);
  Emulator.ExecuteCommand(ecCursorOff, None);
  EXPECT_EQ(Host.CursorType, ctNone);
  Emulator.ExecuteCommand(ecBell, None);
  EXPECT_EQ(Host.Beeps, 1);
  Emulator.ExecuteCommand(ecDeviceStatusReport, None);
  EXPECT_EQ(Host.PortBytes, "");  // no port: no reply
  Host.PortOpen = true;
  Emulator.ExecuteCommand(ecDeviceStatusReport, None);
  EXPECT_EQ(Host.PortBytes, "\x1B[0n");
  TAdEmuCommandParams Text;
  Text.Add("String", "hi");
  Emulator.ExecuteCommand(ecCursorPos, None);
  Emulator.ExecuteCommand(ecWriteString, Text);
  EXPECT_EQ(TrimRight(Buffer.GetLineText(1)), "hi");
  Emulator.ExecuteCommand(ecDECALN, None);
  EXPECT_EQ(Buffer.GetLineText(12), std::string(80, 'E'));
  Emulator.ExecuteCommand(ecEraseLine, None);
  EXPECT_EQ(Buffer.GetLineText(1), std::string(80, ' '));
}

TEST(TTYEmulator, ControlCharactersActAndEscapeShowsAsNothing) {
  TAdTTYEmulator Emulator;
  FakeTerminalHost Host;
  Emulator.SetTerminal(&Host);
  Emulator.ProcessBlock("ab\x1B[2Jc\tX\x07\r\nnext\x08!", csWriteChar);
  auto& Buffer = Emulator.GetBuffer();
  EXPECT_EQ(TrimRight(Buffer.GetLineText(1)), "ab[2Jc  X");
  EXPECT_EQ(TrimRight(Buffer.GetLineText(2)), "nex!");
  EXPECT_EQ(Host.Beeps, 1);
  EXPECT_TRUE(Emulator.NeedsUpdate());
}

TEST(TTYEmulator, KeysGoToTheKeyboardEventAndEchoInHalfDuplex) {
  TAdTTYEmulator Emulator;
  FakeTerminalHost Host;
  Emulator.SetTerminal(&Host);
  char Key = 'k';
  Emulator.KeyPress(Key);
  EXPECT_EQ(Host.Keys, "k");
  EXPECT_EQ(Emulator.GetBuffer().GetCharAt(1, 1), ' ');
  Host.HalfDuplex = true;
  Host.PortOpen = true;
  Emulator.KeyPress(Key);
  EXPECT_EQ(Emulator.GetBuffer().GetCharAt(1, 1), 'k');
  EXPECT_EQ(Host.PortBytes, "k");
  Emulator.SendKeyboardByte('p', true, csPort);  // not from the keyboard: no keyboard event
  EXPECT_EQ(Host.Keys, "kk");
}

TEST(TTYEmulator, PaintsRunsInTheTerminalColours) {
  TAdTTYEmulator Emulator;
  FakeTerminalHost Host;
  Host.ForeColor = 0x00FF00;
  Host.View.VisibleCols = 80;
  Emulator.SetTerminal(&Host);
  Emulator.ProcessBlock("ab", csWriteChar);
  Emulator.LazyPaint();  // the terminal's colours become the buffer's: a full redraw
  ASSERT_EQ(Host.Runs.size(), 24u);
  EXPECT_EQ(Host.Runs[0].Text.substr(0, 2), "ab");
  EXPECT_EQ(Host.Runs[0].TextColor, 0x00FF00u);
  Host.Runs.clear();
  Emulator.ProcessBlock("c", csWriteChar);
  Emulator.LazyPaint();
  ASSERT_EQ(Host.Runs.size(), 1u);
  EXPECT_EQ(Host.Runs[0].Text, "c");
  EXPECT_EQ(Host.Runs[0].ViewCol, 2);
}

TEST(TerminalKeyCodes, KeypadKeysAreRestoredWhenNumLockIsOff) {
  EXPECT_EQ(AdjustTerminalKeyCode(AdKey::VK_UP, false, false, false), 104);  // keypad 8
  EXPECT_EQ(AdjustTerminalKeyCode(AdKey::VK_UP, true, false, false), 38);    // the arrow block
  EXPECT_EQ(AdjustTerminalKeyCode(AdKey::VK_UP, false, true, false), 38);
  EXPECT_EQ(AdjustTerminalKeyCode(AdKey::VK_CLEAR, false, false, false), 101);
  EXPECT_EQ(AdjustTerminalKeyCode(AdKey::VK_DELETE, false, false, false), 110);
  EXPECT_EQ(AdjustTerminalKeyCode(AdKey::VK_RETURN, true, true, false), 43);
  EXPECT_EQ(AdjustTerminalKeyCode(AdKey::VK_RETURN, false, true, false), 13);
  EXPECT_EQ(AdjustTerminalKeyCode(AdKey::VK_A, false, true, true), 0x41 | KeyRepeatFlag);
  EXPECT_EQ(AdjustTerminalKeyCode(AdKey::VK_SHIFT, false, true, false), 0);
}
