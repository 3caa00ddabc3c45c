// The terminal's two lookup tables: the keyboard map (key code -> key name -> VT100
// key name -> byte sequence text) and the character-set map (character set and
// character -> font and glyph), both hash tables of short strings loaded from
// resources in the "AHT3" format.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A growable character buffer that stays null-terminated.
class TCharQueue {
 public:
  TCharQueue() { Buffer.reserve(32); }
  void Add(char Ch) { Buffer.push_back(Ch); }
  void Clear() { Buffer.clear(); }
  std::size_t Count() const { return Buffer.size(); }
  const char* Data() const { return Buffer.c_str(); }
  std::string Copy() const { return Buffer; }

 private:
  std::string Buffer;
};

// The longest key, value or name a map stores; longer ones are cut.
inline constexpr std::size_t MaxMapStringLength = 63;

// The ELF hash of a short string, starting from Seed.
uint32_t AdElfHash(std::string_view Text, uint32_t Seed);

class TAdKeyboardMapping {
 public:
  static constexpr std::size_t BucketCount = 57;

  TAdKeyboardMapping();
  bool Add(std::string_view Key, std::string_view Value);
  // The value of Key, or the empty string when Key is absent.
  std::string Get(std::string_view Key) const;
  void Clear();
  int Count() const { return PairCount; }
  // Loads the named resource of the program; nothing (an empty map) when it is absent
  // or its magic is wrong. A record that runs past the data, or a length above 63,
  // leaves the map empty and raises EAPDException.
  void LoadFromStream(std::string_view ResourceName);
  void LoadFromData(std::span<const uint8_t> Data);

 private:
  struct TPair {
    std::string Key;
    std::string Value;
  };
  std::vector<std::vector<TPair>> Buckets;  // each bucket's chain, newest first at the back
  int PairCount = 0;
};

// One run of text in one font, produced for painting.
struct TAdDrawCommand {
  std::string Font;
  std::string Text;
};

class TAdCharSetMapping {
 public:
  static constexpr std::size_t BucketCount = 199;
  static constexpr const char* DefaultFontName = "<Default>";

  TAdCharSetMapping();
  bool Add(std::string_view CharSet, uint8_t FromCh, uint8_t ToCh, std::string_view Font, uint8_t GlyphFrom);
  // The entry of a character in a character set; false when it has none.
  bool Find(std::string_view CharSet, uint8_t Ch, std::string& Font, uint8_t& Glyph) const;
  void GenerateDrawScript(std::string_view CharSet, std::string_view Text);
  bool GetNextDrawCommand(std::string& Font, std::string& Text);
  void GetFontNames(std::vector<std::string>& List) const;
  void Clear();
  int Count() const { return EntryCount; }
  void LoadFromStream(std::string_view ResourceName);
  void LoadFromData(std::span<const uint8_t> Data);

 private:
  struct TEntry {
    std::string CharSet;
    std::string Font;
    uint8_t Ch;
    uint8_t Glyph;
  };
  const TEntry* FindEntry(std::string_view CharSet, uint8_t Ch) const;
  std::size_t BucketOf(std::string_view CharSet, uint8_t Ch) const;

  std::vector<std::vector<TEntry>> Buckets;
  TCharQueue Queue;
  int EntryCount = 0;
  std::deque<TAdDrawCommand> Script;
};
