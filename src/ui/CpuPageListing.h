// The listing of the CPU page: the instructions from the program counter on,
// one a line, with their address and their text; where the disassembler has no
// text for the bytes, "???" and the bytes. Lines follow one another by the
// length the processor executes, so the listing never stalls or drifts.
#pragma once

#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <functional>

class TCpuEmu;

// One listing line for the instruction at Address: "AAAA TEXT", or "AAAA ???
// BBBB" with all of its bytes in hexadecimal where there is no text. Length :=
// the instruction's length in bytes (at least 1). Addresses wrap from FFFFh to
// 0000h; nothing is read outside memory.
QString CpuListingLine(const TCpuEmu& Cpu, uint16_t Address, int& Length);

// The lines of Count instructions from Address on.
QStringList CpuListingLines(const TCpuEmu& Cpu, uint16_t Address, int Count);

// Shows the lines it is given, the first one highlighted (the next instruction).
class TCpuListingView final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int DefaultLineCount = 16;
  static constexpr int Columns = 24;

  explicit TCpuListingView(QWidget* Parent = nullptr);

  // Shows Lines; repaints only when they differ from what is shown.
  void SetLines(const QStringList& Lines);
  const QStringList& Lines() const { return FLines; }
  // How many lines fit the view (at least one).
  int LineCount() const;
  int LineHeight() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // Called when a resize changes how many lines fit, so that the owner can
  // fill the view anew.
  std::function<void()> OnLineCountChanged;

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void resizeEvent(QResizeEvent* Event) override;

 private:
  QStringList FLines;
};
