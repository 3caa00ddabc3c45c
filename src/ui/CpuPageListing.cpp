#include "CpuPageListing.h"

#include <QPaintEvent>
#include <QResizeEvent>
#include <QPainter>
#include <string>

#include "CpuEmu.h"
#include "OpcodeToText.h"
#include "SimpleTerminal.h"

namespace {

constexpr int Margin = 3;

QString Hex(uint32_t Value, int Digits) {
  return QStringLiteral("%1").arg(Value, Digits, 16, QLatin1Char('0')).toUpper();
}

}  // namespace

QString CpuListingLine(const TCpuEmu& Cpu, uint16_t Address, int& Length) {
  const uint32_t Instr = ReadInstructionBytes(Cpu, Address);
  Length = std::max(1, InstructionLength(Instr));
  std::string Text;
  DisassembleInstruction(Instr, Text);
  QString Line = Hex(Address, 4) + QLatin1Char(' ') + QString::fromStdString(Text);
  if (FindOpcode(Instr) < 0) {
    // No text: the bytes the processor takes as one instruction.
    Line += QLatin1Char(' ');
    for (int Index = 0; Index < Length; ++Index) Line += Hex(Cpu.ReadByte(static_cast<uint16_t>(Address + Index)), 2);
  }
  return Line;
}

QStringList CpuListingLines(const TCpuEmu& Cpu, uint16_t Address, int Count) {
  QStringList Lines;
  for (int Line = 0; Line < Count; ++Line) {
    int Length = 1;
    Lines << CpuListingLine(Cpu, Address, Length);
    Address = static_cast<uint16_t>(Address + Length);
  }
  return Lines;
}

TCpuListingView::TCpuListingView(QWidget* Parent) : QWidget(Parent) {
  setFont(TSimpleTerminal::FixedPitchFont(QStringLiteral("Lucida Console"), 13));
  setAutoFillBackground(false);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
}

void TCpuListingView::SetLines(const QStringList& Lines) {
  if (Lines == FLines) return;
  FLines = Lines;
  update();
}

void TCpuListingView::resizeEvent(QResizeEvent* Event) {
  QWidget::resizeEvent(Event);
  if (OnLineCountChanged && LineCount() != FLines.size()) OnLineCountChanged();
}

int TCpuListingView::LineHeight() const { return fontMetrics().height() + 2; }

int TCpuListingView::LineCount() const { return std::max(1, (height() - 2 * Margin) / LineHeight()); }

QSize TCpuListingView::sizeHint() const {
  return {fontMetrics().horizontalAdvance(QString(Columns, QLatin1Char('W'))) + 2 * Margin,
          DefaultLineCount * LineHeight() + 2 * Margin};
}

QSize TCpuListingView::minimumSizeHint() const { return {sizeHint().width(), LineHeight() + 2 * Margin}; }

void TCpuListingView::paintEvent(QPaintEvent* Event) {
  QPainter Painter(this);
  Painter.fillRect(Event->rect(), palette().base());
  Painter.setFont(font());
  const int Height = LineHeight();
  for (int Line = 0; Line < FLines.size(); ++Line) {
    const QRect Rect(0, Margin + Line * Height, width(), Height);
    if (Rect.top() > height()) break;
    if (!Event->rect().intersects(Rect)) continue;
    // The next instruction stands out.
    if (Line == 0) Painter.fillRect(Rect, palette().highlight());
    Painter.setPen(palette().color(Line == 0 ? QPalette::HighlightedText : QPalette::Text));
    Painter.drawText(Rect.adjusted(Margin, 1, -Margin, 0), static_cast<int>(Qt::AlignLeft | Qt::AlignTop),
                     FLines[Line]);
  }
  Painter.setPen(palette().color(QPalette::Mid));
  Painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
