#include "mainwin/ThumbBox.h"

#include "TestEnv.h"
#include "app/Settings.h"
#include "imaging/Draw.h"

#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <set>

using namespace v7;

namespace
{

// A box whose "thumbnails" are solid colours, with a count of cells drawn.
struct Fixture {
    ThumbBox box;
    int painted = 0;
    explicit Fixture(QSize size, int files)
    {
        settings() = Settings();
        settings().ThumbColorFrame = 0x00C0C0C0;
        box.resize(size);
        box.setSources(
            [this](QPainter &p, int index, QPoint origin) {
                ++painted;
                p.fillRect(QRect(origin, QSize(96, 72)), QColor::fromHsv((index * 37) % 360, 200, 200));
            },
            [](int) { return true; },
            [](int index) { return QPair<QString, QString>(QStringLiteral("file%1.jpg").arg(index), QString()); });
        box.setFileCount(files);
    }
    QImage grab() { return box.grab().toImage(); }
};

} // namespace

TEST(ThumbBox, LayoutOfTheDefaultCells)
{
    Fixture f(QSize(500, 400), 7);
    EXPECT_EQ(f.box.geometry().cellW, 136);
    EXPECT_EQ(f.box.geometry().cellH, 112);
    EXPECT_EQ(f.box.geometry().columns, 3);
    EXPECT_EQ(f.box.geometry().rows, 3);
    const QImage shot = f.grab();
    // Cell 4 (column 1, row 1): its picture sits 20 pixels in, lifted 10 for the captions.
    EXPECT_EQ(QColor(shot.pixel(136 + 20 + 40, 112 + 10 + 30)).rgb(), QColor::fromHsv(4 * 37, 200, 200).rgb());
    // Beyond the third column is pane background.
    EXPECT_EQ(QColor(shot.pixel(450, 50)).rgb(), QColor(0xC0, 0xC0, 0xC0).rgb());

    Fixture narrow(QSize(60, 400), 3);
    EXPECT_EQ(narrow.box.geometry().columns, 1);
    EXPECT_EQ(QColor(narrow.grab().pixel(30, 10 + 40)).rgb(), QColor::fromHsv(0, 200, 200).rgb());
}

TEST(ThumbBox, CaptionsOffDrawNoStripOrMark)
{
    Fixture with(QSize(500, 400), 3);
    with.box.setSelected(0);
    const QImage a = with.grab();
    settings().ShowCaption = false;
    Fixture without(QSize(500, 400), 3);
    settings().ShowCaption = false;
    without.box.setSelected(0);
    without.box.ReleaseGridSurfaces();
    const QImage b = without.grab();
    // With captions the picture is lifted 10 pixels and the corner mark shows.
    EXPECT_EQ(QColor(a.pixel(136 - 10, 8)).rgb(), QColor(250, 220, 90).rgb());
    EXPECT_NE(QColor(b.pixel(136 - 10, 8)).rgb(), QColor(250, 220, 90).rgb());
    EXPECT_EQ(QColor(b.pixel(60, 20 + 71)).rgb(), QColor::fromHsv(0, 200, 200).rgb()); // picture's last row at 91
    EXPECT_NE(QColor(b.pixel(60, 20 + 72 + 5)).rgb(), QColor::fromHsv(0, 200, 200).rgb()); // no strip below it
}

TEST(ThumbBox, ScrollingOneRowDecodesOneRow)
{
    Fixture f(QSize(420, 300), 60); // 3 columns
    f.grab();
    const int afterFirst = f.box.tilesFilled();
    EXPECT_EQ(afterFirst, StripTileCount(f.box.geometry(), 300));
    f.box.setScrollOffset(112);
    f.grab();
    EXPECT_EQ(f.box.tilesFilled() - afterFirst, 3); // one row of tiles, the rest shifted
    EXPECT_EQ(QColor(f.grab().pixel(20 + 40, 20 - 10 + 30)).rgb(), QColor::fromHsv((3 * 37) % 360, 200, 200).rgb());
    f.box.setScrollOffset(5 * 112);
    f.grab();
    EXPECT_EQ(f.box.tilesFilled() - afterFirst - 3, StripTileCount(f.box.geometry(), 300)); // a jump refills
}

TEST(ThumbBox, PressesKeysWheelAndDrags)
{
    Fixture f(QSize(420, 200), 7); // 3 rows in a box that shows not quite 2
    f.box.setScrollOffset(50);
    EXPECT_EQ(f.box.scrollOffset(), 50);
    QSignalSpy pressed(&f.box, &ThumbBox::cellPressed);
    QTest::mouseClick(&f.box, Qt::RightButton, Qt::NoModifier, QPoint(300, 70));
    ASSERT_EQ(pressed.count(), 1);
    EXPECT_EQ(pressed[0][0].toInt(), 6);

    f.box.setSelected(3);
    EXPECT_EQ(f.box.moveSelection(GridKey::Down), 6);
    EXPECT_EQ(f.box.moveSelection(GridKey::Left), 5);

    // A drag never takes the grid past its top or its last row.
    f.box.setScrollOffset(0);
    QTest::mousePress(&f.box, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
    QTest::mouseMove(&f.box, QPoint(100, 190));
    QTest::mouseRelease(&f.box, Qt::LeftButton, Qt::NoModifier, QPoint(100, 190));
    EXPECT_EQ(f.box.scrollOffset(), 0);
    QTest::mousePress(&f.box, Qt::LeftButton, Qt::NoModifier, QPoint(100, 190));
    QTest::mouseMove(&f.box, QPoint(100, 0));
    QTest::mouseRelease(&f.box, Qt::LeftButton, Qt::NoModifier, QPoint(100, 0));
    EXPECT_EQ(f.box.scrollOffset(), MaxScroll(f.box.geometry(), 200));

    // The wheel scrolls by rows.
    f.box.setScrollOffset(0);
    QWheelEvent wheel(QPointF(50, 50),
        QPointF(50, 50),
        QPoint(),
        QPoint(0, -120),
        Qt::NoButton,
        Qt::NoModifier,
        Qt::NoScrollPhase,
        false);
    QCoreApplication::sendEvent(&f.box, &wheel);
    EXPECT_EQ(f.box.scrollOffset(), std::min(112, MaxScroll(f.box.geometry(), 200)));
}

TEST(ThumbBox, TheSelectionFrameGoesAroundThePicture)
{
    Fixture f(QSize(500, 400), 3); // captions on: the picture sits 10 pixels up, at y 10 to 81
    f.box.setSelected(0);
    const QImage shot = f.grab();
    const QRgb picture = QColor::fromHsv(0, 200, 200).rgb();
    for (int y = 10; y <= 81; ++y)
        ASSERT_EQ(QColor(shot.pixel(60, y)).rgb(), picture) << "row " << y;
    // The bar fills the margin above the picture's raised edge.
    const QRgb bar = colorFromBgr(settings().ThumbColorFrame).darker(160).rgb();
    EXPECT_EQ(QColor(shot.pixel(60, 3)).rgb(), bar);
    EXPECT_EQ(QColor(shot.pixel(5, 50)).rgb(), bar);
    EXPECT_EQ(QColor(shot.pixel(125, 50)).rgb(), bar);
}

TEST(ThumbBox, ACellIsFilledWhenItsThumbnailArrives)
{
    settings() = Settings();
    ThumbBox box;
    box.resize(420, 300); // 3 columns, 3 rows visible
    std::set<int> arrived;
    box.setSources(
        [&](QPainter &p, int index, QPoint origin) {
            if (arrived.count(index))
                p.fillRect(QRect(origin, QSize(96, 72)), QColor::fromHsv((index * 37) % 360, 200, 200));
        },
        [&](int index) { return arrived.count(index) > 0; },
        [](int) { return QPair<QString, QString>(); });
    box.setFileCount(60);
    const QPoint inCell4(136 + 20 + 40, 112 + 10 + 30);
    EXPECT_NE(QColor(box.grab().toImage().pixel(inCell4)).rgb(), QColor::fromHsv(4 * 37 % 360, 200, 200).rgb());
    EXPECT_EQ(box.paintedCells(), 9);
    EXPECT_EQ(box.paintedWithThumb(), 0);

    // No refresh from the store: the arrival alone brings it on screen.
    arrived.insert(4);
    box.thumbArrived(4);
    EXPECT_EQ(QColor(box.grab().toImage().pixel(inCell4)).rgb(), QColor::fromHsv(4 * 37 % 360, 200, 200).rgb());
    EXPECT_EQ(box.paintedWithThumb(), 1);

    // A cell beyond the tile strip is decoded when its row comes into view, not now.
    const int filled = box.tilesFilled();
    arrived.insert(40);
    box.thumbArrived(40);
    EXPECT_EQ(box.tilesFilled(), filled);
    box.ensureVisible(40);
    box.grab();
    EXPECT_GE(box.paintedWithThumb(), 1);
    const QRect cell40 = CellRect(box.geometry(), 40, box.scrollOffset());
    EXPECT_TRUE(box.rect().contains(cell40)) << box.scrollOffset();
}

TEST(ThumbBox, ACaptionTallerThanItsOldLineKeepsItsDescenders)
{
    // A name partly set in a taller fallback font (CJK) makes a line higher than the
    // 14 pixels it was once given; a large font does the same here.
    Fixture f(QSize(500, 400), 1);
    settings().ThumbColor = 0x00FFFFFF;
    settings().ThumbColorText = 0;
    QFont big = f.box.font();
    big.setPixelSize(16);
    f.box.setFont(big);
    f.box.ReleaseGridSurfaces();
    const QFontMetrics fm(big);
    ASSERT_GT(fm.height(), 14);
    const QImage shot = f.grab();
    // Line 1 ("file0.jpg") starts 2 pixels below the caption block at y 82; its
    // descenders (j, g) reach below the 14 pixels a fixed text box kept.
    const int blockTop = 82;
    int ink = 0;
    for (int y = blockTop + 2 + 14; y < blockTop + 2 + fm.height() && y < 110; ++y)
        for (int x = 2; x < 134; ++x)
            ink += qGray(shot.pixel(x, y)) < 100 ? 1 : 0;
    EXPECT_GT(ink, 0);
}
