#include <gtest/gtest.h>

#include <vector>

#include "ADTrmMap.h"
#include "AdExcept.h"
#include "AdResources.h"

namespace {

std::vector<uint8_t> Aht3(const std::vector<std::string>& Strings, uint32_t Count, bool GoodTrailer = true) {
  std::vector<uint8_t> Data = {'A', 'H', 'T', '3'};
  for (int Shift = 0; Shift < 32; Shift += 8) Data.push_back(static_cast<uint8_t>(Count >> Shift));
  for (const auto& Text : Strings) {
    Data.push_back(static_cast<uint8_t>(Text.size()));
    Data.insert(Data.end(), Text.begin(), Text.end());
  }
  const char* Trailer = GoodTrailer ? "AHT3" : "AHT4";
  Data.insert(Data.end(), Trailer, Trailer + 4);
  return Data;
}

std::vector<std::pair<std::string, std::string>> Script(TAdCharSetMapping& Map, const std::string& CharSet,
                                                        const std::string& Text) {
  Map.GenerateDrawScript(CharSet, Text);
  std::vector<std::pair<std::string, std::string>> Runs;
  std::string Font;
  std::string Run;
  while (Map.GetNextDrawCommand(Font, Run)) Runs.emplace_back(Font, Run);
  return Runs;
}

}  // namespace

TEST(KeyboardMapping, BuiltInTableHasTheThreeKindsOfPair) {
  TAdKeyboardMapping Map;
  Map.LoadFromStream("ADVT100KeyMap");
  EXPECT_EQ(Map.Count(), 221);
  EXPECT_EQ(Map.Get("\\x21"), "VK_PRIOR");
  EXPECT_EQ(Map.Get("\\x2B"), "VK_EXECUTE");
  EXPECT_EQ(Map.Get("\\x87"), "VK_F24");
  EXPECT_EQ(Map.Get("VK_UP"), "DEC_UPc");
  EXPECT_EQ(Map.Get("shift+VK_RETURN"), "DEC_LF");
  EXPECT_EQ(Map.Get("DEC_UP1"), "\\e[A");
  EXPECT_EQ(Map.Get("DEC_PF16"), "\\eOP");
  EXPECT_EQ(Map.Get("DEC_KP73"), "7");
  EXPECT_EQ(Map.Get("DEC_KP74"), "\\e?w");
  EXPECT_EQ(Map.Get("DEC_KP76"), "\\eOw");
  EXPECT_EQ(Map.Get("DEC_KPE5"), "\\x0D");
  EXPECT_EQ(Map.Get("VK_NEXT"), "");
  EXPECT_EQ(Map.Get("vk_up"), "");  // case matters
}

TEST(KeyboardMapping, AddRefusesDuplicatesAndCutsLongStrings) {
  TAdKeyboardMapping Map;
  EXPECT_TRUE(Map.Add("key", "old"));
  EXPECT_FALSE(Map.Add("key", "new"));
  EXPECT_EQ(Map.Get("key"), "old");
  EXPECT_TRUE(Map.Add(std::string(70, 'k'), std::string(70, 'v')));
  EXPECT_EQ(Map.Get(std::string(63, 'k')), std::string(63, 'v'));
  Map.Clear();
  EXPECT_EQ(Map.Count(), 0);
}

TEST(KeyboardMapping, DamagedTablesLoadNothing) {
  TAdKeyboardMapping Map;
  Map.LoadFromData(Aht3({"a", "b"}, 1, false));  // wrong trailing magic
  EXPECT_EQ(Map.Count(), 0);
  EXPECT_EQ(Map.Get("a"), "");
  Map.LoadFromData(Aht3({"a", "b"}, 1));
  EXPECT_EQ(Map.Get("a"), "b");
  std::vector<uint8_t> NoMagic = {'X', 'H', 'T', '3', 0, 0, 0, 0, 'A', 'H', 'T', '3'};
  Map.LoadFromData(NoMagic);
  EXPECT_EQ(Map.Count(), 0);
  Map.LoadFromStream("NoSuchResource");
  EXPECT_EQ(Map.Count(), 0);
}

TEST(KeyboardMapping, ShortOrOversizedRecordsRaiseAnError) {
  TAdKeyboardMapping Map;
  // The count promises more records than the data holds.
  EXPECT_THROW(Map.LoadFromData(Aht3({"a", "b"}, 2)), EAPDException);
  EXPECT_EQ(Map.Count(), 0);
  EXPECT_THROW(Map.LoadFromData(Aht3({"a", "b"}, 0xFFFFFFFF)), EAPDException);
  // A string longer than 63 characters.
  EXPECT_THROW(Map.LoadFromData(Aht3({std::string(64, 'x'), "b"}, 1)), EAPDException);
  // A length byte that runs past the end.
  auto Cut = Aht3({"abc", "def"}, 1);
  Cut.resize(12);
  EXPECT_THROW(Map.LoadFromData(Cut), EAPDException);
  EXPECT_EQ(Map.Count(), 0);
  std::vector<uint8_t> NoCount = {'A', 'H', 'T', '3', 1};
  EXPECT_THROW(Map.LoadFromData(NoCount), EAPDException);
}

TEST(CharSetMapping, BuiltInTableAndDrawScripts) {
  TAdCharSetMapping Map;
  Map.LoadFromStream("advt100charset");
  EXPECT_EQ(Map.Count(), 603);
  using Runs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(Script(Map, "VT100-linedraw", "lqk"), (Runs{{"Terminal", "\xDA\xC4\xBF"}}));
  EXPECT_EQ(Script(Map, "VT100-UK", "#1"), (Runs{{"<Default>", "\xA3" "1"}}));
  EXPECT_EQ(Script(Map, "VT100-USASCII", "A\xB0"), (Runs{{"<Default>", "A"}, {"Terminal", "\xB0"}}));
  EXPECT_EQ(Script(Map, "VT100-Nowhere", "ab"), (Runs{{"<Default>", "ab"}}));
  EXPECT_EQ(Script(Map, "VT100-ROM2", "_`~"), (Runs{{"Terminal", std::string("\x20\x04\xFA", 3)}}));
  std::string Font;
  uint8_t Glyph = 0;
  ASSERT_TRUE(Map.Find("VT100-linedraw", 'x', Font, Glyph));
  EXPECT_EQ(Glyph, 0xB3);
  EXPECT_FALSE(Map.Find("VT100-USASCII", 0x7F, Font, Glyph));
  std::vector<std::string> Fonts;
  Map.GetFontNames(Fonts);
  EXPECT_EQ(Fonts.size(), 2u);
}

TEST(CharSetMapping, AddRefusesOverlaps) {
  TAdCharSetMapping Map;
  EXPECT_TRUE(Map.Add("set", 'a', 'c', "Font", 0x61));
  EXPECT_FALSE(Map.Add("set", 'c', 'e', "Font", 0x10));
  EXPECT_EQ(Map.Count(), 3);
  EXPECT_TRUE(Map.Add("set", 'z', 'y', "Font", 0));  // empty range
  EXPECT_EQ(Map.Count(), 3);
  std::string Font;
  uint8_t Glyph = 0;
  ASSERT_TRUE(Map.Find("set", 'b', Font, Glyph));
  EXPECT_EQ(Glyph, 0x62);
}

TEST(CharSetMapping, DamagedTableRaisesAndLeavesTheMapEmpty) {
  TAdCharSetMapping Map;
  std::vector<uint8_t> Data = {'A', 'H', 'T', '3', 1, 0, 0, 0, 3, 's', 'e', 't', 1, 'F', 'x'};  // glyph missing
  Data.insert(Data.end(), {'A', 'H', 'T', '3'});
  Data.resize(15);
  EXPECT_THROW(Map.LoadFromData(Data), EAPDException);
  EXPECT_EQ(Map.Count(), 0);
}

TEST(TerminalResources, NamesMatchWithoutRegardToCase) {
  EXPECT_FALSE(FindTerminalResource("AdVt100KeyMap").empty());
  EXPECT_TRUE(FindTerminalResource("ADVT100KEYMAPS").empty());
  EXPECT_EQ(AdElfHash("", 7), 7u);
}
