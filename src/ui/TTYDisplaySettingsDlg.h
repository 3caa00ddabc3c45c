// The "TTY Display Settings" dialog: background and text colour of the TTY page
// and its number of rows. "Update" closes it with OK; the caller applies the
// values only then. Cancel, Escape or the close box bring back the values it was
// given, so nothing the user tried survives.
//
// The colour dialog opens window-modal over this one (open(), not exec()), so the
// dialog never runs a nested event loop of its own.
#pragma once

#include <QColor>
#include <QDialog>

class QColorDialog;
class QFrame;
class QPushButton;
class QSpinBox;

class TTTYDisplaySettingsDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr int MinRows = 4;
  static constexpr int MaxRows = 200;

  explicit TTTYDisplaySettingsDlg(QWidget* Parent = nullptr);

  // Rows are clamped to MinRows..MaxRows.
  void SetSettings(const QColor& BackColor, const QColor& FontColor, int Rows);
  void GetSettings(QColor& BackColor, QColor& FontColor, int& Rows) const;

  QFrame* BgColorPanel() const { return FBgColorPanel; }
  QFrame* FontColorPanel() const { return FFontColorPanel; }
  QPushButton* BgColorButton() const { return FBgColorButton; }
  QPushButton* FontColorButton() const { return FFontColorButton; }
  QSpinBox* DisplayRowsSpin() const { return FDisplayRowsSpin; }
  QPushButton* UpdateButton() const { return FUpdateButton; }
  QPushButton* CancelButton() const { return FCancelButton; }
  QColorDialog* ColorDialog() const { return FColorDialog; }

 public slots:
  void reject() override;

 private:
  // Opens the colour dialog on Panel's colour; OK there gives Panel the choice.
  void ChooseColor(QFrame* Panel);
  static void SetPanelColor(QFrame* Panel, const QColor& Color);
  static QColor PanelColor(const QFrame* Panel);

  QFrame* FBgColorPanel;
  QFrame* FFontColorPanel;
  QPushButton* FBgColorButton;
  QPushButton* FFontColorButton;
  QSpinBox* FDisplayRowsSpin;
  QPushButton* FUpdateButton;
  QPushButton* FCancelButton;
  QColorDialog* FColorDialog;
  QFrame* FColorTarget = nullptr;
  // What SetSettings gave, brought back on cancel.
  QColor FGivenBackColor;
  QColor FGivenFontColor;
  int FGivenRows = 50;
};
