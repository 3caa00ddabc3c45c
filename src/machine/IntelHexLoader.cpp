#include "IntelHexLoader.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "MachineError.h"

namespace {

constexpr int kDataRecord = 0x00;
constexpr int kEndRecord = 0x01;

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  return -1;
}

class THexLine {
 public:
  THexLine(const std::string& Text, const std::string& SourceName, int LineNumber)
      : FText(Text), FSourceName(SourceName), FLineNumber(LineNumber) {}

  // The hexadecimal number of Digits characters from the 1-based position Position.
  uint32_t Number(size_t Position, int Digits) const {
    uint32_t Value = 0;
    for (int I = 0; I < Digits; ++I) {
      const int Digit = HexValue(FText[Position - 1 + static_cast<size_t>(I)]);
      if (Digit < 0) Fail("holds a character that is not a hexadecimal digit");
      Value = Value << 4 | static_cast<uint32_t>(Digit);
    }
    return Value;
  }
  void RequireLength(size_t Length) const {
    if (FText.size() < Length) Fail("is too short for its record");
  }
  [[noreturn]] void Fail(const std::string& Why) const {
    throw EMachineError("Invalid Intel hex file \"" + FSourceName + "\": line " + std::to_string(FLineNumber) + " " +
                        Why + ".");
  }

 private:
  const std::string& FText;
  const std::string& FSourceName;
  int FLineNumber;
};

}  // namespace

THexImageRange LoadHexText(std::istream& Text, uint8_t* Image, const std::string& SourceName) {
  // The data records are read into a copy of the image, which replaces the
  // image only when the whole file has been read: a bad line leaves the image
  // as it was, not half loaded.
  std::vector<uint8_t> Staged(Image, Image + 0x10000);
  THexImageRange Range;
  std::string Line;
  int LineNumber = 0;
  while (std::getline(Text, Line)) {
    ++LineNumber;
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    const THexLine Record(Line, SourceName, LineNumber);
    // Column 1 is the record mark; what stands there is not checked.
    Record.RequireLength(9);
    const uint32_t Count = Record.Number(2, 2);
    const uint32_t Address = Record.Number(4, 4);
    const uint32_t Type = Record.Number(8, 2);
    if (Type == kEndRecord) break;
    if (Type != kDataRecord) continue;  // address and start records carry nothing for a 64 KiB image
    Record.RequireLength(9 + 2 * static_cast<size_t>(Count));
    if (Count == 0) continue;
    if (!Range.HasData) {
      Range.First = Address;
      Range.HasData = true;
    }
    for (uint32_t I = 0; I < Count; ++I)
      Staged[(Address + I) & 0xFFFF] = static_cast<uint8_t>(Record.Number(10 + 2 * static_cast<size_t>(I), 2));
    Range.Next = Address + Count;
  }
  std::copy(Staged.begin(), Staged.end(), Image);
  return Range;
}

THexImageRange LoadHexToImage(const std::string& FileName, uint8_t* Image) {
  std::ifstream File(FileName, std::ios::binary);
  if (!File) throw EMachineError("Unable to open the hex file \"" + FileName + "\".");
  THexImageRange Range = LoadHexText(File, Image, FileName);
  if (File.bad()) throw EMachineError("Unable to read the hex file \"" + FileName + "\".");
  return Range;
}
