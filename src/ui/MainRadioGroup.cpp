#include "MainRadioGroup.h"

#include <QRadioButton>
#include <QVBoxLayout>

TMainRadioGroup::TMainRadioGroup(const QString& Title, const QStringList& Items, QWidget* Parent)
    : QGroupBox(Title, Parent) {
  auto* Layout = new QVBoxLayout(this);
  for (int Index = 0; Index < Items.size(); ++Index) {
    auto* Button = new QRadioButton(Items[Index], this);
    FButtons.addButton(Button, Index);
    Layout->addWidget(Button);
  }
  Layout->addStretch(1);
}

void TMainRadioGroup::SetItemIndex(int Index) {
  if (QAbstractButton* Button = FButtons.button(Index)) {
    Button->setChecked(true);
    return;
  }
  // No item: an exclusive group cannot uncheck its last button by itself.
  FButtons.setExclusive(false);
  for (QAbstractButton* Button : FButtons.buttons()) Button->setChecked(false);
  FButtons.setExclusive(true);
}
