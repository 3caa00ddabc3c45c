// A lamp of 13 by 13 pixels: lit or unlit, drawn in its two colours with a raised
// bevel, or taken from a glyph picture that holds the lit lamp in its left half
// and the unlit one in its right half. The Disks page shows four, one per drive.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>
#include <QWidget>

class TApdStatusLight : public QWidget {
  Q_OBJECT

 public:
  static constexpr int DefaultSize = 13;

  explicit TApdStatusLight(QWidget* Parent = nullptr);

  bool GetLit() const { return FLit; }
  void SetLit(bool Value);
  QColor GetLitColor() const { return FLitColor; }
  void SetLitColor(const QColor& Value);
  QColor GetNotLitColor() const { return FNotLitColor; }
  void SetNotLitColor(const QColor& Value);
  // Both lamp states side by side; a null pixmap returns to the colours. The
  // lamp takes half the glyph's width and its height.
  const QPixmap& GetGlyph() const { return FGlyph; }
  void SetGlyph(const QPixmap& Value);
  bool HasGlyph() const { return FHasGlyph; }
  // Places the lamp; with a glyph its size stays the glyph's.
  void SetBounds(int Left, int Top, int Width, int Height);
  QString GetVersion() const { return QStringLiteral("v4.06"); }

  QSize sizeHint() const override { return size(); }

 protected:
  void paintEvent(QPaintEvent* Event) override;

 private:
  void Resize(int Width, int Height);

  QPixmap FGlyph;
  bool FLit = false;
  QColor FLitColor{255, 0, 0};
  QColor FNotLitColor{0, 128, 0};
  bool FHasGlyph = false;
};
