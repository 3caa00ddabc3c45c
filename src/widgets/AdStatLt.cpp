#include "AdStatLt.h"

#include <QBitmap>
#include <QPainter>

TApdStatusLight::TApdStatusLight(QWidget* Parent) : QWidget(Parent) { Resize(DefaultSize, DefaultSize); }

void TApdStatusLight::Resize(int Width, int Height) {
  setFixedSize(Width, Height);
  updateGeometry();
}

void TApdStatusLight::SetLit(bool Value) {
  if (Value == FLit) return;
  FLit = Value;
  update();
}

void TApdStatusLight::SetLitColor(const QColor& Value) {
  if (Value == FLitColor) return;
  FLitColor = Value;
  if (!FHasGlyph && FLit) update();
}

void TApdStatusLight::SetNotLitColor(const QColor& Value) {
  if (Value == FNotLitColor) return;
  FNotLitColor = Value;
  if (!FHasGlyph && !FLit) update();
}

void TApdStatusLight::SetGlyph(const QPixmap& Value) {
  FGlyph = Value;
  FHasGlyph = !Value.isNull();
  if (FHasGlyph)
    Resize(FGlyph.width() / 2, FGlyph.height());
  else
    Resize(DefaultSize, DefaultSize);
  update();
}

void TApdStatusLight::SetBounds(int Left, int Top, int Width, int Height) {
  if (FHasGlyph) {
    Width = FGlyph.width() / 2;
    Height = FGlyph.height();
  }
  move(Left, Top);
  Resize(Width, Height);
}

void TApdStatusLight::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const int w = width();
  const int h = height();
  if (FHasGlyph) {
    // Pixels of the glyph's top-left colour are transparent: the parent's
    // background shows through them.
    QPixmap part = FGlyph.copy(FLit ? 0 : w, 0, w, h);
    const QColor transparent = FGlyph.toImage().pixelColor(0, 0);
    part.setMask(part.createMaskFromColor(transparent, Qt::MaskInColor));
    painter.drawPixmap(0, 0, part);
    return;
  }
  painter.fillRect(rect(), FLit ? FLitColor : FNotLitColor);
  // A raised bevel: light along the top and left, dark along the right and bottom.
  const QColor light(255, 255, 255);
  const QColor dark(128, 128, 128);
  painter.fillRect(QRect(0, 0, w, 1), light);
  painter.fillRect(QRect(0, 0, 1, h), light);
  painter.fillRect(QRect(w - 1, 1, 1, h - 1), dark);
  painter.fillRect(QRect(1, h - 1, w - 1, 1), dark);
}
