#include "AdTerminalFonts.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QPainter>
#include <QSet>
#include <algorithm>

#include "ADTrmMap.h"
#include "HostFixedPitchFont.h"

namespace {

// The PC's code page 437: what the "Terminal" face shows for each code, line-drawing
// characters included.
constexpr char16_t Cp437[256] = {
    0x0000, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022, 0x25D8, 0x25CB, 0x25D9, 0x2642, 0x2640, 0x266A,
    0x266B, 0x263C, 0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8, 0x2191, 0x2193, 0x2192, 0x2190,
    0x221F, 0x2194, 0x25B2, 0x25BC, 0x0020, 0x0021, 0x0022, 0x0023, 0x0024, 0x0025, 0x0026, 0x0027, 0x0028, 0x0029,
    0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F, 0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F, 0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045,
    0x0046, 0x0047, 0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F, 0x0050, 0x0051, 0x0052, 0x0053,
    0x0054, 0x0055, 0x0056, 0x0057, 0x0058, 0x0059, 0x005A, 0x005B, 0x005C, 0x005D, 0x005E, 0x005F, 0x0060, 0x0061,
    0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067, 0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F,
    0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077, 0x0078, 0x0079, 0x007A, 0x007B, 0x007C, 0x007D,
    0x007E, 0x2302, 0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561,
    0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C,
    0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564,
    0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6,
    0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A,
    0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Codes 0x80..0x9F of the Windows Latin-1 page; the rest of it is ISO Latin-1.
constexpr char16_t Windows1252High[32] = {
    0x20AC, 0x0000, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x0000, 0x017D, 0x0000, 0x0000, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x0000, 0x017E, 0x0178,
};

char16_t Windows1252(uint8_t Code) {
  if (Code < 0x20 || Code == 0x7F) return 0;  // control characters have no picture in a text face
  if (Code >= 0x80 && Code < 0xA0) return Windows1252High[Code - 0x80];
  return Code;
}

bool IsBlank(char16_t Character) { return Character == 0 || Character == 0x20 || Character == 0xA0; }

}  // namespace

// ---------------------------------------------------------------- TAdTerminalFace

TAdTerminalFace::TAdTerminalFace(const QFont& Base, const QString& Family, bool Oem)
    : FFont(TAdTerminalFonts::ResolveFont(Base, Family.isEmpty() ? Base.family() : Family)),
      FRawFont(QRawFont::fromFont(FFont)) {
  const QFontMetrics Metrics(FFont);
  FAscent = std::max(Metrics.ascent(), 0);
  FLineHeight = std::max(Metrics.height() + std::max(Metrics.leading(), 0), 1);
  int Widest = 0;
  for (char16_t C = 0x20; C < 0x7F; ++C) Widest = std::max(Widest, Metrics.horizontalAdvance(QChar(C)));
  FMaxCharWidth = std::max(Widest, 1);

  QString All;
  for (int Code = 0; Code < 256; ++Code) {
    FCharacters[static_cast<std::size_t>(Code)] = Oem ? Cp437[Code] : Windows1252(static_cast<uint8_t>(Code));
    // Blanks stand in for codes without a picture so that glyphs and codes stay in step.
    const char16_t C = FCharacters[static_cast<std::size_t>(Code)];
    All.append(QChar(IsBlank(C) ? char16_t(0x20) : C));
  }
  const QList<quint32> Glyphs = FRawFont.isValid() ? FRawFont.glyphIndexesForString(All) : QList<quint32>();
  for (int Code = 0; Code < 256; ++Code) {
    const char16_t C = FCharacters[static_cast<std::size_t>(Code)];
    const quint32 Glyph = Code < Glyphs.size() ? Glyphs[Code] : 0;
    FGlyphs[static_cast<std::size_t>(Code)] = Glyph;
    if (!IsBlank(C) && (Glyph == 0 || !FRawFont.supportsCharacter(QChar(C)))) FFallback.set(static_cast<std::size_t>(Code));
  }
}

void TAdTerminalFace::DrawText(QPainter& Painter, qreal Left, qreal Baseline, qreal Advance, const char* Codes,
                               int Count) const {
  FRunGlyphs.clear();
  FRunPositions.clear();
  bool AnyFallback = false;
  for (int I = 0; I < Count; ++I) {
    const uint8_t Code = static_cast<uint8_t>(Codes[I]);
    if (IsBlank(FCharacters[Code])) continue;
    if (FFallback.test(Code)) {
      AnyFallback = true;
      continue;
    }
    FRunGlyphs.append(FGlyphs[Code]);
    FRunPositions.append(QPointF(Left + I * Advance, Baseline));
  }
  if (!FRunGlyphs.isEmpty()) {
    QGlyphRun Run;
    Run.setRawFont(FRawFont);
    Run.setGlyphIndexes(FRunGlyphs);
    Run.setPositions(FRunPositions);
    Painter.drawGlyphRun(QPointF(0, 0), Run);
  }
  if (!AnyFallback) return;
  // Characters this face lacks: the toolkit finds them in another font.
  Painter.setFont(FFont);
  for (int I = 0; I < Count; ++I) {
    const uint8_t Code = static_cast<uint8_t>(Codes[I]);
    if (FFallback.test(Code)) Painter.drawText(QPointF(Left + I * Advance, Baseline), QString(QChar(FCharacters[Code])));
  }
}

// ---------------------------------------------------------------- TAdTerminalFonts

bool TAdTerminalFonts::HostHasFamily(const QString& Family) {
  static const QSet<QString> Families = [] {
    QSet<QString> Names;
    for (const QString& Name : QFontDatabase::families()) Names.insert(Name.toLower());
    return Names;
  }();
  return Families.contains(Family.toLower());
}

QFont TAdTerminalFonts::ResolveFont(const QFont& Base, const QString& Family) {
  QFont Font = HostHasFamily(Family) ? Base : HostFixedPitchFont();
  if (HostHasFamily(Family)) Font.setFamily(Family);
  if (Base.pixelSize() > 0)
    Font.setPixelSize(Base.pixelSize());
  else if (Base.pointSizeF() > 0)
    Font.setPointSizeF(Base.pointSizeF());
  Font.setWeight(Base.weight());
  Font.setItalic(Base.italic());
  Font.setKerning(false);
  Font.setStyleHint(QFont::TypeWriter);
  return Font;
}

void TAdTerminalFonts::SetBase(const QFont& Base, int ExtraHorzSpacing, int ExtraVertSpacing) {
  FBase = Base;
  FExtraHorzSpacing = ExtraHorzSpacing;
  FExtraVertSpacing = ExtraVertSpacing;
  FFaces.clear();
}

void TAdTerminalFonts::Measure(const std::vector<std::string>& FontNames) {
  const TAdTerminalFace& Own = Face(TAdCharSetMapping::DefaultFontName);
  int Height = Own.GetLineHeight();
  for (const std::string& Name : FontNames) Height = std::max(Height, Face(Name).GetLineHeight());
  FCellWidth = std::max(Own.GetMaxCharWidth() + FExtraHorzSpacing, 1);
  FCellHeight = std::max(Height + FExtraVertSpacing, 1);
}

const TAdTerminalFace& TAdTerminalFonts::Face(const std::string& Name) {
  for (const TNamedFace& Named : FFaces)
    if (Named.Name == Name) return *Named.Face;
  const bool Own = Name == TAdCharSetMapping::DefaultFontName;
  const QString Family = Own ? QString() : QString::fromStdString(Name);
  FFaces.push_back({Name, std::make_unique<TAdTerminalFace>(FBase, Family, !Own && Family.compare("Terminal", Qt::CaseInsensitive) == 0)});
  return *FFaces.back().Face;
}
