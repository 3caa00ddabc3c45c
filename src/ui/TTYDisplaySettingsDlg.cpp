#include "TTYDisplaySettingsDlg.h"

#include <QColorDialog>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

namespace {
const QColor SkyBlue(166, 202, 240);
}

TTTYDisplaySettingsDlg::TTTYDisplaySettingsDlg(QWidget* Parent) : QDialog(Parent) {
  setWindowTitle(QStringLiteral("TTY Display Settings"));

  auto makePanel = [this](const QString& Name) {
    auto* panel = new QFrame(this);
    panel->setObjectName(Name);
    panel->setFrameStyle(QFrame::Box | QFrame::Plain);
    panel->setAutoFillBackground(true);
    panel->setFixedSize(64, 25);
    return panel;
  };
  FBgColorPanel = makePanel(QStringLiteral("BgColorPanel"));
  FFontColorPanel = makePanel(QStringLiteral("FontColorPanel"));
  FBgColorButton = new QPushButton(QStringLiteral("BG Color"), this);
  FFontColorButton = new QPushButton(QStringLiteral("Font Color"), this);
  FBgColorButton->setAutoDefault(false);
  FFontColorButton->setAutoDefault(false);

  auto* rowsLabel = new QLabel(QStringLiteral("TTY display rows:"), this);
  FDisplayRowsSpin = new QSpinBox(this);
  FDisplayRowsSpin->setObjectName(QStringLiteral("DisplayRowsSpin"));
  FDisplayRowsSpin->setRange(MinRows, MaxRows);
  rowsLabel->setBuddy(FDisplayRowsSpin);

  FUpdateButton = new QPushButton(QStringLiteral("Update"), this);
  FUpdateButton->setDefault(true);
  FCancelButton = new QPushButton(QStringLiteral("Cancel"), this);
  FCancelButton->setAutoDefault(false);
  connect(FUpdateButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(FCancelButton, &QPushButton::clicked, this, &TTTYDisplaySettingsDlg::reject);

  FColorDialog = new QColorDialog(this);
  FColorDialog->setObjectName(QStringLiteral("ColorDialog"));
  FColorDialog->setOption(QColorDialog::DontUseNativeDialog);
  connect(FColorDialog, &QColorDialog::colorSelected, this, [this](const QColor& Color) {
    if (FColorTarget != nullptr && Color.isValid()) SetPanelColor(FColorTarget, Color);
    FColorTarget = nullptr;
  });
  connect(FColorDialog, &QColorDialog::rejected, this, [this] { FColorTarget = nullptr; });
  connect(FBgColorButton, &QPushButton::clicked, this, [this] { ChooseColor(FBgColorPanel); });
  connect(FFontColorButton, &QPushButton::clicked, this, [this] { ChooseColor(FFontColorPanel); });

  auto* grid = new QGridLayout;
  grid->addWidget(FBgColorPanel, 0, 0);
  grid->addWidget(FBgColorButton, 0, 1);
  grid->addWidget(FFontColorPanel, 1, 0);
  grid->addWidget(FFontColorButton, 1, 1);
  grid->addWidget(rowsLabel, 2, 0);
  grid->addWidget(FDisplayRowsSpin, 2, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(FUpdateButton);
  buttons->addWidget(FCancelButton);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addStretch();
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  SetSettings(SkyBlue, Qt::black, 50);
}

void TTTYDisplaySettingsDlg::SetPanelColor(QFrame* Panel, const QColor& Color) {
  QPalette palette = Panel->palette();
  palette.setColor(QPalette::Window, Color);
  Panel->setPalette(palette);
}

QColor TTTYDisplaySettingsDlg::PanelColor(const QFrame* Panel) { return Panel->palette().color(QPalette::Window); }

void TTTYDisplaySettingsDlg::SetSettings(const QColor& BackColor, const QColor& FontColor, int Rows) {
  FGivenBackColor = BackColor;
  FGivenFontColor = FontColor;
  FGivenRows = std::clamp(Rows, MinRows, MaxRows);
  SetPanelColor(FBgColorPanel, BackColor);
  SetPanelColor(FFontColorPanel, FontColor);
  FDisplayRowsSpin->setValue(FGivenRows);
}

void TTTYDisplaySettingsDlg::GetSettings(QColor& BackColor, QColor& FontColor, int& Rows) const {
  BackColor = PanelColor(FBgColorPanel);
  FontColor = PanelColor(FFontColorPanel);
  // Digits typed but not yet taken count, as they show.
  FDisplayRowsSpin->interpretText();
  Rows = FDisplayRowsSpin->value();
}

void TTTYDisplaySettingsDlg::ChooseColor(QFrame* Panel) {
  FColorTarget = Panel;
  FColorDialog->setCurrentColor(PanelColor(Panel));
  FColorDialog->open();
}

void TTTYDisplaySettingsDlg::reject() {
  FColorDialog->reject();
  SetSettings(FGivenBackColor, FGivenFontColor, FGivenRows);
  QDialog::reject();
}
