// The drive lamp as a user sees it: its colours lit and unlit, the raised
// bevel, a glyph's two halves with its transparent colour, and its size.
#include <gtest/gtest.h>

#include <QPainter>
#include <QPixmap>

#include "AdStatLt.h"
#include "WidgetTestSupport.h"

namespace {

using korvel_test::Rendered;

// Counts the lamp's paint events.
class TCountingLight : public TApdStatusLight {
 public:
  int Paints = 0;

 protected:
  void paintEvent(QPaintEvent* Event) override {
    ++Paints;
    TApdStatusLight::paintEvent(Event);
  }
};

TEST(StatusLight, ColoursBevelAndRepaintsAsTheDiskPageShowsThem) {
  QWidget page;
  page.setStyleSheet("background: #d4d0c8");
  auto* lamp = new TCountingLight;
  lamp->setParent(&page);
  lamp->SetNotLitColor(QColor(128, 128, 128));  // the Disks page's unlit grey
  EXPECT_EQ(lamp->size(), QSize(13, 13));
  EXPECT_EQ(lamp->GetVersion(), "v4.06");
  page.resize(40, 40);
  page.show();
  korvel_test::ProcessEvents();

  QImage unlit = Rendered(*lamp);
  EXPECT_EQ(unlit.size(), QSize(13, 13));
  EXPECT_EQ(unlit.pixelColor(6, 6), QColor(128, 128, 128));
  EXPECT_EQ(unlit.pixelColor(0, 0), QColor(255, 255, 255)) << "light top-left corner";
  EXPECT_EQ(unlit.pixelColor(6, 0), QColor(255, 255, 255));
  EXPECT_EQ(unlit.pixelColor(0, 12), QColor(255, 255, 255)) << "the left line reaches the bottom";
  EXPECT_EQ(unlit.pixelColor(12, 6), QColor(128, 128, 128));
  EXPECT_EQ(unlit.pixelColor(6, 12), QColor(128, 128, 128));
  EXPECT_EQ(unlit.pixelColor(12, 0), QColor(255, 255, 255)) << "the top line runs to the right edge";

  lamp->SetLit(true);
  QImage lit = Rendered(*lamp);
  EXPECT_EQ(lit.pixelColor(6, 6), QColor(255, 0, 0));
  EXPECT_EQ(lit.pixelColor(12, 12), QColor(128, 128, 128));
  korvel_test::SaveScreenshot(lit.scaled(52, 52), "status_light_lit");

  // No repaint for an unchanged state, nor for the colour not shown.
  korvel_test::ProcessEvents();
  const int paints = lamp->Paints;
  lamp->SetLit(true);
  lamp->SetNotLitColor(QColor(0, 0, 255));
  korvel_test::ProcessEvents();
  EXPECT_EQ(lamp->Paints, paints);
  lamp->SetLitColor(QColor(255, 255, 0));
  korvel_test::ProcessEvents();
  EXPECT_GT(lamp->Paints, paints);
  lamp->SetLit(false);
  EXPECT_EQ(Rendered(*lamp).pixelColor(6, 6), QColor(0, 0, 255)) << "the new unlit colour shows when unlit";
}

TEST(StatusLight, GlyphHalvesAndTheirTransparentColour) {
  // 26 x 13: a green lamp on the left, a dark one on the right, magenta around.
  QPixmap glyph(26, 13);
  glyph.fill(Qt::magenta);
  {
    QPainter painter(&glyph);
    painter.fillRect(QRect(3, 3, 7, 7), Qt::green);
    painter.fillRect(QRect(16, 3, 7, 7), Qt::darkGreen);
  }
  QWidget page;
  page.setAutoFillBackground(true);
  QPalette palette = page.palette();
  palette.setColor(QPalette::Window, QColor(10, 20, 30));
  page.setPalette(palette);
  auto* lamp = new TApdStatusLight(&page);
  lamp->SetGlyph(glyph);
  EXPECT_TRUE(lamp->HasGlyph());
  EXPECT_EQ(lamp->size(), QSize(13, 13));
  lamp->SetBounds(5, 6, 40, 30);
  EXPECT_EQ(lamp->geometry(), QRect(5, 6, 13, 13)) << "a glyph keeps its size";
  page.resize(40, 40);
  page.show();
  korvel_test::ProcessEvents();

  lamp->SetLit(true);
  QImage page1 = Rendered(page);
  EXPECT_EQ(page1.pixelColor(5 + 6, 6 + 6), QColor(Qt::green));
  EXPECT_EQ(page1.pixelColor(5 + 1, 6 + 1), QColor(10, 20, 30)) << "the transparent colour shows the page";
  lamp->SetLit(false);
  QImage page2 = Rendered(page);
  EXPECT_EQ(page2.pixelColor(5 + 6, 6 + 6), QColor(Qt::darkGreen));
  korvel_test::SaveScreenshot(page2.scaled(160, 160), "status_light_glyph_unlit");

  lamp->SetGlyph(QPixmap());
  EXPECT_FALSE(lamp->HasGlyph());
  lamp->SetBounds(0, 0, 20, 20);
  EXPECT_EQ(lamp->size(), QSize(20, 20)) << "without a glyph the bounds are taken as given";
  EXPECT_EQ(Rendered(*lamp).pixelColor(10, 10), QColor(0, 128, 0)) << "colour painting is back";
}

}  // namespace
