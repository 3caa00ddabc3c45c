#include "MainActionButtons.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QPushButton>

namespace {

void LinkToAction(QAbstractButton* Button, QAction* Action) {
  Button->setObjectName(Action->objectName() + QStringLiteral("Btn"));
  const auto Follow = [Button, Action] {
    Button->setText(Action->text());
    Button->setToolTip(Action->toolTip());
    Button->setEnabled(Action->isEnabled());
    if (Button->isCheckable()) Button->setChecked(Action->isChecked());
  };
  Follow();
  QObject::connect(Action, &QAction::changed, Button, Follow);
  QObject::connect(Action, &QAction::toggled, Button, Follow);
  // The click has already turned a check box over: the action decides its state.
  QObject::connect(Button, &QAbstractButton::clicked, Action, [Action, Follow] {
    Action->trigger();
    Follow();
  });
}

}  // namespace

QPushButton* NewActionButton(QAction* Action, QWidget* Parent) {
  auto* Button = new QPushButton(Parent);
  LinkToAction(Button, Action);
  return Button;
}

QCheckBox* NewActionCheckBox(QAction* Action, QWidget* Parent) {
  auto* Box = new QCheckBox(Parent);
  LinkToAction(Box, Action);
  return Box;
}
