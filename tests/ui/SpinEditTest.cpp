// The printer's margin edit as a user works it: typing, leaving the edit,
// stepping with keys and buttons, pasting, and the states that take typing away.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QTest>
#include <QVBoxLayout>
#include <ostream>

#include "Rspin.h"
#include "WidgetTestSupport.h"

static void PrintTo(const QString& Text, std::ostream* Out) { *Out << '"' << Text.toStdString() << '"'; }

namespace {

// The spin edit's text as it shows.
QString Shown(const TRSpinEdit& Edit) { return Edit.findChild<QLineEdit*>()->text(); }

// Moves the focus on, as Tab does: the edit is left.
void Leave(QWidget& Next) {
  Next.setFocus(Qt::TabFocusReason);
  korvel_test::ProcessEvents();
}

void ClickButton(TRSpinEdit& Edit, QStyle::SubControl Button) {
  QStyleOptionSpinBox option;
  option.initFrom(&Edit);
  option.subControls = QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown;
  option.stepEnabled = QAbstractSpinBox::StepUpEnabled | QAbstractSpinBox::StepDownEnabled;
  const QRect rect = Edit.style()->subControlRect(QStyle::CC_SpinBox, &option, Button, &Edit);
  QTest::mouseClick(&Edit, Qt::LeftButton, Qt::NoModifier, rect.center());
}

TEST(SpinEdit, MarginEditTakesNumbersOnlyAndKeepsThemInRange) {
  QWidget page;
  auto* layout = new QVBoxLayout(&page);
  auto* margin = new TRSpinEdit(&page);
  auto* other = new QLineEdit(&page);
  layout->addWidget(margin);
  layout->addWidget(other);
  EXPECT_EQ(Shown(*margin), "0.0") << "a new edit";
  EXPECT_EQ(margin->GetMinValue(), 0);
  EXPECT_EQ(margin->GetMaxValue(), 10);
  EXPECT_DOUBLE_EQ(margin->GetIncrement(), 0.1);
  EXPECT_EQ(margin->GetDecimalDigits(), 2);
  int changes = 0;
  margin->OnChange = [&](TRSpinEdit&) { ++changes; };

  // As the Ports page sets up its top and bottom margin.
  margin->SetMinValue(0.25);
  margin->SetMaxValue(2);
  margin->SetIncrement(0.25);
  margin->SetValue(0.25);
  EXPECT_EQ(Shown(*margin), "0.25");
  EXPECT_EQ(changes, 1);
  page.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&page));

  // Typing 5 and leaving shows the upper limit; letters are refused.
  margin->setFocus(Qt::TabFocusReason);
  QTest::keyClick(margin, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(margin, "5x");
  QTest::keyClicks(margin, "e");
  EXPECT_EQ(Shown(*margin), "5");
  EXPECT_DOUBLE_EQ(margin->GetValue(), 5) << "out of range until the edit is left";
  Leave(*other);
  EXPECT_EQ(Shown(*margin), "2.00");
  EXPECT_DOUBLE_EQ(margin->GetValue(), 2);

  // Up at 1.95 stops at the limit; the buttons step too.
  margin->SetValue(1.95);
  margin->setFocus(Qt::TabFocusReason);
  QTest::keyClick(margin, Qt::Key_Up);
  EXPECT_EQ(Shown(*margin), "2.00");
  ClickButton(*margin, QStyle::SC_SpinBoxDown);
  EXPECT_EQ(Shown(*margin), "1.75");
  ClickButton(*margin, QStyle::SC_SpinBoxUp);
  QTest::keyClick(margin, Qt::Key_Down);
  QTest::keyClick(margin, Qt::Key_Down);
  EXPECT_EQ(Shown(*margin), "1.50");
  korvel_test::SaveScreenshot(korvel_test::Rendered(page), "parts_spin_edit_margin");

  // An empty text reads as the lower limit and shows it once the edit is left.
  QTest::keyClick(margin, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(margin, Qt::Key_Backspace);
  EXPECT_EQ(Shown(*margin), "");
  EXPECT_DOUBLE_EQ(margin->GetValue(), 0.25);
  Leave(*other);
  EXPECT_EQ(Shown(*margin), "0.25");

  // Pasting: a number goes in, anything else is refused; a half number is
  // completed on leaving.
  margin->setFocus(Qt::TabFocusReason);
  QTest::keyClick(margin, Qt::Key_A, Qt::ControlModifier);
  QApplication::clipboard()->setText("1abc");
  QTest::keyClick(margin, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(Shown(*margin), "0.25");
  QApplication::clipboard()->setText("1.5");
  QTest::keyClick(margin, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(Shown(*margin), "1.5");
  QTest::keyClick(margin, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(margin, "-");
  EXPECT_EQ(Shown(*margin), "-");
  Leave(*other);
  EXPECT_EQ(Shown(*margin), "0.25");

  // Without typing: keys and buttons still step, characters and Backspace are refused.
  margin->SetEditorEnabled(false);
  margin->setFocus(Qt::TabFocusReason);
  QTest::keyClick(margin, Qt::Key_End);
  QTest::keyClicks(margin, "1");
  QTest::keyClick(margin, Qt::Key_Backspace);
  EXPECT_EQ(Shown(*margin), "0.25");
  QTest::keyClick(margin, Qt::Key_Up);
  EXPECT_EQ(Shown(*margin), "0.50");
  margin->SetEditorEnabled(true);

  // Read-only: nothing changes it.
  margin->setReadOnly(true);
  QTest::keyClick(margin, Qt::Key_Up);
  ClickButton(*margin, QStyle::SC_SpinBoxUp);
  QTest::keyClicks(margin, "9");
  EXPECT_EQ(Shown(*margin), "0.50");
  margin->SetEditorEnabled(false);
  margin->SetEditorEnabled(true);
  QTest::keyClicks(margin, "9");
  EXPECT_EQ(Shown(*margin), "0.50") << "enabling the editor keeps a read-only edit read-only";
  margin->setReadOnly(false);

  // Equal limits: no clamping. At least one decimal.
  margin->SetMinValue(3);
  margin->SetMaxValue(3);
  margin->SetValue(-123.456);
  EXPECT_EQ(Shown(*margin), "-123.46");
  margin->SetDecimalDigits(0);
  EXPECT_EQ(margin->GetDecimalDigits(), 1);
  margin->SetValue(0.04);
  EXPECT_EQ(Shown(*margin), "0.0");

  // A locale with a decimal comma shows one and takes both.
  margin->setLocale(QLocale(QLocale::German, QLocale::Germany));
  margin->SetMinValue(1);
  margin->SetMaxValue(3);
  margin->SetDecimalDigits(2);
  margin->SetValue(1.1);
  EXPECT_EQ(Shown(*margin), "1,10");
  QTest::keyClick(margin, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(margin, "2,5");
  EXPECT_DOUBLE_EQ(margin->GetValue(), 2.5);
  QTest::keyClick(margin, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(margin, "2.75");
  EXPECT_DOUBLE_EQ(margin->GetValue(), 2.75);
  EXPECT_GT(changes, 10);
}

}  // namespace
