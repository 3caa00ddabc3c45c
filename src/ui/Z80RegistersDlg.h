// "Z80 Registers": a tool window beside the main window that shows every
// register of the processor as a small grid (a high and a low byte per pair)
// and the flags of F as eight check boxes, and edits them.
//
// A byte takes effect when its edit is confirmed (Enter, or leaving the cell),
// never per keystroke; text that is not a byte of the dialog's radix is refused
// with a message and changes nothing. A click on a flag sets F at once. After
// every change the change callback runs (the main window refreshes its CPU
// page). The dialog reads and writes the processor only through TCpuEmu's
// register properties; without a processor it shows only its labels.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <functional>
#include <string>

class QCheckBox;
class QGroupBox;
class QListWidget;
class QListWidgetItem;
class QTableView;
class TCpuEmu;
class TZ80RegistersDlg;

// The grid's 13 rows and 3 columns: row 0 "Reg", "High", "Low"; rows 1 to 12 a
// register pair's label and its two bytes.
class TZ80RegistersModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit TZ80RegistersModel(TZ80RegistersDlg& Dialog);
  int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& Index) const override;
  bool setData(const QModelIndex& Index, const QVariant& Value, int Role = Qt::EditRole) override;

 private:
  TZ80RegistersDlg& FDialog;
};

class TZ80RegistersDlg final : public QDialog {
  Q_OBJECT

 public:
  static constexpr int ColumnCount = 3;
  static constexpr int RowCount = 13;
  static constexpr int FlagCount = 8;
  static constexpr int DialogWidth = 150;

  explicit TZ80RegistersDlg(QWidget* Parent = nullptr);

  // The processor (none until the main window connects it).
  void SetCpu(TCpuEmu* Cpu);
  TCpuEmu* Cpu() const { return FCpu; }
  // Runs after every change of a register or flag made here.
  std::function<void()> OnChange;
  // Tells the user why an edit was refused.
  std::function<void(const std::string& Text)> OnMessage;

  // The controls, in their order.
  QTableView* DrawGrid1 = nullptr;
  QCheckBox* HexMemoryDisplay = nullptr;  // "Display Hex"
  QGroupBox* GroupBox1 = nullptr;         // "[ CPU Flags ]"
  QListWidget* FlagDisplay = nullptr;     // item i is bit i of F

  bool IsHex() const;
  // The text of grid cell (Column, Row): labels, headers and the bytes (none
  // for the bytes while there is no processor).
  QString CellText(int Column, int Row) const;
  // Repaints the grid from the processor and sets the flag boxes from F.
  void RefreshRegisters();

  // Sizes the grid, the flag list and the dialog from their fonts (each activation).
  void FormActivate();
  // A confirmed edit of byte cell (Column 1 or 2, Row 1..12): read in the
  // dialog's radix and, when it is a byte, stored in its register; false when
  // refused (the user is told, the register keeps its value).
  bool DrawGrid1SetEditText(int Column, int Row, const QString& Text);
  void HexMemoryDisplayClick();
  // F := the sum of 2^i over the checked flag boxes i.
  void FlagDisplayClick();

 protected:
  bool event(QEvent* Event) override;
  void showEvent(QShowEvent* Event) override;

 private:
  void SetFlagBoxes(uint8_t Flags);
  void Changed();

  TZ80RegistersModel* FModel;
  TCpuEmu* FCpu = nullptr;
  bool FSettingFlags = false;
};
