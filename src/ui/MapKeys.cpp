#include "MapKeys.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

#include "AdKeyTable.h"

namespace {

struct TMappableKey {
  const char* Name;
  int Code;
};

constexpr std::array<TMappableKey, TMapTermKeys::KeyCount> MappableKeys{{
    {"Up Arrow", 38},   {"Down Arrow", 40}, {"Left Arrow", 37}, {"Right Arrow", 39}, {"Page Down", 34},
    {"Page Up", 33},    {"Home", 36},       {"End", 35},        {"Backspace", 8},    {"Delete", 46},
    {"Insert", 45},     {"F1", 112},        {"F2", 113},        {"F3", 114},         {"F4", 115},
    {"F5", 116},        {"F6", 117},        {"F7", 118},        {"F8", 119},         {"F9", 120},
    {"F10", 121},       {"F11", 122},       {"F12", 123},
}};

constexpr std::array<const char*, TMapTermKeys::StateCount> StateNames{"", "Shift", "Ctrl"};

const QColor CaptionColor(0, 0, 255);   // blue
const QColor MappingColor(128, 128, 0); // olive

// Paints one key of the list: its caption on blue in a column of the dialog's
// caption width, then its stored string on olive (blue when selected).
class TKeyListDelegate : public QStyledItemDelegate {
 public:
  TKeyListDelegate(const TMapTermKeys& Dialog, QObject* Parent) : QStyledItemDelegate(Parent), FDialog(Dialog) {}

  void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override {
    const int keyIndex = Index.row();
    const int state = FDialog.GetKeyState();
    QRect caption = Option.rect;
    caption.setWidth(FDialog.GetCaptionWidth());
    QRect mapping = Option.rect;
    mapping.setLeft(caption.right() + 1);
    const bool selected = (Option.state & QStyle::State_Selected) != 0;

    Painter->save();
    Painter->setFont(Option.font);
    Painter->setPen(Qt::white);
    const int baseline = Option.fontMetrics.ascent() + 2;
    Painter->fillRect(caption, CaptionColor);
    Painter->setClipRect(caption);
    Painter->drawText(caption.left() + 2, caption.top() + baseline, TMapTermKeys::KeyCaption(keyIndex, state));
    Painter->setClipRect(mapping);
    Painter->fillRect(mapping, selected ? CaptionColor : MappingColor);
    Painter->drawText(mapping.left() + 2, mapping.top() + baseline, FDialog.ReadMapping(keyIndex, state));
    Painter->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex&) const override {
    const int height = Option.fontMetrics.height() + 4;
    return {FDialog.GetCaptionWidth() + 160, height};
  }

 private:
  const TMapTermKeys& FDialog;
};

char ToUpperAscii(char16_t Code) { return static_cast<char>(Code - (Code >= u'a' && Code <= u'z' ? 32 : 0)); }

}  // namespace

uint16_t TtyKeyCode(int QtKey, Qt::KeyboardModifiers Modifiers) {
  // The keypad keeps its own numbers for digits and operators only; with Num Lock
  // off its navigation keys are the navigation keys.
  const bool keypadKey = (Modifiers & Qt::KeypadModifier) != 0 &&
                         ((QtKey >= Qt::Key_0 && QtKey <= Qt::Key_9) || QtKey == Qt::Key_Asterisk ||
                          QtKey == Qt::Key_Plus || QtKey == Qt::Key_Comma || QtKey == Qt::Key_Minus ||
                          QtKey == Qt::Key_Period || QtKey == Qt::Key_Slash);
  return AdKeyNumber(QtKey, keypadKey);
}

uint16_t TtyKeyCode(const QKeyEvent& Event) { return TtyKeyCode(Event.key(), Event.modifiers()); }

// ---- The key map -----------------------------------------------------------

QString TMapTermKeys::KeyName(int KeyIndex) {
  if (KeyIndex < 0 || KeyIndex >= KeyCount) return QString();
  return QString::fromLatin1(MappableKeys[static_cast<size_t>(KeyIndex)].Name);
}

int TMapTermKeys::KeyCode(int KeyIndex) {
  if (KeyIndex < 0 || KeyIndex >= KeyCount) return 0;
  return MappableKeys[static_cast<size_t>(KeyIndex)].Code;
}

int TMapTermKeys::KeyIndexOf(int Key) {
  for (int i = 0; i < KeyCount; ++i)
    if (MappableKeys[static_cast<size_t>(i)].Code == Key) return i;
  return -1;
}

QString TMapTermKeys::StateName(int State) {
  if (State < 0 || State >= StateCount) return QString();
  return QString::fromLatin1(StateNames[static_cast<size_t>(State)]);
}

QString TMapTermKeys::KeyCaption(int KeyIndex, int State) {
  const QString state = StateName(State);
  return state.isEmpty() ? KeyName(KeyIndex) : state + u'-' + KeyName(KeyIndex);
}

int TMapTermKeys::StateOf(Qt::KeyboardModifiers Shift) {
  const Qt::KeyboardModifiers held =
      Shift & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
  if (held == Qt::ShiftModifier) return StateShift;
  if (held == Qt::ControlModifier) return StateCtrl;
  return StateNormal;
}

QByteArray TMapTermKeys::DecodeMapping(const QString& Text) {
  QByteArray bytes;
  for (qsizetype i = 0; i < Text.size(); ++i) {
    const char16_t code = Text.at(i).unicode();
    if (code != u'^') {
      // A character one byte cannot carry is left out, never cut to another byte.
      if (code <= 0xFF) bytes.append(static_cast<char>(code));
      continue;
    }
    if (++i >= Text.size()) break;  // a caret at the end
    const char16_t next = Text.at(i).unicode();
    if (next == u'^') {
      bytes.append('^');
      continue;
    }
    const int upper = next >= u'a' && next <= u'z' ? ToUpperAscii(next) : next;
    if (upper >= 'A' && upper - 64 <= 0xFF) bytes.append(static_cast<char>(upper - 64));
  }
  return bytes;
}

QString TMapTermKeys::EncodeMapping(const QByteArray& Bytes) {
  QString text;
  for (const char byte : Bytes) {
    const auto code = static_cast<unsigned char>(byte);
    if (code < 32) {
      text += u'^';
      text += QChar(code + 64);
    } else if (code == '^') {
      text += QStringLiteral("^^");
    } else {
      text += QChar(code);
    }
  }
  return text;
}

QString TMapTermKeys::ReadMapping(int KeyIndex, int State) const {
  if (KeyIndex < 0 || KeyIndex >= KeyCount || State < 0 || State >= StateCount) return QString();
  return FStore.ReadString(QStringLiteral("State_") + StateName(State), KeyName(KeyIndex), QString());
}

void TMapTermKeys::WriteMapping(int KeyIndex, int State, const QString& Text) {
  if (KeyIndex < 0 || KeyIndex >= KeyCount || State < 0 || State >= StateCount) return;
  FStore.WriteString(QStringLiteral("State_") + StateName(State), KeyName(KeyIndex), Text);
  FChanged = true;
  FSaveFailureShown = false;
}

bool TMapTermKeys::IsKeyMapped(int Key, Qt::KeyboardModifiers Shift) const {
  return !GetKeyMapping(Key, Shift).isEmpty();
}

QByteArray TMapTermKeys::GetKeyMapping(int Key, Qt::KeyboardModifiers Shift) const {
  const int keyIndex = KeyIndexOf(Key);
  if (keyIndex < 0) return QByteArray();
  return DecodeMapping(ReadMapping(keyIndex, StateOf(Shift)));
}

QString TMapTermKeys::KeyMapFileName(const QString& WorkFolder) {
  QString program = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
  if (program.isEmpty()) program = QCoreApplication::applicationName();
  return QDir(WorkFolder).filePath(program + QStringLiteral(".kmap"));
}

void TMapTermKeys::SaveKeyMap() {
  FStore.SaveToFile(FKeyMapFileName);
  FChanged = false;
}

// ---- The dialog ------------------------------------------------------------

TMapTermKeys::TMapTermKeys(const QString& WorkFolder, QWidget* Parent)
    : QDialog(Parent), FKeyMapFileName(KeyMapFileName(WorkFolder)) {
  setWindowTitle(QStringLiteral("Map Terminal Keys"));

  FListBox1 = new QListWidget(this);
  FListBox1->setObjectName(QStringLiteral("ListBox1"));
  FListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
  FListBox1->setUniformItemSizes(true);
  const QFontMetrics metrics(FListBox1->font());
  for (int keyIndex = 0; keyIndex < KeyCount; ++keyIndex)
    for (int state = 0; state < StateCount; ++state)
      FCaptionWidth = std::max(FCaptionWidth, metrics.horizontalAdvance(KeyCaption(keyIndex, state)));
  FCaptionWidth += 4;
  // One item per key; what it shows comes from the map in the state shown.
  for (int keyIndex = 0; keyIndex < KeyCount; ++keyIndex) FListBox1->addItem(KeyName(keyIndex));
  FListBox1->setItemDelegate(new TKeyListDelegate(*this, FListBox1));
  FListBox1->setMinimumSize(FCaptionWidth + 200,
                            std::min(KeyCount, 12) * (metrics.boundingRect(QStringLiteral("W!~`pgq,|\\_+/!;TLHY")).height() + 4));
  const auto showMapping = [this] {
    const int row = FListBox1->currentRow();
    if (row >= 0) FEdit1->setText(ReadMapping(row, GetKeyState()));
  };
  connect(FListBox1, &QListWidget::currentRowChanged, this, showMapping);
  connect(FListBox1, &QListWidget::itemClicked, this, showMapping);

  auto* stateBox = new QGroupBox(QStringLiteral(" Key State "), this);
  auto* stateLayout = new QVBoxLayout(stateBox);
  FKeyState = new QButtonGroup(this);
  FKeyState->setObjectName(QStringLiteral("KeyState"));
  for (const char* caption : {"Normal", "Shift", "Ctrl"}) {
    auto* button = new QRadioButton(QString::fromLatin1(caption), stateBox);
    FKeyState->addButton(button, FKeyState->buttons().size());
    stateLayout->addWidget(button);
  }
  FKeyState->button(StateNormal)->setChecked(true);
  connect(FKeyState, &QButtonGroup::idToggled, this, [this](int, bool Checked) {
    if (Checked) FListBox1->viewport()->update();
  });

  FEdit1 = new QLineEdit(this);
  FEdit1->setObjectName(QStringLiteral("Edit1"));
  FUpdateButton = new QPushButton(QStringLiteral("Update"), this);
  FUpdateButton->setDefault(true);
  FCloseButton = new QPushButton(QStringLiteral("Close"), this);
  FCloseButton->setAutoDefault(false);
  connect(FUpdateButton, &QPushButton::clicked, this, &TMapTermKeys::UpdateClick);
  connect(FCloseButton, &QPushButton::clicked, this, &QDialog::accept);

  auto* side = new QVBoxLayout;
  side->addWidget(stateBox);
  side->addStretch();
  side->addWidget(FCloseButton);
  auto* top = new QHBoxLayout;
  top->addWidget(FListBox1, 1);
  top->addLayout(side);
  auto* edit = new QHBoxLayout;
  edit->addWidget(FEdit1, 1);
  edit->addWidget(FUpdateButton);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addLayout(edit);

  try {
    FStore.LoadFromFile(FKeyMapFileName);
  } catch (const EConfigFileError& Error) {
    FStore.Clear();
    FLoadError = QString::fromStdString(Error.what());
  }
}

QMessageBox* TMapTermKeys::MessageBox() const { return FMessageBox.data(); }

int TMapTermKeys::GetKeyState() const { return std::max(FKeyState->checkedId(), 0); }

void TMapTermKeys::UpdateClick() {
  const int keyIndex = FListBox1->currentRow();
  if (keyIndex < 0 || keyIndex >= KeyCount) return;
  const QString stored = EncodeMapping(DecodeMapping(FEdit1->text()));
  WriteMapping(keyIndex, GetKeyState(), stored);
  FEdit1->setText(stored);
  FListBox1->viewport()->update();
}

void TMapTermKeys::done(int Result) {
  if (FChanged && !FSaveFailureShown) {
    try {
      SaveKeyMap();
    } catch (const EConfigFileError& Error) {
      FSaveFailureShown = true;
      if (FMessageBox) FMessageBox->close();
      FMessageBox = new QMessageBox(QMessageBox::Critical, QStringLiteral("Error"),
                                    QStringLiteral("Unable to save the TTY key map."), QMessageBox::Ok, this);
      FMessageBox->setAttribute(Qt::WA_DeleteOnClose);
      connect(FMessageBox, &QDialog::finished, this, [this] { FMessageBox.clear(); });
      FMessageBox->setInformativeText(QString::fromStdString(Error.what()) +
                                      QStringLiteral("\nThe mappings stay in use until the program ends. Close the "
                                                     "dialog again to leave it without saving."));
      FMessageBox->open();
      return;
    }
  }
  FSaveFailureShown = false;  // the next close tries again
  QDialog::done(Result);
}
