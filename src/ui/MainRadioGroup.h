// A titled group of radio buttons of which at most one is chosen, with the
// chosen item's index: the printer page's "Orientaion" choice.
#pragma once

#include <QButtonGroup>
#include <QGroupBox>
#include <QStringList>

class TMainRadioGroup final : public QGroupBox {
 public:
  TMainRadioGroup(const QString& Title, const QStringList& Items, QWidget* Parent = nullptr);

  // The chosen item, -1 for none.
  int GetItemIndex() const { return FButtons.checkedId(); }
  // Chooses an item (-1: none) without a click event.
  void SetItemIndex(int Index);
  int Count() const { return static_cast<int>(FButtons.buttons().size()); }
  // idClicked(int) tells of a click by the user.
  QButtonGroup& Buttons() { return FButtons; }

 private:
  QButtonGroup FButtons;
};
