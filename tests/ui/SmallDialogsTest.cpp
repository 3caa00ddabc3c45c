// The small dialogs of the main window as a user meets them: the TTY display
// settings with their colour dialog, the folder chooser with "New Path", and
// the COM port list that follows ports coming and going. Each opens, refuses
// what it must, changes nothing on Cancel and gives its answer on OK.
#include <gtest/gtest.h>

#include <QColorDialog>
#include <QDialogButtonBox>
#include <QFileSystemModel>
#include <QFrame>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>

#include "AppendChar.h"
#include "ComPortNames.h"
#include "PseudoTerminal.h"
#include "SelPathDlg.h"
#include "SelectComPortDlg.h"
#include "TTYDisplaySettingsDlg.h"
#include "TempFolder.h"
#include "WidgetTestSupport.h"

static void PrintTo(const QString& Text, std::ostream* Out) { *Out << '"' << Text.toStdString() << '"'; }

namespace {

using korvel_test::Rendered;

// The colour a panel shows at its centre, as painted in its dialog.
QColor ShownColor(QWidget& Dialog, const QFrame* Panel) {
  return Rendered(Dialog).pixelColor(Panel->mapTo(&Dialog, Panel->rect().center()));
}

QPushButton* ButtonOf(QDialog* Dialog, QDialogButtonBox::StandardButton Which) {
  return Dialog->findChild<QDialogButtonBox*>()->button(Which);
}

// The centre of a dialog and of its owner lie within a few pixels.
bool CentredOn(const QWidget& Dialog, const QWidget& Owner) {
  return (Dialog.frameGeometry().center() - Owner.frameGeometry().center()).manhattanLength() <= 4;
}

TEST(SmallDialogs, TtyDisplaySettingsChangeOnlyWithUpdate) {
  TTTYDisplaySettingsDlg dialog;
  EXPECT_EQ(dialog.windowTitle(), "TTY Display Settings");
  QColor back, font;
  int rows = 0;
  dialog.GetSettings(back, font, rows);
  EXPECT_EQ(back, QColor(166, 202, 240)) << "sky blue";
  EXPECT_EQ(font, QColor(Qt::black));
  EXPECT_EQ(rows, 50);
  dialog.SetSettings(Qt::blue, Qt::yellow, 2);
  EXPECT_EQ(dialog.DisplayRowsSpin()->text(), "4");
  dialog.SetSettings(Qt::blue, Qt::yellow, 500);
  EXPECT_EQ(dialog.DisplayRowsSpin()->text(), "200");

  // As the main window opens it: the TTY page's colours and rows.
  dialog.SetSettings(QColor(0, 0, 128), QColor(255, 255, 0), 50);
  dialog.open();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  QStringList labels;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) labels << label->text();
  EXPECT_TRUE(labels.contains("TTY display rows:"));
  EXPECT_EQ(dialog.BgColorButton()->text(), "BG Color");
  EXPECT_EQ(dialog.FontColorButton()->text(), "Font Color");
  EXPECT_EQ(dialog.UpdateButton()->text(), "Update");
  EXPECT_EQ(ShownColor(dialog, dialog.BgColorPanel()), QColor(0, 0, 128));
  EXPECT_EQ(ShownColor(dialog, dialog.FontColorPanel()), QColor(255, 255, 0));

  // "BG Color": the colour dialog starts on the swatch's colour; OK takes the choice.
  QTest::mouseClick(dialog.BgColorButton(), Qt::LeftButton);
  QColorDialog* colors = dialog.ColorDialog();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(colors));
  EXPECT_EQ(colors->currentColor(), QColor(0, 0, 128));
  auto* html = colors->findChildren<QLineEdit*>().last();  // the "HTML:" field
  html->selectAll();
  QTest::keyClicks(html, "#102030");
  QTest::keyClick(html, Qt::Key_Tab);
  EXPECT_EQ(colors->currentColor(), QColor(0x10, 0x20, 0x30));
  korvel_test::SaveScreenshot(Rendered(*colors), "parts_tty_settings_colour_dialog");
  QTest::mouseClick(ButtonOf(colors, QDialogButtonBox::Ok), Qt::LeftButton);
  EXPECT_FALSE(colors->isVisible());
  EXPECT_EQ(ShownColor(dialog, dialog.BgColorPanel()), QColor(0x10, 0x20, 0x30));

  // "Font Color" cancelled keeps the font colour.
  QTest::mouseClick(dialog.FontColorButton(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(colors));
  EXPECT_EQ(colors->currentColor(), QColor(255, 255, 0));
  colors->setCurrentColor(Qt::red);
  QTest::mouseClick(ButtonOf(colors, QDialogButtonBox::Cancel), Qt::LeftButton);
  EXPECT_EQ(ShownColor(dialog, dialog.FontColorPanel()), QColor(255, 255, 0));

  // Rows: digits only, and within 4..200.
  QSpinBox* spin = dialog.DisplayRowsSpin();
  spin->setFocus();
  spin->selectAll();
  QTest::keyClicks(spin, "x1a20");
  EXPECT_EQ(spin->text(), "120");
  spin->selectAll();
  QTest::keyClicks(spin, "999");
  EXPECT_LE(spin->value(), 200);
  spin->selectAll();
  QTest::keyClicks(spin, "72");
  korvel_test::SaveScreenshot(Rendered(dialog), "parts_tty_settings");

  // Cancel: the dialog gives back what it was given.
  QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  dialog.GetSettings(back, font, rows);
  EXPECT_EQ(back, QColor(0, 0, 128));
  EXPECT_EQ(font, QColor(255, 255, 0));
  EXPECT_EQ(rows, 50);

  // Again, confirmed with "Update" (Enter in the rows edit presses it).
  dialog.open();
  QTest::mouseClick(dialog.FontColorButton(), Qt::LeftButton);
  colors->setCurrentColor(QColor(1, 2, 3));
  QTest::mouseClick(ButtonOf(colors, QDialogButtonBox::Ok), Qt::LeftButton);
  spin->setFocus();
  spin->selectAll();
  QTest::keyClicks(spin, "72");
  QTest::keyClick(spin, Qt::Key_Return);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  dialog.GetSettings(back, font, rows);
  EXPECT_EQ(back, QColor(0, 0, 128));
  EXPECT_EQ(font, QColor(1, 2, 3));
  EXPECT_EQ(rows, 72);
}

TEST(SmallDialogs, SelectPathCreatesFoldersOnlyInsideTheChosenOne) {
  korvel_test::TTempFolder temp;
  std::filesystem::create_directory(temp / "exports");
  std::ofstream(temp / "notes.txt") << "a file, not a folder";
  const QString root = QString::fromStdString(temp.Path().string());
  EXPECT_EQ(AppendCharIfMissing(root, u'/'), root + "/");
  EXPECT_EQ(AppendCharIfMissing(root + "/", u'/'), root + "/");
  EXPECT_EQ(AppendCharIfMissing("", u'/'), "");

  QWidget owner;
  owner.resize(700, 600);
  owner.show();
  TSelPathDlg dialog(&owner);
  EXPECT_EQ(dialog.windowTitle(), "Select Path");
  EXPECT_EQ(dialog.GetPath(), "");
  EXPECT_FALSE(dialog.OkButton()->isEnabled()) << "nothing selected";
  EXPECT_FALSE(dialog.NewPathButton()->isEnabled());
  dialog.SetPath(root + "/missing");
  dialog.SetPath(root + "/notes.txt");
  EXPECT_EQ(dialog.GetPath(), "") << "neither is a folder";
  dialog.SetPath(root);
  EXPECT_EQ(dialog.GetPath(), root);

  dialog.open();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  EXPECT_TRUE(CentredOn(dialog, owner));
  EXPECT_EQ(dialog.PathLabel()->text(), root);
  EXPECT_TRUE(dialog.OkButton()->isEnabled());
  EXPECT_TRUE(dialog.NewPathButton()->isEnabled());

  // "New Path" with an answer that reaches outside, or names a file: refused.
  const auto answer = [&](const QString& Name) {
    QTest::mouseClick(dialog.NewPathButton(), Qt::LeftButton);
    QInputDialog* box = dialog.NewPathBox();
    EXPECT_NE(box, nullptr);
    if (box == nullptr) return;
    EXPECT_TRUE(QTest::qWaitForWindowExposed(box));
    EXPECT_EQ(box->windowTitle(), "Create Directory Path");
    EXPECT_EQ(box->labelText(), "Enter Path Name");
    QTest::keyClicks(box->findChild<QLineEdit*>(), Name);
    QTest::mouseClick(ButtonOf(box, QDialogButtonBox::Ok), Qt::LeftButton);
  };
  const auto entries = [](const std::filesystem::path& Folder) {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(Folder), {}));
  };
  const QString absolute = root + "/absolute";
  for (const QString& name : {QString("../escaped"), QString(".."), QString("a/../../escaped"), absolute,
                             QString("notes.txt"), QString("notes.txt/inner")}) {
    answer(name);
    QMessageBox* message = dialog.MessageBox();
    ASSERT_NE(message, nullptr) << name.toStdString();
    EXPECT_TRUE(message->isVisible());
    EXPECT_EQ(message->text(), "Unable to create new directory path!");
    if (name == "..") korvel_test::SaveScreenshot(Rendered(*message), "parts_select_path_refused");
    QTest::mouseClick(message->button(QMessageBox::Ok), Qt::LeftButton);
    EXPECT_EQ(dialog.GetPath(), root);
  }
  EXPECT_EQ(entries(temp.Path()), 2) << "nothing made inside";
  // Beside it other tests come and go: only the name that reached out is looked for.
  EXPECT_FALSE(std::filesystem::exists(temp.Path().parent_path() / "escaped")) << "nor beside";
  EXPECT_FALSE(std::filesystem::exists(temp / "a"));
  EXPECT_FALSE(std::filesystem::exists(temp / "absolute")) << "an absolute path is not taken as one inside";

  // A proper name: made inside the chosen folder and selected.
  answer("Disk Exports");
  EXPECT_EQ(dialog.MessageBox(), nullptr);
  EXPECT_TRUE(std::filesystem::is_directory(temp / "Disk Exports"));
  EXPECT_EQ(dialog.GetPath(), root + "/Disk Exports");
  EXPECT_EQ(dialog.PathLabel()->text(), root + "/Disk Exports");
  // The name box cancelled makes nothing.
  QTest::mouseClick(dialog.NewPathButton(), Qt::LeftButton);
  ASSERT_NE(dialog.NewPathBox(), nullptr);
  QTest::keyClicks(dialog.NewPathBox()->findChild<QLineEdit*>(), "never");
  QTest::mouseClick(ButtonOf(dialog.NewPathBox(), QDialogButtonBox::Cancel), Qt::LeftButton);
  EXPECT_FALSE(std::filesystem::exists(temp / "Disk Exports" / "never"));

  // Choosing with the mouse; Cancel gives no answer, OK the folder.
  QTreeView* tree = dialog.ShellTreeView1();
  auto* model = qobject_cast<QFileSystemModel*>(tree->model());
  const QModelIndex exports = model->index(root + "/exports");
  tree->expand(exports.parent());
  tree->scrollTo(exports);
  ASSERT_TRUE(QTest::qWaitFor([&] { return tree->visualRect(exports).isValid(); }, 5000));
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, tree->visualRect(exports).center());
  EXPECT_EQ(dialog.GetPath(), root + "/exports");
  EXPECT_EQ(dialog.PathLabel()->text(), root + "/exports");
  korvel_test::SaveScreenshot(Rendered(dialog), "parts_select_path");
  QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_FALSE(dialog.isVisible());
  dialog.open();
  dialog.SetPath(root + "/Disk Exports");
  QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(AppendCharIfMissing(dialog.GetPath(), u'/'), root + "/Disk Exports/");
}

QStringList Column(const QTableWidget& Grid, int Column) {
  QStringList texts;
  for (int row = 0; row < Grid.rowCount(); ++row) texts << Grid.item(row, Column)->text();
  return texts;
}

TEST(SmallDialogs, SelectComPortListsTheHostsPortsAndFollowsThem) {
  std::vector<std::unique_ptr<korvel_test::PseudoTerminal>> ptys;
  for (int i = 0; i < 3; ++i) ptys.push_back(std::make_unique<korvel_test::PseudoTerminal>());
  const auto path = [&](int Index) { return QString::fromStdString(ptys[static_cast<size_t>(Index)]->SlaveName()); };
  const QString first = path(0), second = path(1), third = path(2);
  SetComPortDevice(45, first.toStdString());
  // A host whose serial ports are the pseudo-terminals in `plugged`.
  std::vector<std::string> plugged{first.toStdString(), second.toStdString()};
  const auto hostPorts = [&] {
    std::vector<TSerialPortEntry> ports = ListSerialPorts(plugged);
    std::erase_if(ports, [&](const TSerialPortEntry& Port) {
      return std::find(plugged.begin(), plugged.end(), Port.Device) == plugged.end();
    });
    return ports;
  };

  QWidget owner;
  owner.resize(600, 500);
  owner.show();
  TSelectComPortDlg dialog(&owner);
  dialog.SetPortSource(hostPorts);
  dialog.PresetPort = "COM45";
  const auto* timer = dialog.findChild<QTimer*>("ChangeTimer");
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(timer->interval(), 1700);
  EXPECT_FALSE(timer->isActive());

  dialog.open();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  EXPECT_EQ(dialog.windowTitle(), "Select Com Port");
  EXPECT_TRUE(CentredOn(dialog, owner));
  QTableWidget* grid = dialog.ValueListEditor1();
  EXPECT_EQ(grid->horizontalHeaderItem(0)->text(), "Port Name");
  EXPECT_EQ(grid->horizontalHeaderItem(1)->text(), "Device");
  EXPECT_EQ(grid->columnWidth(0), 85);
  EXPECT_EQ(Column(*grid, 0), QStringList({"COM45", second}));
  EXPECT_EQ(Column(*grid, 1), QStringList({first, second}));
  EXPECT_EQ(dialog.GetSelectedPort(), "COM45") << "the preset port";
  EXPECT_TRUE(dialog.OkButton()->isEnabled());
  EXPECT_TRUE(timer->isActive());

  // The user moves to the second port; one port goes and another comes: the list
  // follows within one refresh and the choice stays.
  grid->setFocus();
  QTest::keyClick(grid, Qt::Key_Down);
  EXPECT_EQ(dialog.GetSelectedPort(), second);
  plugged = {second.toStdString(), third.toStdString()};
  ptys[0].reset();
  EXPECT_TRUE(QTest::qWaitFor([&] { return Column(*grid, 0) == QStringList({second, third}); }, 1900 + 500));
  EXPECT_EQ(dialog.GetSelectedPort(), second);
  korvel_test::SaveScreenshot(Rendered(dialog), "parts_select_com_port");

  // Cancel, then OK with the keyboard and by double-click.
  QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  EXPECT_FALSE(timer->isActive()) << "a hidden dialog stops refreshing";
  dialog.PresetPort = third;
  dialog.open();
  EXPECT_EQ(dialog.GetSelectedPort(), third);
  QTest::keyClick(grid, Qt::Key_Return);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.GetSelectedPort(), third);
  dialog.PresetPort = "COM45";  // gone by now: nothing is selected
  dialog.open();
  EXPECT_EQ(dialog.GetSelectedPort(), "");
  EXPECT_FALSE(dialog.OkButton()->isEnabled());
  const QRect secondRow = grid->visualRect(grid->model()->index(0, 1));
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, secondRow.center());
  EXPECT_TRUE(dialog.OkButton()->isEnabled());
  QTest::mouseDClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, secondRow.center());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.GetSelectedPort(), second);

  // A host without serial ports.
  plugged.clear();
  dialog.open();
  EXPECT_EQ(grid->rowCount(), 0);
  EXPECT_EQ(dialog.GetSelectedPort(), "");
  EXPECT_FALSE(dialog.OkButton()->isEnabled());
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
  SetComPortDevice(45, "");
}

}  // namespace
