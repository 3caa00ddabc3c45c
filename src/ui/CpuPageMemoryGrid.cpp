#include "CpuPageMemoryGrid.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>

#include "CpuEmu.h"
#include "CpuPageValues.h"
#include "SimpleTerminal.h"

namespace {

constexpr int Margin = TCpuMemoryGrid::TextMargin;

// Grid coordinates of a model index: the fixed row and column come first.
int GridColumn(const QModelIndex& Index) { return Index.column() + 1; }
int GridRow(const QModelIndex& Index) { return Index.row() + 1; }

// The 16 bytes of a row as text: a byte from 32 to 127 as itself, "." otherwise.
QString RowText(const TCpuEmu& Cpu, int Row) {
  QString Text(TCpuMemoryModel::ByteColumns, QLatin1Char('.'));
  const int First = (Row - 1) * TCpuMemoryModel::ByteColumns;
  for (int Column = 0; Column < TCpuMemoryModel::ByteColumns; ++Column) {
    const uint8_t Byte = Cpu.ReadByte(static_cast<uint16_t>(First + Column));
    if (Byte >= 32 && Byte <= 127) Text[Column] = QLatin1Char(static_cast<char>(Byte));
  }
  return Text;
}

}  // namespace

// ---------------------------------------------------------------- model

TCpuMemoryModel::TCpuMemoryModel(TCpuMemoryGrid& Grid) : QAbstractTableModel(&Grid), FGrid(Grid) {}

int TCpuMemoryModel::rowCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : Rows; }

int TCpuMemoryModel::columnCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : ByteColumns + 1; }

QVariant TCpuMemoryModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid()) return {};
  switch (Role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return FGrid.CellText(GridColumn(Index), GridRow(Index));
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::AlignTop | (Index.column() == TextColumn ? Qt::AlignLeft : Qt::AlignRight));
    default:
      return {};
  }
}

QVariant TCpuMemoryModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Role == Qt::DisplayRole)
    return Orientation == Qt::Horizontal ? FGrid.CellText(Section + 1, 0) : FGrid.CellText(0, Section + 1);
  if (Role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::AlignTop | (Orientation == Qt::Horizontal && Section == TextColumn
                                                   ? Qt::AlignLeft
                                                   : Qt::AlignRight));
  return {};
}

Qt::ItemFlags TCpuMemoryModel::flags(const QModelIndex& Index) const {
  if (!Index.isValid()) return Qt::NoItemFlags;
  // The text column shows, but cannot be selected or edited.
  if (Index.column() == TextColumn) return Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemNeverHasChildren;
}

bool TCpuMemoryModel::setData(const QModelIndex&, const QVariant&, int) { return false; }

void TCpuMemoryModel::RadixChanged() {
  emit headerDataChanged(Qt::Horizontal, 0, TextColumn);
  emit headerDataChanged(Qt::Vertical, 0, Rows - 1);
}

// ---------------------------------------------------------------- headers

TCpuMemoryGridHeader::TCpuMemoryGridHeader(Qt::Orientation Orientation, QWidget* Parent)
    : QHeaderView(Orientation, Parent) {
  setSectionsClickable(false);
  setHighlightSections(false);
  setSectionResizeMode(QHeaderView::Fixed);
  setMinimumSectionSize(1);
}

void TCpuMemoryGridHeader::SetExtent(int Extent) {
  FExtent = Extent;
  updateGeometry();
}

QSize TCpuMemoryGridHeader::sizeHint() const {
  return orientation() == Qt::Horizontal ? QSize(length(), FExtent) : QSize(FExtent, length());
}

void TCpuMemoryGridHeader::paintSection(QPainter* Painter, const QRect& Rect, int LogicalIndex) const {
  if (!Rect.isValid()) return;
  Painter->save();
  Painter->fillRect(Rect, palette().button());
  Painter->setPen(palette().color(QPalette::Mid));
  Painter->drawLine(Rect.topRight(), Rect.bottomRight());
  Painter->drawLine(Rect.bottomLeft(), Rect.bottomRight());
  Painter->setPen(palette().color(QPalette::ButtonText));
  Painter->setFont(font());
  const QVariant Alignment = model()->headerData(LogicalIndex, orientation(), Qt::TextAlignmentRole);
  Painter->drawText(Rect.adjusted(Margin, Margin, -Margin, 0), static_cast<int>(Alignment.value<Qt::Alignment>()),
                    model()->headerData(LogicalIndex, orientation(), Qt::DisplayRole).toString());
  Painter->restore();
}

// ---------------------------------------------------------------- delegate

TCpuMemoryGridDelegate::TCpuMemoryGridDelegate(TCpuMemoryGrid& Grid) : QStyledItemDelegate(&Grid), FGrid(Grid) {}

void TCpuMemoryGridDelegate::paint(QPainter* Painter, const QStyleOptionViewItem& Option,
                                   const QModelIndex& Index) const {
  FGrid.CountPaintedCell();
  const bool IsText = Index.column() == TCpuMemoryModel::TextColumn;
  const bool Selected = !IsText && (Option.state & QStyle::State_Selected);
  const QPalette& Colors = Option.palette;
  QColor Back = Colors.color(QPalette::Base);
  QColor Fore = Colors.color(QPalette::Text);
  if (IsText) {
    // The row's text stands on the colours of a tool tip.
    Back = Colors.color(QPalette::ToolTipBase);
    Fore = Colors.color(QPalette::ToolTipText);
  } else if (Selected) {
    Back = Colors.color(QPalette::Highlight);
    Fore = Colors.color(QPalette::HighlightedText);
  }
  Painter->fillRect(Option.rect, Back);
  const QString Text = FGrid.CellText(GridColumn(Index), GridRow(Index));
  if (Text.isEmpty()) return;
  QFont Font = FGrid.font();
  Font.setBold(Selected);
  Painter->setFont(Font);
  Painter->setPen(Fore);
  Painter->drawText(Option.rect.adjusted(Margin, Margin, -Margin, 0),
                    static_cast<int>(Qt::AlignTop | (IsText ? Qt::AlignLeft : Qt::AlignRight)), Text);
}

QWidget* TCpuMemoryGridDelegate::createEditor(QWidget* Parent, const QStyleOptionViewItem&,
                                              const QModelIndex& Index) const {
  auto* Editor = new QLineEdit(Parent);
  Editor->setObjectName(QStringLiteral("CpuMemoryGridEditor"));
  Editor->setFont(FGrid.font());
  Editor->setFrame(false);
  Editor->setAlignment(Qt::AlignRight);
  FGrid.NoteEditor(Editor, GridColumn(Index), GridRow(Index));
  TCpuMemoryGrid* Grid = &FGrid;
  const int Column = GridColumn(Index);
  const int Row = GridRow(Index);
  connect(Editor, &QLineEdit::textEdited, Grid,
          [Grid, Column, Row](const QString& Text) { Grid->CpuMemoryGridSetEditText(Column, Row, Text); });
  return Editor;
}

void TCpuMemoryGridDelegate::setEditorData(QWidget* Editor, const QModelIndex& Index) const {
  if (auto* Line = qobject_cast<QLineEdit*>(Editor))
    Line->setText(FGrid.CpuMemoryGridGetEditText(GridColumn(Index), GridRow(Index)));
}

void TCpuMemoryGridDelegate::setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const {
  // The editor's text is the pending edit; committing stores it through the grid.
  FGrid.CommitPendingEdit();
}

void TCpuMemoryGridDelegate::updateEditorGeometry(QWidget* Editor, const QStyleOptionViewItem& Option,
                                                  const QModelIndex&) const {
  Editor->setGeometry(Option.rect);
}

// ---------------------------------------------------------------- grid

TCpuMemoryGrid::TCpuMemoryGrid(QWidget* Parent)
    : QTableView(Parent),
      FModel(new TCpuMemoryModel(*this)),
      FColumnHeader(new TCpuMemoryGridHeader(Qt::Horizontal, this)),
      FRowHeader(new TCpuMemoryGridHeader(Qt::Vertical, this)),
      FDelegate(new TCpuMemoryGridDelegate(*this)) {
  setFont(TSimpleTerminal::FixedPitchFont(QStringLiteral("Lucida Console"), 13));
  setHorizontalHeader(FColumnHeader);
  setVerticalHeader(FRowHeader);
  setModel(FModel);
  setItemDelegate(FDelegate);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectItems);
  setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                  QAbstractItemView::AnyKeyPressed);
  setTabKeyNavigation(true);
  setWordWrap(false);
  setCornerButtonEnabled(false);
  // A click does not take the focus from an open editor before the grid has
  // seen where it went (mousePressEvent gives the grid the focus itself):
  // an editor losing its focus would commit its text, also on a click into the
  // text column, which drops it.
  setFocusPolicy(Qt::TabFocus);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  // The top-left cell shows the radix ("Hex" or "Dec").
  FCorner = findChild<QAbstractButton*>();
  if (FCorner != nullptr) FCorner->installEventFilter(this);
  LayoutGrid(true);
}

void TCpuMemoryGrid::SetCpu(TCpuEmu* Cpu) {
  FCpu = Cpu;
  RefreshGrid();
}

void TCpuMemoryGrid::LayoutGrid(bool Hex) {
  FHex = Hex;
  const QFontMetrics Metrics(font());
  // The height of "@~^0123456789ABCDEygj": the font's full height, which no
  // glyph of it exceeds.
  FRowHeight = std::max(Metrics.height(), Metrics.boundingRect(QStringLiteral("@~^0123456789ABCDEygj")).height()) +
               2 * Margin;
  FByteColumnWidth = Metrics.horizontalAdvance(Hex ? QStringLiteral("00") : QStringLiteral("000")) + 2 * Margin;
  FAddressColumnWidth = Metrics.horizontalAdvance(Hex ? QStringLiteral("0000") : QStringLiteral("00000")) + 2 * Margin;
  FTextColumnWidth = Metrics.horizontalAdvance(QString(16, QLatin1Char('W'))) + 2 * Margin;

  FColumnHeader->setFont(font());
  FRowHeader->setFont(font());
  FRowHeader->setDefaultSectionSize(FRowHeight);
  FRowHeader->SetExtent(FAddressColumnWidth);
  FColumnHeader->SetExtent(FRowHeight);
  for (int Column = 0; Column < TCpuMemoryModel::ByteColumns; ++Column)
    FColumnHeader->resizeSection(Column, FByteColumnWidth);
  FColumnHeader->resizeSection(TCpuMemoryModel::TextColumn, FTextColumnWidth);
  FModel->RadixChanged();
  updateGeometries();
  if (FCorner != nullptr) FCorner->update();
  viewport()->update();
}

int TCpuMemoryGrid::ColumnWidth(int Column) const {
  if (Column == 0) return FAddressColumnWidth;
  if (Column >= 1 && Column <= TCpuMemoryModel::ByteColumns) return FByteColumnWidth;
  return Column == ColumnCount - 1 ? FTextColumnWidth : 0;
}

void TCpuMemoryGrid::RefreshGrid() {
  // Only the cells in view are painted; memory is read as they are.
  viewport()->update();
}

QString TCpuMemoryGrid::CellText(int Column, int Row) const {
  if (Column < 0 || Column >= ColumnCount || Row < 0 || Row >= RowCount) return {};
  if (Row == 0) {
    if (Column == 0) return FHex ? QStringLiteral("Hex") : QStringLiteral("Dec");
    if (Column == ColumnCount - 1) return QStringLiteral("ASCII Text");
    return ByteText(static_cast<uint8_t>(Column - 1), FHex);
  }
  if (Column == 0) return AddressText(static_cast<uint32_t>((Row - 1) * TCpuMemoryModel::ByteColumns), FHex);
  if (FCpu == nullptr) return {};
  if (Column == ColumnCount - 1) return RowText(*FCpu, Row);
  return ByteText(FCpu->ReadByte(static_cast<uint16_t>(CellAddress(Column, Row))), FHex);
}

int TCpuMemoryGrid::CellAddress(int Column, int Row) {
  if (Column < 1 || Column > TCpuMemoryModel::ByteColumns || Row < 1 || Row > TCpuMemoryModel::Rows) return -1;
  return (Row - 1) * TCpuMemoryModel::ByteColumns + (Column - 1);
}

QModelIndex TCpuMemoryGrid::IndexOfCell(int Column, int Row) const {
  if (Column < 1 || Row < 1) return {};
  return FModel->index(Row - 1, Column - 1);
}

QPoint TCpuMemoryGrid::SelectedCell() const {
  const QModelIndexList Selected = selectionModel()->selectedIndexes();
  if (Selected.isEmpty()) return {-1, -1};
  return {GridColumn(Selected.front()), GridRow(Selected.front())};
}

QRect TCpuMemoryGrid::CellRect(int Column, int Row) const {
  if (Column == 0 && Row == 0) return FCorner != nullptr ? FCorner->geometry() : QRect();
  if (Row == 0) {
    const int X = FColumnHeader->sectionViewportPosition(Column - 1);
    return QRect(FColumnHeader->mapTo(this, QPoint(X, 0)), QSize(ColumnWidth(Column), FColumnHeader->height()));
  }
  if (Column == 0) {
    const int Y = FRowHeader->sectionViewportPosition(Row - 1);
    return QRect(FRowHeader->mapTo(this, QPoint(0, Y)), QSize(FRowHeader->width(), FRowHeight));
  }
  const QRect Rect = visualRect(IndexOfCell(Column, Row));
  if (!Rect.isValid() || !viewport()->rect().intersects(Rect)) return {};
  return QRect(viewport()->mapTo(this, Rect.topLeft()), Rect.size());
}

int TCpuMemoryGrid::TopRow() const { return std::max(0, rowAt(0)) + 1; }

int TCpuMemoryGrid::BottomRow() const {
  const int Last = rowAt(viewport()->height() - 1);
  return (Last < 0 ? TCpuMemoryModel::Rows - 1 : Last) + 1;
}

// ---------------------------------------------------------------- the pending edit

void TCpuMemoryGrid::NoteEditor(QWidget* Editor, int Column, int Row) {
  FEditor = Editor;
  FGridEditCell = QPoint(Column, Row);
}

QString TCpuMemoryGrid::CpuMemoryGridGetEditText(int Column, int Row) {
  const QString Text = CellText(Column, Row);
  FGridEditCell = QPoint(Column, Row);
  FGridEditText = Text;
  return Text;
}

void TCpuMemoryGrid::CpuMemoryGridSetEditText(int Column, int Row, const QString& Text) {
  FGridEditCell = QPoint(Column, Row);
  FGridEditText = Text;
}

bool TCpuMemoryGrid::CpuMemoryGridSelectCell(int Column, int Row) {
  if (Column == ColumnCount - 1) {
    // The text column is never selected; the edit in progress is dropped.
    DropPendingEdit();
    return false;
  }
  Q_UNUSED(Row);
  CommitPendingEdit();
  if (FEditor != nullptr) closeEditor(FEditor, QAbstractItemDelegate::NoHint);
  return true;
}

bool TCpuMemoryGrid::CpuMemoryGridKeyDown(int Key) {
  switch (Key) {
    case Qt::Key_Escape:
      DropPendingEdit();
      return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      CommitPendingEdit();
      if (FEditor != nullptr) closeEditor(FEditor, QAbstractItemDelegate::NoHint);
      return true;
    case Qt::Key_F5:
      RefreshGrid();
      return true;
    default:
      return false;
  }
}

bool TCpuMemoryGrid::CommitPendingEdit() {
  const QPoint Cell = FGridEditCell;
  const QString Text = FGridEditText;
  ClearPendingEdit();
  const int Address = CellAddress(Cell.x(), Cell.y());
  if (Address < 0 || FCpu == nullptr) return true;
  const bool Stored = !OnCommitEdit || OnCommitEdit(Address, Text);
  RefreshGrid();
  return Stored;
}

void TCpuMemoryGrid::DropPendingEdit() {
  ClearPendingEdit();
  if (FEditor != nullptr) closeEditor(FEditor, QAbstractItemDelegate::RevertModelCache);
}

void TCpuMemoryGrid::ClearPendingEdit() {
  FGridEditCell = QPoint(-1, -1);
  FGridEditText.clear();
}

// ---------------------------------------------------------------- Qt's events

void TCpuMemoryGrid::closeEditor(QWidget* Editor, QAbstractItemDelegate::EndEditHint Hint) {
  // Whatever closes the editor ends the edit; a commit has happened before this
  // when it was due (Enter, a move, the focus leaving).
  if (Editor == FEditor) {
    FEditor = nullptr;
    ClearPendingEdit();
  }
  QTableView::closeEditor(Editor, Hint);
}

void TCpuMemoryGrid::keyPressEvent(QKeyEvent* Event) {
  if (CpuMemoryGridKeyDown(Event->key())) {
    Event->accept();
    return;
  }
  QTableView::keyPressEvent(Event);
}

void TCpuMemoryGrid::mousePressEvent(QMouseEvent* Event) {
  const QModelIndex Index = indexAt(Event->position().toPoint());
  if (Index.isValid() && Index.column() == TCpuMemoryModel::TextColumn) {
    CpuMemoryGridSelectCell(GridColumn(Index), GridRow(Index));
    setFocus(Qt::MouseFocusReason);
    Event->accept();
    return;
  }
  if (Index.isValid() && FEditor != nullptr && Index != currentIndex())
    CpuMemoryGridSelectCell(GridColumn(Index), GridRow(Index));
  setFocus(Qt::MouseFocusReason);
  QTableView::mousePressEvent(Event);
}

QModelIndex TCpuMemoryGrid::moveCursor(CursorAction Action, Qt::KeyboardModifiers Modifiers) {
  const QModelIndex Target = QTableView::moveCursor(Action, Modifiers);
  if (Target.isValid() && Target.column() == TCpuMemoryModel::TextColumn) {
    CpuMemoryGridSelectCell(GridColumn(Target), GridRow(Target));
    return currentIndex();
  }
  if (Target.isValid() && FEditor != nullptr && Target != currentIndex())
    CpuMemoryGridSelectCell(GridColumn(Target), GridRow(Target));
  return Target;
}

bool TCpuMemoryGrid::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == FCorner && Event->type() == QEvent::Paint) {
    PaintCorner(FCorner);
    return true;
  }
  return QTableView::eventFilter(Watched, Event);
}

void TCpuMemoryGrid::PaintCorner(QAbstractButton* Corner) {
  QPainter Painter(Corner);
  const QRect Rect = Corner->rect();
  Painter.fillRect(Rect, palette().button());
  Painter.setPen(palette().color(QPalette::Mid));
  Painter.drawLine(Rect.topRight(), Rect.bottomRight());
  Painter.drawLine(Rect.bottomLeft(), Rect.bottomRight());
  Painter.setPen(palette().color(QPalette::ButtonText));
  Painter.setFont(font());
  Painter.drawText(Rect.adjusted(Margin, Margin, -Margin, 0), static_cast<int>(Qt::AlignTop | Qt::AlignLeft),
                   CellText(0, 0));
}
