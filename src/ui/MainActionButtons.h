// Buttons and check boxes that stand for an action on a page, as an action link
// does: caption, hint, enabled and checked state follow the action, and a click
// executes it.
#pragma once

class QAction;
class QCheckBox;
class QPushButton;
class QWidget;

QPushButton* NewActionButton(QAction* Action, QWidget* Parent);
QCheckBox* NewActionCheckBox(QAction* Action, QWidget* Parent);
