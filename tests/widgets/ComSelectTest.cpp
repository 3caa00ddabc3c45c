// The "Select Port" dialog as a user meets it: the ports it offers, choosing one
// with the keyboard, OK, Enter and Cancel, and a list that follows ports
// coming and going, with no OK while there is no port. Pseudo-terminals stand in
// for the serial ports.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "AdSelCom.h"
#include "ComPortNames.h"
#include "PseudoTerminal.h"
#include "SerialPortList.h"
#include "WidgetTestSupport.h"

// Failure messages show texts as text.
static void PrintTo(const QString& Text, std::ostream* Out) { *Out << '"' << Text.toStdString() << '"'; }

namespace {

using korvel_test::PseudoTerminal;

QStringList ItemTexts(const TComSelectForm& Form) {
  QStringList texts;
  for (int i = 0; i < Form.PortsComboBox()->count(); ++i) texts << Form.PortsComboBox()->itemText(i);
  return texts;
}

QStringList Names(const std::vector<TSerialPortEntry>& Ports) {
  QStringList names;
  for (const TSerialPortEntry& port : Ports) names << QString::fromStdString(port.Name);
  return names;
}

// Moves the list's selection to Index as a user does: Home, then Down.
void ChooseWithKeys(QComboBox* Combo, int Index) {
  QTest::keyClick(Combo, Qt::Key_Home);
  for (int i = 0; i < Index; ++i) QTest::keyClick(Combo, Qt::Key_Down);
}

TEST(ComSelect, OffersTheHostsAndNamedPortsAndReturnsTheChosenOne) {
  PseudoTerminal mapped, named;
  SetComPortDevice(47, mapped.SlaveName());
  const QString namedPath = QString::fromStdString(named.SlaveName());
  TComSelectForm form;
  EXPECT_TRUE(ItemTexts(form).contains("COM47")) << "the host's list holds the COM number mapped to a pseudo-terminal";
  EXPECT_FALSE(ItemTexts(form).contains(namedPath));

  form.SetPortSource([&] { return ListSerialPorts({named.SlaveName()}); });
  form.open();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  EXPECT_EQ(form.windowTitle(), "Select Port");
  QStringList labels;
  for (const QLabel* label : form.findChildren<QLabel*>())
    if (label->isVisible()) labels << label->text();
  EXPECT_EQ(labels, QStringList({"The configured serial port is not valid.", "Please choose another port."}));
  EXPECT_GE(form.width(), 220);
  EXPECT_GE(form.height(), 131);
  EXPECT_LE((form.frameGeometry().center() - form.screen()->availableGeometry().center()).manhattanLength(), 2)
      << "centred on the screen";

  QComboBox* combo = form.PortsComboBox();
  EXPECT_EQ(ItemTexts(form), Names(ListSerialPorts({named.SlaveName()})));
  const int com47 = combo->findText("COM47");
  const int namedAt = combo->findText(namedPath);
  ASSERT_GE(com47, 0);
  EXPECT_EQ(namedAt, combo->count() - 1) << "a named device comes after the host's";
  EXPECT_EQ(combo->itemData(com47, Qt::ToolTipRole).toString(), QString::fromStdString(mapped.SlaveName()));
  EXPECT_EQ(combo->currentIndex(), 0) << "the first port is selected";
  EXPECT_TRUE(form.OkButton()->isEnabled());
  EXPECT_TRUE(form.OkButton()->isDefault());

  ChooseWithKeys(combo, namedAt);
  EXPECT_EQ(combo->currentText(), namedPath);
  korvel_test::SaveScreenshot(korvel_test::Rendered(form), "com_select_named_port");
  QTest::mouseClick(form.OkButton(), Qt::LeftButton);
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.result(), QDialog::Accepted);
  EXPECT_EQ(form.ChosenPort(), namedPath);
  EXPECT_EQ(form.ChosenPortNumber(), 0);

  // Again: COM47 with the keyboard alone; Enter presses OK.
  form.open();
  EXPECT_EQ(form.ChosenPort(), "");
  ChooseWithKeys(combo, com47);
  QTest::keyClick(combo, Qt::Key_Return);
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.ChosenPort(), "COM47");
  EXPECT_EQ(form.ChosenPortNumber(), 47);

  // Cancel chooses nothing.
  form.open();
  QTest::mouseClick(form.CancelButton(), Qt::LeftButton);
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.result(), QDialog::Rejected);
  EXPECT_EQ(form.ChosenPort(), "");
  EXPECT_EQ(form.ChosenPortNumber(), 0);
  SetComPortDevice(47, "");
}

TEST(ComSelect, FollowsPortsThatComeAndGoAndOffersNoOkWithoutAPort) {
  std::vector<std::unique_ptr<PseudoTerminal>> ptys;
  for (int i = 0; i < 4; ++i) ptys.push_back(std::make_unique<PseudoTerminal>());
  auto path = [&](int Index) { return QString::fromStdString(ptys[Index]->SlaveName()); };
  // A host whose only serial ports are the test's pseudo-terminals in `plugged`.
  std::vector<std::string> plugged{ptys[0]->SlaveName(), ptys[1]->SlaveName()};
  auto unplug = [&](int Index) {
    std::erase(plugged, ptys[Index]->SlaveName());
    ptys[Index].reset();
  };
  TComSelectForm form;
  form.SetPortSource([&] {
    std::vector<TSerialPortEntry> ports = ListSerialPorts(plugged);
    std::erase_if(ports, [&](const TSerialPortEntry& Port) {
      return std::find(plugged.begin(), plugged.end(), Port.Device) == plugged.end();
    });
    return ports;
  });
  const auto* changeTimer = form.findChild<QTimer*>("ChangeTimer");
  ASSERT_NE(changeTimer, nullptr);
  EXPECT_EQ(changeTimer->interval(), 1700);
  EXPECT_FALSE(changeTimer->isActive()) << "no refreshing before the dialog shows";

  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  EXPECT_TRUE(changeTimer->isActive());
  QComboBox* combo = form.PortsComboBox();
  EXPECT_EQ(ItemTexts(form), QStringList({path(0), path(1)}));
  QTest::keyClick(combo, Qt::Key_Down);
  EXPECT_EQ(form.GetSelectedPort(), path(1));

  // A port comes, another goes: the list follows within one refresh and the
  // user's choice stays.
  const QString second = path(1), third = path(2);
  plugged.push_back(ptys[2]->SlaveName());
  unplug(0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return ItemTexts(form) == QStringList({second, third}); }, 2500));
  EXPECT_EQ(form.GetSelectedPort(), second);

  // The last ports go: an empty list, and no OK by button, Enter or accept().
  unplug(1);
  unplug(2);
  EXPECT_TRUE(QTest::qWaitFor([&] { return combo->count() == 0; }, 2500));
  EXPECT_FALSE(form.OkButton()->isEnabled());
  EXPECT_EQ(form.GetSelectedPort(), "");
  korvel_test::SaveScreenshot(korvel_test::Rendered(form), "com_select_no_port");
  QTest::mouseClick(form.OkButton(), Qt::LeftButton);
  QTest::keyClick(combo, Qt::Key_Return);
  form.accept();
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.ChosenPort(), "");

  // A port arrives: it is selected and OK is back.
  const QString fourth = path(3);
  plugged.push_back(ptys[3]->SlaveName());
  EXPECT_TRUE(QTest::qWaitFor([&] { return form.OkButton()->isEnabled(); }, 2500));
  EXPECT_EQ(form.GetSelectedPort(), fourth);

  // A port that goes between the last refresh and OK is not returned: the list
  // is read again and the dialog stays.
  auto late = std::make_unique<PseudoTerminal>();
  plugged.push_back(late->SlaveName());
  form.LoadPortList();
  ChooseWithKeys(combo, 1);
  EXPECT_EQ(form.GetSelectedPort(), QString::fromStdString(late->SlaveName()));
  std::erase(plugged, late->SlaveName());
  late.reset();
  QTest::mouseClick(form.OkButton(), Qt::LeftButton);
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(ItemTexts(form), QStringList({fourth}));
  QTest::mouseClick(form.OkButton(), Qt::LeftButton);
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(form.ChosenPort(), fourth);
  EXPECT_FALSE(changeTimer->isActive()) << "a hidden dialog stops refreshing";
}

}  // namespace
