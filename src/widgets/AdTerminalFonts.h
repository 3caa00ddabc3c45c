// The fonts a terminal draws its cells in: its own font (the character-set map's
// "<Default>") and every other face the map names, each resolved to a font the host
// has, measured once, with its 256 glyph codes looked up once so that a run of cells
// is drawn as one glyph run with every glyph on its cell.
#pragma once

#include <QFont>
#include <QList>
#include <QPointF>
#include <QRawFont>
#include <array>
#include <bitset>
#include <memory>
#include <string>
#include <vector>

class QPainter;

// One face at the terminal's size.
class TAdTerminalFace {
 public:
  // Family empty: the terminal's own font. Oem: the face's glyph codes are those of
  // the PC's code page 437 (the "Terminal" face), else of the Windows Latin-1 page.
  TAdTerminalFace(const QFont& Base, const QString& Family, bool Oem);

  const QFont& GetFont() const { return FFont; }
  int GetAscent() const { return FAscent; }
  // Height with the leading, at least 1.
  int GetLineHeight() const { return FLineHeight; }
  // The widest printable ASCII character, at least 1.
  int GetMaxCharWidth() const { return FMaxCharWidth; }
  // The character a glyph code shows.
  char16_t CharacterOf(uint8_t Code) const { return FCharacters[Code]; }

  // Draws Count glyph codes from Left, one every Advance pixels, on the baseline.
  void DrawText(QPainter& Painter, qreal Left, qreal Baseline, qreal Advance, const char* Codes, int Count) const;

 private:
  QFont FFont;
  QRawFont FRawFont;
  int FAscent = 1;
  int FLineHeight = 1;
  int FMaxCharWidth = 1;
  std::array<char16_t, 256> FCharacters{};
  std::array<quint32, 256> FGlyphs{};
  // Codes the face has no glyph for: drawn with the toolkit's font fallback.
  std::bitset<256> FFallback;
  // Reused between runs.
  mutable QList<quint32> FRunGlyphs;
  mutable QList<QPointF> FRunPositions;
};

// The faces of one terminal by the names the character-set map uses.
class TAdTerminalFonts {
 public:
  // The terminal's font and the extra spacing between cells; drops every face made so far.
  void SetBase(const QFont& Base, int ExtraHorzSpacing, int ExtraVertSpacing);
  // Measures the faces named (the terminal's own font when the list is empty): the
  // cell is as high as the highest and as wide as the terminal's own font's widest
  // character, plus the spacing, and never less than 1 by 1.
  void Measure(const std::vector<std::string>& FontNames);
  int GetCellWidth() const { return FCellWidth; }
  int GetCellHeight() const { return FCellHeight; }
  // The face of a name ("<Default>" the terminal's own font), made on first use.
  const TAdTerminalFace& Face(const std::string& Name);

  // True when the host has a font family of that name.
  static bool HostHasFamily(const QString& Family);
  // Family when the host has it, else the host's fixed-pitch font, at Base's size.
  static QFont ResolveFont(const QFont& Base, const QString& Family);

 private:
  struct TNamedFace {
    std::string Name;
    std::unique_ptr<TAdTerminalFace> Face;
  };
  QFont FBase;
  int FExtraHorzSpacing = 0;
  int FExtraVertSpacing = 0;
  int FCellWidth = 1;
  int FCellHeight = 1;
  std::vector<TNamedFace> FFaces;
};
