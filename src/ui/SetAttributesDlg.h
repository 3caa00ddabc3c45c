// The "Set File Attributes" dialog of the disk manager: read-only, system and
// archive of one or more CP/M files, and their user area. With several files a
// box whose bit differs among them shows the third (grayed) state, and leaving
// it there keeps each file's own bit; "No Change" keeps each file's own area.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

class TSetAttributesDlg : public QDialog {
  Q_OBJECT

 public:
  // The user-area value of "No Change".
  static constexpr int NoChangeUser = 255;

  explicit TSetAttributesDlg(QWidget* Parent = nullptr);

  // Attributes: bit 0 read-only, 1 system, 2 archive. Mixed: the bits that
  // differ among the files (grayed, only when Multi). User: 0-15, or any other
  // value for "No Change".
  void SetAttributes(uint8_t Attributes, uint8_t Mixed, bool Multi, int User);
  // The boxes checked, and (only with several files) the boxes left grayed.
  void GetAttributes(uint8_t& Checked, uint8_t& Grayed) const;
  // The chosen area, NoChangeUser for "No Change" or none.
  int GetUser() const;
  // The name shown after "Set File Attributes On:".
  void SetFileLabel(const QString& Text);

  QLabel* FileLabel() const { return FFileLabel; }
  // Read-only, system, archive.
  QCheckBox* AttributeBox(int Bit) const { return FBoxes[static_cast<size_t>(Bit)]; }
  QComboBox* UserAreaList() const { return FUserAreaList; }
  QPushButton* OkButton() const { return FOkButton; }
  QPushButton* CancelButton() const { return FCancelButton; }

 private:
  std::array<QCheckBox*, 3> FBoxes{};
  QLabel* FFileLabel;
  QComboBox* FUserAreaList;
  QPushButton* FOkButton;
  QPushButton* FCancelButton;
  bool FMulti = false;
};
