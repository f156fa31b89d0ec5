// The custom window style: the outline arithmetic, and the frame it gives real windows.
#include "app/CustomFrame.h"

#include "app/Outline.h"
#include "browser/Frm_FolderDlg.h"

#include <QMainWindow>
#include <QTest>
#include <gtest/gtest.h>

using namespace v7;

namespace
{

const OutlineMetrics kMetrics { 20, 4, 4, 16 }; // caption, frame height, frame width, button

TEST(Outline, SixVerticesFromTheMetricsTheSizeAndTheTitle)
{
    const OutlineVertices v = ComputeOutline(kMetrics, 640, 480, 100.4);
    // C = 20 + 4 - 2; T = 4 + 16 + 100.4 + 3 * 16, rounded.
    const OutlineVertices expected {
        QPoint(0, 0), QPoint(168, 0), QPoint(168, 22), QPoint(640, 22), QPoint(640, 480), QPoint(0, 480)
    };
    EXPECT_EQ(v, expected);
    EXPECT_EQ(ComputeOutline(kMetrics, 640, 480, 100.5)[1].x(), 169); // half rounds up

    // An empty title leaves the frame width and four button widths.
    EXPECT_EQ(ComputeOutline(kMetrics, 640, 480, 0)[1].x(), 4 + 4 * 16);
    // A longer title widens the tab, but never past the window's own edge.
    EXPECT_GT(ComputeOutline(kMetrics, 640, 480, 300)[1].x(), ComputeOutline(kMetrics, 640, 480, 100)[1].x());
    const OutlineVertices wide = ComputeOutline(kMetrics, 200, 100, 5000);
    EXPECT_EQ(wide[1].x(), 200);
    EXPECT_EQ(wide[2], QPoint(200, 22));
    // A window lower than the caption band is all tab.
    EXPECT_EQ(ComputeOutline(kMetrics, 300, 10, 50)[2].y(), 10);
}

class CustomFrameTest : public ::testing::Test
{
protected:
    void TearDown() override { CustomFrame::setStyleOn(false); }
};

QRegion outlineRegion(const QWidget &w)
{
    return QRegion(OutlinePolygon(ComputeOutline(&w)), Qt::OddEvenFill);
}

TEST_F(CustomFrameTest, TheMaskFollowsSizeAndTitleAndSwitchingOffRestoresTheFrame)
{
    QMainWindow w;
    w.setWindowTitle(QStringLiteral("Short"));
    const Qt::WindowFlags desktopFlags = w.windowFlags();
    const QMargins desktopMargins = w.contentsMargins();
    CustomFrame::attach(&w);
    w.resize(500, 300);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_TRUE(w.mask().isEmpty()) << "style off: the desktop's frame";

    CustomFrame::setStyleOn(true);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(w.mask(), outlineRegion(w));
    const CaptionTab *tab = CustomFrame::of(&w)->captionTab();
    EXPECT_TRUE(tab->isVisible());
    const int shortTab = tab->width();
    EXPECT_EQ(shortTab, ComputeOutline(&w)[1].x());
    // The window's children start below the caption band, clear of the tab.
    EXPECT_GE(w.contentsMargins().top(), OutlineCaptionHeight(OutlineMetricsFor(&w)));

    w.resize(640, 420);
    QTest::qWait(0);
    EXPECT_EQ(w.mask(), outlineRegion(w));
    EXPECT_FALSE(w.mask().contains(QPoint(630, 2))) << "the top edge right of the tab is cut away";
    EXPECT_TRUE(w.mask().contains(QPoint(2, 2)));

    w.setWindowTitle(QStringLiteral("A much longer title than before, to widen the tab"));
    EXPECT_GT(tab->width(), shortTab);
    EXPECT_EQ(w.mask(), outlineRegion(w));

    CustomFrame::setStyleOn(false);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_TRUE(w.mask().isEmpty());
    EXPECT_EQ(w.windowFlags(), desktopFlags);
    EXPECT_EQ(w.contentsMargins(), desktopMargins);
    EXPECT_FALSE(tab->isVisible());

    // And back on while maximised: the window stays maximised.
    w.showMaximized();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    CustomFrame::setStyleOn(true);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_TRUE(w.isMaximized());
    EXPECT_EQ(w.mask(), outlineRegion(w));
}

TEST_F(CustomFrameTest, TheCaptionButtonsMinimiseMaximiseAndCloseThroughTheWindowsOwnClose)
{
    struct Counting : QMainWindow {
        int closes = 0;
        void closeEvent(QCloseEvent *e) override
        {
            ++closes;
            QMainWindow::closeEvent(e);
        }
    } w;
    w.setWindowTitle(QStringLiteral("Buttons"));
    CustomFrame::attach(&w);
    CustomFrame::setStyleOn(true);
    w.resize(500, 300);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    CaptionTab *tab = CustomFrame::of(&w)->captionTab();
    ASSERT_TRUE(tab->isVisible());

    // The buttons lie in the tab's last three button widths, in this order.
    const QRect min = tab->buttonRect(CaptionTab::Minimise);
    const QRect max = tab->buttonRect(CaptionTab::Maximise);
    const QRect close = tab->buttonRect(CaptionTab::Close);
    EXPECT_LT(min.right(), max.left());
    EXPECT_LT(max.right(), close.left());
    EXPECT_LE(close.right(), tab->width());
    EXPECT_EQ(tab->buttonAt(QPoint(5, tab->height() / 2)), CaptionTab::None) << "the title is not a button";

    // Pressed on one button and let go over another: nothing.
    QTest::mousePress(tab, Qt::LeftButton, {}, max.center());
    QTest::mouseRelease(tab, Qt::LeftButton, {}, close.center());
    EXPECT_FALSE(w.isMaximized());
    EXPECT_EQ(w.closes, 0);

    QTest::mouseClick(tab, Qt::LeftButton, {}, max.center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.isMaximized(); }, 10000));
    QTest::mouseDClick(tab, Qt::LeftButton, {}, QPoint(8, tab->height() / 2));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.isMaximized(); }, 10000)) << "double-click restores";

    // A drag on the title moves the window (here by itself: this platform has no window
    // manager to hand the move to); a press without travel leaves it in place.
    const QPoint title(8, tab->height() / 2);
    const QPoint before = w.pos();
    QTest::mousePress(tab, Qt::LeftButton, {}, title);
    QTest::mouseRelease(tab, Qt::LeftButton, {}, title);
    EXPECT_EQ(w.pos(), before);
    // The tab travels with the window, so each step is aimed at a fixed place on screen.
    const QPoint grab = tab->mapToGlobal(title);
    QTest::mousePress(tab, Qt::LeftButton, {}, title);
    for (const QPoint step : { QPoint(30, 20), QPoint(60, 40) })
        QTest::mouseMove(tab, tab->mapFromGlobal(grab + step));
    QTest::mouseRelease(tab, Qt::LeftButton, {}, tab->mapFromGlobal(grab + QPoint(60, 40)));
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.pos() == before + QPoint(60, 40); }, 10000))
        << "now at " << w.pos().x() << "," << w.pos().y();

    QTest::mouseClick(tab, Qt::LeftButton, {}, tab->buttonRect(CaptionTab::Close).center());
    EXPECT_EQ(w.closes, 1);
    EXPECT_FALSE(w.isVisible());
}

// The tab is drawn in the active or inactive colours; a change of the active window
// has to reach it even where the style's palette is the same for both.
TEST_F(CustomFrameTest, TheTabIsRepaintedWhenTheWindowGainsOrLosesActivation)
{
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint)
                ++paints;
            return false;
        }
    } counter;
    QMainWindow w;
    w.setWindowTitle(QStringLiteral("Active"));
    QPalette same = w.palette();
    for (int role = 0; role < QPalette::NColorRoles; ++role)
        same.setBrush(
            QPalette::Inactive, QPalette::ColorRole(role), same.brush(QPalette::Active, QPalette::ColorRole(role)));
    w.setPalette(same);
    CustomFrame::attach(&w);
    CustomFrame::setStyleOn(true);
    w.resize(400, 300);
    QWidget other;
    other.resize(200, 100);
    other.move(500, 0);
    other.show();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    CaptionTab *tab = CustomFrame::of(&w)->captionTab();
    tab->installEventFilter(&counter);

    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.isActiveWindow(); }, 10000));
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(); // the repaints of the first activation
    for (QWidget *next : { static_cast<QWidget *>(&other), static_cast<QWidget *>(&w) }) {
        counter.paints = 0;
        next->activateWindow();
        ASSERT_TRUE(QTest::qWaitFor([&] { return next->isActiveWindow(); }, 10000));
        EXPECT_TRUE(QTest::qWaitFor([&] { return counter.paints > 0; }, 2000))
            << (next == &w ? "activated" : "deactivated") << " without a repaint of the tab";
    }
}

TEST_F(CustomFrameTest, DialogsOpenedWhileTheStyleIsOnGetTheirOutline)
{
    CustomFrame::setStyleOn(true);
    Frm_FolderDlg dlg;
    dlg.setWindowTitle(QStringLiteral("Browse for Folder"));
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    EXPECT_TRUE(dlg.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(dlg.mask(), outlineRegion(dlg));
    dlg.resize(dlg.width() + 40, dlg.height() + 30);
    QTest::qWait(0);
    EXPECT_EQ(dlg.mask(), outlineRegion(dlg));
}

} // namespace
