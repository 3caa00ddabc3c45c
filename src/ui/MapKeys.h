// The TTY page's key map and the "Map Terminal Keys" dialog that edits it.
//
// Each of 23 navigation and function keys may send a string of bytes of the
// user's choice instead of itself, separately for the key alone, with Shift and
// with Ctrl. The TTY page asks IsKeyMapped and GetKeyMapping on every key. Keys
// are given as the Windows virtual-key numbers the map is written in (38 the up
// arrow, 112 F1); TtyKeyCode turns a Qt key into one.
//
// The map is kept in the program's work folder as "<program>.kmap", in the
// key/value store's text form: sections "State_" (the key alone), "State_Shift"
// and "State_Ctrl", each line key name = string in caret notation:
//   ^A .. ^Z, ^[ ^\ ^] ^_  the control characters 1 .. 31 (^a is ^A);
//   ^^                     a caret;
//   anything else          itself (characters up to 255 only).
// A caret before a character below "A", or before one that would give a byte
// above 255, gives nothing, and so does a caret at the end.
//
// The dialog edits the map in memory; closing it writes the file when anything
// changed. A write that fails is reported and keeps the dialog open once, so the
// user knows; closing again leaves it without saving.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QPointer>
#include <QString>
#include <cstdint>

#include "ConfigObject.h"

class QButtonGroup;
class QKeyEvent;
class QLineEdit;
class QListWidget;
class QMessageBox;
class QPushButton;

// The virtual-key number of a Qt key; 0 for a key without one. Navigation keys
// of the numeric keypad count as the navigation keys themselves.
uint16_t TtyKeyCode(int QtKey, Qt::KeyboardModifiers Modifiers);
uint16_t TtyKeyCode(const QKeyEvent& Event);

class TMapTermKeys : public QDialog {
  Q_OBJECT

 public:
  static constexpr int KeyCount = 23;
  // Key states, the index of the " Key State " radio buttons.
  static constexpr int StateNormal = 0;
  static constexpr int StateShift = 1;
  static constexpr int StateCtrl = 2;
  static constexpr int StateCount = 3;

  // Reads "<program>.kmap" in WorkFolder when it is there.
  explicit TMapTermKeys(const QString& WorkFolder, QWidget* Parent = nullptr);

  // "<WorkFolder>/<program file name without extension>.kmap".
  static QString KeyMapFileName(const QString& WorkFolder);
  const QString& GetKeyMapFileName() const { return FKeyMapFileName; }
  // Why the map file could not be read at creation; empty when it could (or when
  // there was none). The map then starts empty and the file is left alone until
  // the user changes a mapping.
  const QString& GetLoadError() const { return FLoadError; }

  // Whether Key (a virtual-key number) sends a mapped string in the state that
  // Shift gives: Shift alone, Ctrl alone, or the key alone for anything else.
  bool IsKeyMapped(int Key, Qt::KeyboardModifiers Shift) const;
  // The bytes Key sends in that state; empty for a key that is not mapped.
  QByteArray GetKeyMapping(int Key, Qt::KeyboardModifiers Shift) const;
  // The stored (caret notation) text of a key in a state; empty when absent.
  QString ReadMapping(int KeyIndex, int State) const;
  void WriteMapping(int KeyIndex, int State, const QString& Text);

  // Writes the map to its file (atomically); throws EConfigFileError.
  void SaveKeyMap();

  static QByteArray DecodeMapping(const QString& Text);
  static QString EncodeMapping(const QByteArray& Bytes);
  // "Up Arrow", "F1", ...; empty outside 0..KeyCount-1.
  static QString KeyName(int KeyIndex);
  // 38, 112, ...; 0 outside the table.
  static int KeyCode(int KeyIndex);
  // The index of a virtual-key number in the table; -1 when it is not there.
  static int KeyIndexOf(int Key);
  // "", "Shift", "Ctrl".
  static QString StateName(int State);
  // "Home", "Shift-F1", "Ctrl-Home".
  static QString KeyCaption(int KeyIndex, int State);
  static int StateOf(Qt::KeyboardModifiers Shift);

  // The state the dialog shows.
  int GetKeyState() const;
  int GetCaptionWidth() const { return FCaptionWidth; }

  QListWidget* ListBox1() const { return FListBox1; }
  QButtonGroup* KeyState() const { return FKeyState; }
  QLineEdit* Edit1() const { return FEdit1; }
  QPushButton* UpdateButton() const { return FUpdateButton; }
  QPushButton* CloseButton() const { return FCloseButton; }
  // The report of a failed write while it is shown, else null.
  QMessageBox* MessageBox() const;

 public slots:
  // Every way of closing comes here: the file is written first.
  void done(int Result) override;

 private:
  void UpdateClick();

  TNrKeyValueSections FStore;
  QString FKeyMapFileName;
  QString FLoadError;
  bool FChanged = false;
  bool FSaveFailureShown = false;
  int FCaptionWidth = 0;
  QListWidget* FListBox1;
  QButtonGroup* FKeyState;
  QLineEdit* FEdit1;
  QPushButton* FUpdateButton;
  QPushButton* FCloseButton;
  QPointer<QMessageBox> FMessageBox;
};
