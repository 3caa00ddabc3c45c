#include "Z80RegistersDlg.h"

#include <QCheckBox>
#include <QEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QListWidget>
#include <QStyle>
#include <QTableView>

#include "CpuEmu.h"
#include "CpuPageValues.h"
#include "SimpleTerminal.h"

namespace {

// A register pair of the grid: its label and its two bytes as the processor's
// properties give and take them.
struct TRegisterRow {
  const char* Label;
  uint8_t (TCpuEmu::*GetHigh)() const;
  uint8_t (TCpuEmu::*GetLow)() const;
  void (TCpuEmu::*SetHigh)(uint8_t);
  void (TCpuEmu::*SetLow)(uint8_t);
};

const TRegisterRow RegisterRows[] = {
    {"PC", &TCpuEmu::GetRegisterPCH, &TCpuEmu::GetRegisterPCL, &TCpuEmu::SetRegisterPCH, &TCpuEmu::SetRegisterPCL},
    {"SP", &TCpuEmu::GetRegisterSPH, &TCpuEmu::GetRegisterSPL, &TCpuEmu::SetRegisterSPH, &TCpuEmu::SetRegisterSPL},
    {"IX", &TCpuEmu::GetRegisterIXH, &TCpuEmu::GetRegisterIXL, &TCpuEmu::SetRegisterIXH, &TCpuEmu::SetRegisterIXL},
    {"IY", &TCpuEmu::GetRegisterIYH, &TCpuEmu::GetRegisterIYL, &TCpuEmu::SetRegisterIYH, &TCpuEmu::SetRegisterIYL},
    {"AF", &TCpuEmu::GetRegisterA, &TCpuEmu::GetStatusFlags, &TCpuEmu::SetRegisterA, &TCpuEmu::SetStatusFlags},
    {"BC", &TCpuEmu::GetRegisterB, &TCpuEmu::GetRegisterC, &TCpuEmu::SetRegisterB, &TCpuEmu::SetRegisterC},
    {"DE", &TCpuEmu::GetRegisterD, &TCpuEmu::GetRegisterE, &TCpuEmu::SetRegisterD, &TCpuEmu::SetRegisterE},
    {"HL", &TCpuEmu::GetRegisterH, &TCpuEmu::GetRegisterL, &TCpuEmu::SetRegisterH, &TCpuEmu::SetRegisterL},
    {"AF'", &TCpuEmu::GetExRegisterA, &TCpuEmu::GetExStatusFlags, &TCpuEmu::SetExRegisterA,
     &TCpuEmu::SetExStatusFlags},
    {"BC'", &TCpuEmu::GetExRegisterB, &TCpuEmu::GetExRegisterC, &TCpuEmu::SetExRegisterB, &TCpuEmu::SetExRegisterC},
    {"DE'", &TCpuEmu::GetExRegisterD, &TCpuEmu::GetExRegisterE, &TCpuEmu::SetExRegisterD, &TCpuEmu::SetExRegisterE},
    {"HL'", &TCpuEmu::GetExRegisterH, &TCpuEmu::GetExRegisterL, &TCpuEmu::SetExRegisterH, &TCpuEmu::SetExRegisterL},
};
static_assert(std::size(RegisterRows) == TZ80RegistersDlg::RowCount - 1);

const char* const FlagNames[TZ80RegistersDlg::FlagCount] = {
    "C - carry", "N - negative", "P - parity / overflow", "x -  n/u",
    "H - half carry", "y -  n/u", "Z - zero", "S - sign"};

const char* const HeaderTexts[TZ80RegistersDlg::ColumnCount] = {"Reg", "High", "Low"};

bool IsByteCell(int Column, int Row) {
  return Column >= 1 && Column < TZ80RegistersDlg::ColumnCount && Row >= 1 && Row < TZ80RegistersDlg::RowCount;
}

}  // namespace

// ---------------------------------------------------------------- model

TZ80RegistersModel::TZ80RegistersModel(TZ80RegistersDlg& Dialog) : QAbstractTableModel(&Dialog), FDialog(Dialog) {}

int TZ80RegistersModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : TZ80RegistersDlg::RowCount;
}

int TZ80RegistersModel::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : TZ80RegistersDlg::ColumnCount;
}

QVariant TZ80RegistersModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid()) return {};
  const bool Byte = IsByteCell(Index.column(), Index.row());
  switch (Role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return FDialog.CellText(Index.column(), Index.row());
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::AlignVCenter | (Byte ? Qt::AlignRight : Qt::AlignLeft));
    case Qt::BackgroundRole:
      // The fixed row and column look like the grid's fixed cells.
      return Byte ? QVariant() : QVariant(FDialog.palette().button());
    default:
      return {};
  }
}

Qt::ItemFlags TZ80RegistersModel::flags(const QModelIndex& Index) const {
  if (!Index.isValid()) return Qt::NoItemFlags;
  if (!IsByteCell(Index.column(), Index.row())) return Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemNeverHasChildren;
}

bool TZ80RegistersModel::setData(const QModelIndex& Index, const QVariant& Value, int Role) {
  if (!Index.isValid() || Role != Qt::EditRole) return false;
  return FDialog.DrawGrid1SetEditText(Index.column(), Index.row(), Value.toString());
}

// ---------------------------------------------------------------- dialog

TZ80RegistersDlg::TZ80RegistersDlg(QWidget* Parent)
    : QDialog(Parent, Qt::Tool | Qt::WindowStaysOnTopHint), FModel(new TZ80RegistersModel(*this)) {
  setObjectName(QStringLiteral("Z80RegistersDlg"));
  setWindowTitle(QStringLiteral("Z80 Registers"));

  DrawGrid1 = new QTableView(this);
  DrawGrid1->setObjectName(QStringLiteral("DrawGrid1"));
  DrawGrid1->setFont(TSimpleTerminal::FixedPitchFont(QStringLiteral("Lucida Console"), 13));
  DrawGrid1->setModel(FModel);
  DrawGrid1->horizontalHeader()->hide();
  DrawGrid1->verticalHeader()->hide();
  DrawGrid1->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  DrawGrid1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  DrawGrid1->verticalHeader()->setMinimumSectionSize(1);
  DrawGrid1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  DrawGrid1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  DrawGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
  DrawGrid1->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                             QAbstractItemView::AnyKeyPressed);
  DrawGrid1->setCurrentIndex(FModel->index(1, 1));

  HexMemoryDisplay = new QCheckBox(QStringLiteral("Display Hex"), this);
  HexMemoryDisplay->setObjectName(QStringLiteral("HexMemoryDisplay"));
  HexMemoryDisplay->setChecked(true);
  connect(HexMemoryDisplay, &QCheckBox::clicked, this, [this] { HexMemoryDisplayClick(); });

  GroupBox1 = new QGroupBox(QStringLiteral("[ CPU Flags ]"), this);
  GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
  FlagDisplay = new QListWidget(GroupBox1);
  FlagDisplay->setObjectName(QStringLiteral("FlagDisplay"));
  FlagDisplay->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  FlagDisplay->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  FlagDisplay->setSelectionMode(QAbstractItemView::NoSelection);
  for (const char* Name : FlagNames) {
    auto* Item = new QListWidgetItem(QString::fromLatin1(Name), FlagDisplay);
    Item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    Item->setCheckState(Qt::Unchecked);
  }
  connect(FlagDisplay, &QListWidget::itemChanged, this, [this] {
    if (!FSettingFlags) FlagDisplayClick();
  });
  FormActivate();
}

void TZ80RegistersDlg::SetCpu(TCpuEmu* Cpu) {
  FCpu = Cpu;
  RefreshRegisters();
}

bool TZ80RegistersDlg::IsHex() const { return HexMemoryDisplay->isChecked(); }

QString TZ80RegistersDlg::CellText(int Column, int Row) const {
  if (Column < 0 || Column >= ColumnCount || Row < 0 || Row >= RowCount) return {};
  if (Row == 0) return QString::fromLatin1(HeaderTexts[Column]);
  const TRegisterRow& Register = RegisterRows[Row - 1];
  if (Column == 0) return QString::fromLatin1(Register.Label);
  if (FCpu == nullptr) return {};
  return ByteText(Column == 1 ? (FCpu->*Register.GetHigh)() : (FCpu->*Register.GetLow)(), IsHex());
}

void TZ80RegistersDlg::RefreshRegisters() {
  DrawGrid1->viewport()->update();
  if (FCpu != nullptr) SetFlagBoxes(FCpu->GetStatusFlags());
}

void TZ80RegistersDlg::SetFlagBoxes(uint8_t Flags) {
  FSettingFlags = true;
  for (int Bit = 0; Bit < FlagCount; ++Bit) {
    const Qt::CheckState State = (Flags >> Bit & 1) != 0 ? Qt::Checked : Qt::Unchecked;
    QListWidgetItem* Item = FlagDisplay->item(Bit);
    if (Item->checkState() != State) Item->setCheckState(State);
  }
  FSettingFlags = false;
}

void TZ80RegistersDlg::FormActivate() {
  const QFontMetrics Metrics(DrawGrid1->font());
  // The height of the text "~^&%;|!/]{(>WTjgy,'\"": the font's full height.
  const int RowHeight =
      std::max(Metrics.height(), Metrics.boundingRect(QStringLiteral("~^&%;|!/]{(>WTjgy,'\"")).height()) + 4;
  const int ItemHeight = std::max(FlagDisplay->sizeHintForRow(0), FlagDisplay->fontMetrics().height() + 2);
  DrawGrid1->verticalHeader()->setDefaultSectionSize(RowHeight);

  const int Width = DialogWidth;
  const int GridHeight = RowHeight * (RowCount + 1) + 6;
  DrawGrid1->setGeometry(0, 0, Width, GridHeight);
  // The flags: a title line, the eight boxes, and a line's room below them.
  const int GroupHeight = (FlagCount + 2) * ItemHeight;
  GroupBox1->setGeometry(0, GridHeight, Width, GroupHeight);
  const int ListTop = GroupHeight - (FlagCount * ItemHeight) - ItemHeight / 2;
  FlagDisplay->setGeometry(4, ListTop, Width - 8, FlagCount * ItemHeight + 4);
  const QSize BoxSize = HexMemoryDisplay->sizeHint();
  HexMemoryDisplay->setGeometry(4, GroupBox1->geometry().bottom() + 1 + 4, Width - 8, BoxSize.height());
  setFixedSize(Width, HexMemoryDisplay->geometry().bottom() + 1 + 8);
}

bool TZ80RegistersDlg::DrawGrid1SetEditText(int Column, int Row, const QString& Text) {
  if (!IsByteCell(Column, Row) || FCpu == nullptr) return false;
  uint8_t Value = 0;
  try {
    Value = ParseRegisterText(Text, IsHex());
  } catch (const ECpuValueError& Error) {
    if (OnMessage) OnMessage(Error.what());
    return false;
  }
  const TRegisterRow& Register = RegisterRows[Row - 1];
  (FCpu->*(Column == 1 ? Register.SetHigh : Register.SetLow))(Value);
  Changed();
  return true;
}

void TZ80RegistersDlg::HexMemoryDisplayClick() { DrawGrid1->viewport()->update(); }

void TZ80RegistersDlg::FlagDisplayClick() {
  if (FCpu == nullptr) return;
  int Flags = 0;
  for (int Bit = 0; Bit < FlagCount && Bit < FlagDisplay->count(); ++Bit)
    if (FlagDisplay->item(Bit)->checkState() == Qt::Checked) Flags += 1 << Bit;
  FCpu->SetStatusFlags(static_cast<uint8_t>(Flags));
  Changed();
}

void TZ80RegistersDlg::Changed() {
  RefreshRegisters();
  if (OnChange) OnChange();
}

bool TZ80RegistersDlg::event(QEvent* Event) {
  if (Event->type() == QEvent::WindowActivate) FormActivate();
  return QDialog::event(Event);
}

void TZ80RegistersDlg::showEvent(QShowEvent* Event) {
  FormActivate();
  RefreshRegisters();
  QDialog::showEvent(Event);
}
