// The Intel-hex reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "IntelHexLoader.h"
#include "MachineError.h"

namespace {

struct THexResult {
  THexImageRange Range;
  std::vector<uint8_t> Image = std::vector<uint8_t>(65536, 0);
};

THexResult Load(const std::string& Text) {
  THexResult Result;
  std::istringstream Stream(Text);
  Result.Range = LoadHexText(Stream, Result.Image.data(), "test.hex");
  return Result;
}

TEST(IntelHexLoader, DataRecordsAreStoredAndTheRangeReported) {
  const THexResult R = Load(":03010000AABBCC00\n:02020000DDEE00\n:00000001FF\n");
  EXPECT_TRUE(R.Range.HasData);
  EXPECT_EQ(R.Range.First, 0x0100u);
  EXPECT_EQ(R.Range.Next, 0x0202u);
  EXPECT_EQ(R.Image[0x100], 0xAA);
  EXPECT_EQ(R.Image[0x102], 0xCC);
  EXPECT_EQ(R.Image[0x201], 0xEE);
  EXPECT_EQ(R.Image[0x103], 0);
}

TEST(IntelHexLoader, CrLfLineEndsAreAccepted) {
  const THexResult R = Load(":02E40000C35C9B\r\n:00000001FF\r\n");
  EXPECT_EQ(R.Image[0xE400], 0xC3);
  EXPECT_EQ(R.Image[0xE401], 0x5C);
  EXPECT_EQ(R.Range.Next, 0xE402u);
}

TEST(IntelHexLoader, TheEndRecordStopsTheReading) {
  const THexResult R = Load(":00000001FF\n:0100000011EE\nthis is not hex\n");
  EXPECT_FALSE(R.Range.HasData);
  EXPECT_EQ(R.Range.First, 0u);
  EXPECT_EQ(R.Range.Next, 0u);
  EXPECT_EQ(R.Image[0], 0);
}

TEST(IntelHexLoader, OtherRecordTypesAreNotStoredAsData) {
  // Extended segment (02), start segment (03), extended linear (04) and start
  // linear (05) records carry addresses, not bytes for the image.
  const THexResult R = Load(":020000021000EC\n:0400000300001234B3\n:02000004FFFFFC\n:0400000500001234B1\n:01000000779F\n:00000001FF\n");
  EXPECT_EQ(R.Image[0], 0x77);
  EXPECT_EQ(R.Image[1], 0);
  EXPECT_EQ(R.Image[2], 0);
  EXPECT_EQ(R.Range.First, 0u);
  EXPECT_EQ(R.Range.Next, 1u);
}

TEST(IntelHexLoader, TheRecordMarkAndTheChecksumAreNotChecked) {
  const THexResult R = Load("X0100200042FF\n;01002100430000\n:00000001FF\n");
  EXPECT_EQ(R.Image[0x20], 0x42);
  EXPECT_EQ(R.Image[0x21], 0x43);
}

TEST(IntelHexLoader, DataPastTheTopWrapsWhileNextCountsOn) {
  const THexResult R = Load(":04FFFE0001020304F3\n:00000001FF\n");
  EXPECT_EQ(R.Image[0xFFFF], 2);
  EXPECT_EQ(R.Image[0x0000], 3);
  EXPECT_EQ(R.Range.Next, 0x10002u);
}

TEST(IntelHexLoader, DataEndingAtFFFFGivesNextOf10000) {
  const THexResult R = Load(":02FFFE00ABCD87\n:00000001FF\n");
  EXPECT_EQ(R.Range.Next, 0x10000u);
}

TEST(IntelHexLoader, AShortLineIsRefusedWithoutReadingPastItsEnd) {
  // The count promises 16 bytes; the line holds 2. Nothing of the file is stored.
  std::vector<uint8_t> Image(65536, 0);
  std::istringstream Stream(":0100000011EE\n:10001000AABB\n:00000001FF\n");
  try {
    LoadHexText(Stream, Image.data(), "short.hex");
    FAIL() << "a truncated record was accepted";
  } catch (const EMachineError& Error) {
    EXPECT_NE(std::string(Error.what()).find("line 2"), std::string::npos) << Error.what();
    EXPECT_NE(std::string(Error.what()).find("short.hex"), std::string::npos);
  }
  EXPECT_EQ(Image[0], 0) << "the good line before the bad one is not stored either";
  EXPECT_EQ(Image[0x10], 0);
  EXPECT_THROW(Load(":0100\n"), EMachineError);
  EXPECT_THROW(Load("\n:00000001FF\n"), EMachineError) << "an empty line before the end record";
}

TEST(IntelHexLoader, AMalformedFileNamesItsLineAndLoadsNothing) {
  // Lines 1 and 2 are good, line 3 holds a letter that is no hex digit: the
  // image keeps every byte it had, the ones the good lines would change included.
  std::vector<uint8_t> Image(65536, 0x5A);
  std::istringstream Stream(":02010000AABB00\n:0102000011EE\n:01030000G1EE\n:00000001FF\n");
  try {
    LoadHexText(Stream, Image.data(), "bad.hex");
    FAIL() << "a malformed record was accepted";
  } catch (const EMachineError& Error) {
    const std::string Text = Error.what();
    EXPECT_NE(Text.find("line 3"), std::string::npos) << Text;
    EXPECT_NE(Text.find("bad.hex"), std::string::npos) << Text;
  }
  EXPECT_EQ(std::count(Image.begin(), Image.end(), 0x5A), 65536) << "nothing of the file was stored";

  // The same through a file.
  const std::filesystem::path File = std::filesystem::temp_directory_path() / "korvel-malformed-line.hex";
  {
    std::ofstream Out(File);
    Out << ":0100000011EE\n\n:00000001FF\n";  // an empty line 2 before the end record
  }
  try {
    LoadHexToImage(File.string(), Image.data());
    FAIL() << "an empty line before the end record was accepted";
  } catch (const EMachineError& Error) {
    EXPECT_NE(std::string(Error.what()).find("line 2"), std::string::npos) << Error.what();
  }
  EXPECT_EQ(Image[0], 0x5A);
  std::filesystem::remove(File);
}

TEST(IntelHexLoader, NonHexCharactersAreRefused) {
  EXPECT_THROW(Load(":0G00000011EE\n"), EMachineError);
  EXPECT_THROW(Load(":0100000Z11EE\n"), EMachineError);
  EXPECT_THROW(Load(":01000000X1EE\n"), EMachineError);
  EXPECT_NO_THROW(Load(":01000000a1EE\n")) << "lower-case digits are hexadecimal";
}

TEST(IntelHexLoader, AMissingFileIsAClearError) {
  std::vector<uint8_t> Image(65536, 0);
  EXPECT_THROW(LoadHexToImage("/nonexistent/folder/x.hex", Image.data()), EMachineError);
}

TEST(IntelHexLoader, TheFixtureSystemImageLoadsWhereCpmLives) {
  const std::string FileName = std::string(KORVEL_FIXTURES_DIR) + "/cpm22/cpm22.hex";
  std::error_code Error;
  if (!std::filesystem::exists(FileName, Error)) GTEST_SKIP() << "shared fixture " << FileName << " is absent";
  std::vector<uint8_t> Image(65536, 0);
  const THexImageRange Range = LoadHexToImage(FileName, Image.data());
  EXPECT_EQ(Range.First, 0xE400u);
  EXPECT_LE(Range.Next, 0xFA00u);
  EXPECT_EQ(Image[0xE400], 0xC3);
}

}  // namespace
