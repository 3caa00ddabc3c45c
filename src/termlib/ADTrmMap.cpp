#include "ADTrmMap.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "AdExcept.h"
#include "AdResources.h"

namespace {

std::string_view Cut(std::string_view Text) { return Text.substr(0, std::min(Text.size(), MaxMapStringLength)); }

bool SameIgnoringCase(std::string_view A, std::string_view B) {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
           return std::tolower(static_cast<unsigned char>(X)) == std::tolower(static_cast<unsigned char>(Y));
         });
}

// Reads an "AHT3" table: magic, count, records, magic. Every length and count is
// checked against the data.
class TAht3Reader {
 public:
  explicit TAht3Reader(std::span<const uint8_t> Data) : Data(Data) {}

  // False when the leading magic is absent.
  bool ReadHeader(uint32_t& Count) {
    if (!ReadMagic()) return false;
    if (Remaining() < 4) Fail("its record count is missing");
    Count = static_cast<uint32_t>(Data[Position]) | static_cast<uint32_t>(Data[Position + 1]) << 8 |
            static_cast<uint32_t>(Data[Position + 2]) << 16 | static_cast<uint32_t>(Data[Position + 3]) << 24;
    Position += 4;
    // Every record needs at least two bytes; a count beyond that cannot be right.
    if (Count > Remaining() / 2) Fail("its record count exceeds its size");
    return true;
  }
  std::string_view ReadString() {
    if (Remaining() < 1) Fail("a record is cut short");
    const std::size_t Length = Data[Position++];
    if (Length > MaxMapStringLength) Fail("a string is longer than 63 characters");
    if (Remaining() < Length) Fail("a record is cut short");
    std::string_view Text(reinterpret_cast<const char*>(Data.data() + Position), Length);
    Position += Length;
    return Text;
  }
  uint8_t ReadByte() {
    if (Remaining() < 1) Fail("a record is cut short");
    return Data[Position++];
  }
  bool ReadMagic() {
    if (Remaining() < 4 || std::memcmp(Data.data() + Position, "AHT3", 4) != 0) return false;
    Position += 4;
    return true;
  }

 private:
  std::size_t Remaining() const { return Data.size() - Position; }
  [[noreturn]] static void Fail(const char* Why) {
    throw EAPDException(std::string("The terminal table is damaged: ") + Why + ".");
  }

  std::span<const uint8_t> Data;
  std::size_t Position = 0;
};

}  // namespace

uint32_t AdElfHash(std::string_view Text, uint32_t Seed) {
  uint32_t H = Seed;
  for (char C : Text) {
    H = (H << 4) + static_cast<uint8_t>(C);
    const uint32_t G = H & 0xF0000000u;
    if (G != 0) H ^= G >> 24;
    H &= ~G;
  }
  return H;
}

// ---------------------------------------------------------------- TAdKeyboardMapping

TAdKeyboardMapping::TAdKeyboardMapping() : Buckets(BucketCount) {}

bool TAdKeyboardMapping::Add(std::string_view Key, std::string_view Value) {
  Key = Cut(Key);
  auto& Chain = Buckets[AdElfHash(Key, 0) % BucketCount];
  for (const TPair& Pair : Chain)
    if (Pair.Key == Key) return false;
  Chain.push_back(TPair{std::string(Key), std::string(Cut(Value))});
  ++PairCount;
  return true;
}

std::string TAdKeyboardMapping::Get(std::string_view Key) const {
  Key = Cut(Key);
  const auto& Chain = Buckets[AdElfHash(Key, 0) % BucketCount];
  for (const TPair& Pair : Chain)
    if (Pair.Key == Key) return Pair.Value;
  return {};
}

void TAdKeyboardMapping::Clear() {
  for (auto& Chain : Buckets) Chain.clear();
  PairCount = 0;
}

void TAdKeyboardMapping::LoadFromStream(std::string_view ResourceName) {
  Clear();
  const auto Data = FindTerminalResource(ResourceName);
  if (Data.empty()) return;
  LoadFromData(Data);
}

void TAdKeyboardMapping::LoadFromData(std::span<const uint8_t> Data) {
  Clear();
  try {
    TAht3Reader Reader(Data);
    uint32_t Count = 0;
    if (!Reader.ReadHeader(Count)) return;
    for (uint32_t I = 0; I < Count; ++I) {
      const std::string_view Key = Reader.ReadString();
      const std::string_view Value = Reader.ReadString();
      Add(Key, Value);
    }
    if (!Reader.ReadMagic()) Clear();
  } catch (...) {
    Clear();
    throw;
  }
}

// ---------------------------------------------------------------- TAdCharSetMapping

TAdCharSetMapping::TAdCharSetMapping() : Buckets(BucketCount) {}

std::size_t TAdCharSetMapping::BucketOf(std::string_view CharSet, uint8_t Ch) const {
  return AdElfHash(Cut(CharSet), Ch) % BucketCount;
}

const TAdCharSetMapping::TEntry* TAdCharSetMapping::FindEntry(std::string_view CharSet, uint8_t Ch) const {
  CharSet = Cut(CharSet);
  for (const TEntry& Entry : Buckets[BucketOf(CharSet, Ch)])
    if (Entry.Ch == Ch && Entry.CharSet == CharSet) return &Entry;
  return nullptr;
}

bool TAdCharSetMapping::Add(std::string_view CharSet, uint8_t FromCh, uint8_t ToCh, std::string_view Font, uint8_t GlyphFrom) {
  if (FromCh > ToCh) return true;
  for (int Ch = FromCh; Ch <= ToCh; ++Ch)
    if (FindEntry(CharSet, static_cast<uint8_t>(Ch)) != nullptr) return false;
  for (int Ch = FromCh; Ch <= ToCh; ++Ch) {
    Buckets[BucketOf(CharSet, static_cast<uint8_t>(Ch))].push_back(
        TEntry{std::string(Cut(CharSet)), std::string(Cut(Font)), static_cast<uint8_t>(Ch),
               static_cast<uint8_t>(GlyphFrom + (Ch - FromCh))});
    ++EntryCount;
  }
  return true;
}

bool TAdCharSetMapping::Find(std::string_view CharSet, uint8_t Ch, std::string& Font, uint8_t& Glyph) const {
  const TEntry* Entry = FindEntry(CharSet, Ch);
  if (Entry == nullptr) return false;
  Font = Entry->Font;
  Glyph = Entry->Glyph;
  return true;
}

void TAdCharSetMapping::GenerateDrawScript(std::string_view CharSet, std::string_view Text) {
  if (Text.empty()) return;
  Script.clear();
  Queue.Clear();
  std::string RunFont;
  for (char C : Text) {
    const TEntry* Entry = FindEntry(CharSet, static_cast<uint8_t>(C));
    const std::string_view Font = Entry != nullptr ? std::string_view(Entry->Font) : std::string_view(DefaultFontName);
    const char Glyph = Entry != nullptr ? static_cast<char>(Entry->Glyph) : C;
    if (Queue.Count() > 0 && Font != RunFont) {
      Script.push_back(TAdDrawCommand{RunFont, Queue.Copy()});
      Queue.Clear();
    }
    if (Queue.Count() == 0) RunFont = Font;
    Queue.Add(Glyph);
  }
  if (Queue.Count() > 0) Script.push_back(TAdDrawCommand{RunFont, Queue.Copy()});
  Queue.Clear();
}

bool TAdCharSetMapping::GetNextDrawCommand(std::string& Font, std::string& Text) {
  if (Script.empty()) return false;
  Font = std::move(Script.front().Font);
  Text = std::move(Script.front().Text);
  Script.pop_front();
  return true;
}

void TAdCharSetMapping::GetFontNames(std::vector<std::string>& List) const {
  List.clear();
  std::string Previous;
  for (const auto& Chain : Buckets)
    for (auto Entry = Chain.rbegin(); Entry != Chain.rend(); ++Entry) {
      if (!SameIgnoringCase(Entry->Font, Previous) &&
          std::none_of(List.begin(), List.end(), [&](const std::string& Name) { return SameIgnoringCase(Name, Entry->Font); }))
        List.push_back(Entry->Font);
      Previous = Entry->Font;
    }
}

void TAdCharSetMapping::Clear() {
  Script.clear();
  for (auto& Chain : Buckets) Chain.clear();
  EntryCount = 0;
}

void TAdCharSetMapping::LoadFromStream(std::string_view ResourceName) {
  Clear();
  const auto Data = FindTerminalResource(ResourceName);
  if (Data.empty()) return;
  LoadFromData(Data);
}

void TAdCharSetMapping::LoadFromData(std::span<const uint8_t> Data) {
  Clear();
  try {
    TAht3Reader Reader(Data);
    uint32_t Count = 0;
    if (!Reader.ReadHeader(Count)) return;
    for (uint32_t I = 0; I < Count; ++I) {
      const std::string_view CharSet = Reader.ReadString();
      const std::string_view Font = Reader.ReadString();
      const uint8_t Ch = Reader.ReadByte();
      const uint8_t Glyph = Reader.ReadByte();
      Add(CharSet, Ch, Ch, Font, Glyph);
    }
    if (!Reader.ReadMagic()) Clear();
  } catch (...) {
    Clear();
    throw;
  }
}
