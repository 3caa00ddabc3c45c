// The memory grid of the CPU page: all 64 KiB of the processor's memory, 16
// bytes a row, in hexadecimal or decimal, editable cell by cell.
//
// The grid has 18 columns and 4097 rows as the program lays it out: row 0 and
// column 0 are fixed (the column offsets and the row addresses), columns 1 to
// 16 hold the bytes, and column 17 the row's 16 bytes as text. Cell (c, r) with
// 1 <= c <= 16 and 1 <= r <= 4096 is the byte at (r - 1) x 16 + (c - 1). Here
// the fixed row and column are the view's headers and the top-left corner; the
// model holds rows 1..4096 and columns 1..17 at model row r - 1, column c - 1.
//
// The grid reads memory only while it paints, and paints only the rows in
// view: RefreshGrid after a run-loop pass costs one repaint of what is shown,
// whatever the size of memory.
//
// Editing follows the grid's pending edit: opening the editor on a cell makes it
// the cell under edit with its byte as the pending text; each change of the
// editor's text replaces the pending text; Enter, or moving to another byte
// cell, commits it (the window's commit handler reads and stores it); Escape,
// or a move into the text column (which cannot be selected), drops it.
#pragma once

#include <QHeaderView>
#include <QPoint>
#include <QStyledItemDelegate>
#include <QTableView>
#include <functional>

class QAbstractButton;
class TCpuEmu;
class TCpuMemoryGrid;

// Rows 1..4096 and columns 1..17 of the grid, read from the processor as they are painted.
class TCpuMemoryModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int ByteColumns = 16;
  static constexpr int TextColumn = ByteColumns;  // model column of grid column 17
  static constexpr int Rows = 4096;

  explicit TCpuMemoryModel(TCpuMemoryGrid& Grid);

  int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation, int Role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& Index) const override;
  // Edits are committed through the grid (CommitPendingEdit), never here.
  bool setData(const QModelIndex& Index, const QVariant& Value, int Role = Qt::EditRole) override;

  // The headers changed with the radix.
  void RadixChanged();

 private:
  TCpuMemoryGrid& FGrid;
};

// The fixed row and column: drawn flat like the grid's fixed cells, text 3
// pixels inside, with the width (vertical) or height (horizontal) the grid's
// layout gives.
class TCpuMemoryGridHeader final : public QHeaderView {
  Q_OBJECT

 public:
  TCpuMemoryGridHeader(Qt::Orientation Orientation, QWidget* Parent);
  void SetExtent(int Extent);
  QSize sizeHint() const override;

 protected:
  void paintSection(QPainter* Painter, const QRect& Rect, int LogicalIndex) const override;

 private:
  int FExtent = 20;
};

// Draws the byte and text cells, and makes the editors of byte cells.
class TCpuMemoryGridDelegate final : public QStyledItemDelegate {
  Q_OBJECT

 public:
  explicit TCpuMemoryGridDelegate(TCpuMemoryGrid& Grid);
  void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;
  QWidget* createEditor(QWidget* Parent, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;
  void setEditorData(QWidget* Editor, const QModelIndex& Index) const override;
  void setModelData(QWidget* Editor, QAbstractItemModel* Model, const QModelIndex& Index) const override;
  void updateEditorGeometry(QWidget* Editor, const QStyleOptionViewItem& Option,
                            const QModelIndex& Index) const override;

 private:
  TCpuMemoryGrid& FGrid;
};

class TCpuMemoryGrid final : public QTableView {
  Q_OBJECT

 public:
  static constexpr int ColumnCount = 18;
  static constexpr int RowCount = 4097;
  static constexpr int TextMargin = 3;  // text stands this far inside a cell's edges

  explicit TCpuMemoryGrid(QWidget* Parent = nullptr);

  // The processor whose memory is shown; none: only the fixed cells are drawn.
  void SetCpu(TCpuEmu* Cpu);
  TCpuEmu* Cpu() const { return FCpu; }
  bool IsHex() const { return FHex; }

  // LayoutMemoryGrid: the radix, and the row height and column widths measured
  // in the grid's font for it; then the grid repaints.
  void LayoutGrid(bool Hex);
  int RowHeight() const { return FRowHeight; }
  // Width of grid column 0..17.
  int ColumnWidth(int Column) const;
  // Repaints what is in view (after a step, a pass, a load).
  void RefreshGrid();

  // The text grid cell (Column, Row) shows, the fixed ones included; empty
  // outside the grid and for memory cells without a processor.
  QString CellText(int Column, int Row) const;
  // The address of byte cell (Column, Row); -1 for any other cell.
  static int CellAddress(int Column, int Row);
  // The model index of grid cell (Column, Row) (invalid for the fixed ones).
  QModelIndex IndexOfCell(int Column, int Row) const;
  // The selected byte cell as (column, row), or (-1, -1).
  QPoint SelectedCell() const;
  // The rectangle of grid cell (Column, Row) in the grid's coordinates (the
  // fixed ones included); empty when it is out of view.
  QRect CellRect(int Column, int Row) const;
  // The first and last grid rows in view.
  int TopRow() const;
  int BottomRow() const;
  // Byte and text cells painted since the last reset: what a refresh costs.
  int PaintedCellCount() const { return FPaintedCells; }
  void ResetPaintedCellCount() { FPaintedCells = 0; }
  void CountPaintedCell() const { ++FPaintedCells; }

  // ---- The pending edit ----------------------------------------------------------------
  const QString& GridEditText() const { return FGridEditText; }
  // (column, row) of the cell under edit; (-1, -1) when none.
  QPoint GridEditCell() const { return FGridEditCell; }
  // The editor opens on a cell: its text, which becomes the pending text.
  QString CpuMemoryGridGetEditText(int Column, int Row);
  // The editor's text changed.
  void CpuMemoryGridSetEditText(int Column, int Row, const QString& Text);
  // The selection is to move to (Column, Row): a move into column 17 is
  // refused (false); any other move commits the pending edit first. Either
  // way there is no pending edit afterwards.
  bool CpuMemoryGridSelectCell(int Column, int Row);
  // A key on the grid: Escape drops the pending edit, Enter commits it, F5
  // repaints. True when the key was handled here.
  bool CpuMemoryGridKeyDown(int Key);
  // Commits the pending edit (when there is one) and clears it; false when the
  // commit handler refused the text (the byte is unchanged).
  bool CommitPendingEdit();
  // Drops the pending edit and closes the editor without storing anything.
  void DropPendingEdit();

  // Stores the pending text of a cell: Address and the text. Returns false and
  // changes nothing when the text cannot be used (the handler tells the user).
  std::function<bool(int Address, const QString& Text)> OnCommitEdit;

  // Used by the delegate and the model.
  void NoteEditor(QWidget* Editor, int Column, int Row);

 protected:
  void keyPressEvent(QKeyEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  QModelIndex moveCursor(CursorAction Action, Qt::KeyboardModifiers Modifiers) override;
  void closeEditor(QWidget* Editor, QAbstractItemDelegate::EndEditHint Hint) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void PaintCorner(QAbstractButton* Corner);
  void ClearPendingEdit();

  TCpuMemoryModel* FModel;
  TCpuMemoryGridHeader* FColumnHeader;
  TCpuMemoryGridHeader* FRowHeader;
  TCpuMemoryGridDelegate* FDelegate;
  QAbstractButton* FCorner = nullptr;
  TCpuEmu* FCpu = nullptr;
  bool FHex = true;
  int FRowHeight = 20;
  int FByteColumnWidth = 24;
  int FAddressColumnWidth = 40;
  int FTextColumnWidth = 130;
  QString FGridEditText;
  QPoint FGridEditCell{-1, -1};
  QWidget* FEditor = nullptr;
  mutable int FPaintedCells = 0;
};
