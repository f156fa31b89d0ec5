// The viewer's window over a host of its own: keys, menu modes, the slideshow's
// timer, delete, mosaic pages, pans and the decodes ahead.
#include "TestEnv.h"
#include "app/Settings.h"
#include "imaging/ImageLoad.h"
#include "imaging/ViewState.h"
#include "imaging/widgets/DrawView.h"
#include "viewer/Frm_Zoom.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QMenu>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>

using namespace v7;

namespace
{

QColor colourOf(int item)
{
    return QColor::fromHsv((item * 37) % 360, 255, 220);
}

// A folder of photos, each of one colour, and the list the viewer steps through.
class FakeHost : public ZoomHost
{
public:
    explicit FakeHost(int count, QSize size = QSize(320, 240))
    {
        for (int i = 1; i <= count; ++i) {
            QImage img(size, QImage::Format_RGB888);
            img.fill(colourOf(i));
            const QString path = dir.filePath(QStringLiteral("p%1.png").arg(i, 2, 10, QLatin1Char('0')));
            EXPECT_TRUE(SaveImageDib(path, img, 24, 90));
            files << path;
        }
    }
    int ZoomFileCount() const override { return int(files.size()); }
    int ZoomSelectedItem() const override { return selected; }
    QString ZoomFilePath(int item) const override { return files.value(item - 1); }
    void ZoomSelectItem(int item) override { selected = item; }
    void ZoomImageStep(const QString &op) override
    {
        ++imageSteps;
        const int count = int(files.size());
        if (count == 0)
            return;
        int row = std::max(0, selected - 1);
        if (op == QLatin1String("+"))
            row = (row + 1) % count;
        else if (op == QLatin1String("-"))
            row = (row - 1 + count) % count;
        selected = row + 1;
        zoomWindow->showItem(selected, fit, zoom.effective());
    }
    void ZoomStep(const QString &op) override
    {
        ++zoomSteps;
        zoom = zoom.effective().stepped(op);
        ZoomImageStep(QString());
    }
    ZoomFactor PreviewZoom() const override { return zoom; }
    void SetPreviewZoom(ZoomFactor z) override { zoom = z; }
    QString ViewType() const override { return fit; }
    void SetViewType(const QString &f) override { fit = f; }
    bool ZoomDeleteShown() override
    {
        ++deletes;
        if (!deleteSucceeds)
            return false;
        files.removeAt(selected - 1);
        selected = files.isEmpty() ? 0 : (selected - 2 + int(files.size())) % int(files.size()) + 1;
        return true;
    }
    void ZoomWindowClosing() override { ++closings; }

    QTemporaryDir dir;
    QStringList files;
    Frm_Zoom *zoomWindow = nullptr;
    int selected = 1;
    QString fit = QStringLiteral("FitAuto");
    ZoomFactor zoom = ZoomFactor::fromWhole(1);
    bool deleteSucceeds = true;
    int imageSteps = 0, zoomSteps = 0, deletes = 0, closings = 0;
};

class ZoomWindow : public v7test::TempHome
{
protected:
    void open(int count, QSize photo = QSize(320, 240), QSize window = QSize(600, 450))
    {
        settings() = Settings();
        host = std::make_unique<FakeHost>(count, photo);
        zoom = std::make_unique<Frm_Zoom>(host.get());
        host->zoomWindow = zoom.get();
        zoom->resize(window);
        zoom->show();
        host->ZoomImageStep(QString());
    }
    void key(int k, Qt::KeyboardModifiers m = {}) { QTest::keyClick(zoom.get(), Qt::Key(k), m); }
    QColor centre() const
    {
        const QImage shown = zoom->shownImage();
        return shown.pixelColor(shown.width() / 2, shown.height() / 2);
    }
    std::unique_ptr<FakeHost> host;
    std::unique_ptr<Frm_Zoom> zoom;
};

bool near(const QColor &a, const QColor &b)
{
    return std::abs(a.red() - b.red()) < 12 && std::abs(a.green() - b.green()) < 12
        && std::abs(a.blue() - b.blue()) < 12;
}

} // namespace

TEST_F(ZoomWindow, LoadsWithTheDefaultsAndTheHostsFit)
{
    open(3);
    EXPECT_EQ(zoom->showState().delay, 2000);
    EXPECT_FALSE(zoom->showState().slideshow);
    EXPECT_FALSE(zoom->showState().mosaic);
    EXPECT_EQ(zoom->timer()->interval(), 200);
    EXPECT_FALSE(zoom->timer()->isActive());
    QStringList checked;
    for (QAction *a : zoom->menu()->actions())
        if (a->isChecked())
            checked << a->text();
    EXPECT_EQ(checked, QStringList { "Fit Auto" });
    EXPECT_TRUE(near(centre(), colourOf(1)));
}

TEST_F(ZoomWindow, NextOnTheLastFileShowsTheFirst)
{
    open(3);
    zoom->ChooseMode(false); // "&Slideshow": single-image mode
    ASSERT_TRUE(zoom->showState().slideshow);
    host->selected = 3;
    host->ZoomImageStep(QString());
    EXPECT_TRUE(near(centre(), colourOf(3)));
    key(Qt::Key_Space);
    EXPECT_EQ(host->selected, 1);
    EXPECT_TRUE(near(centre(), colourOf(1)));
    key(Qt::Key_PageUp);
    EXPECT_EQ(host->selected, 3);
    key(Qt::Key_PageDown);
    EXPECT_EQ(host->selected, 1);
    EXPECT_TRUE(near(centre(), colourOf(1)));
}

TEST_F(ZoomWindow, ZoomKeysDoNothingInMosaicMode)
{
    open(4);
    zoom->ChooseMode(true);
    ASSERT_TRUE(zoom->showState().mosaic);
    host->zoom = ZoomFactor::fromWhole(2);
    for (int k : { Qt::Key_Plus, Qt::Key_Minus, Qt::Key_3 })
        key(k, Qt::KeypadModifier);
    key(Qt::Key_4);
    EXPECT_EQ(host->zoomSteps, 0);
    EXPECT_EQ(host->zoom, ZoomFactor::fromWhole(2));
    // In single-image mode they reach the host's zoom step.
    zoom->ChooseMode(false);
    key(Qt::Key_Plus, Qt::KeypadModifier);
    EXPECT_EQ(host->zoom, ZoomFactor::fromScaled(22500));
    key(Qt::Key_3);
    EXPECT_EQ(host->zoom, ZoomFactor::fromWhole(3));
    EXPECT_EQ(host->zoomSteps, 2);
}

TEST_F(ZoomWindow, ZoomReturnsToOneAtTheFirstAutomaticStepUnlessLocked)
{
    open(3);
    zoom->ChooseMode(false);
    key(Qt::Key_Slash, Qt::KeypadModifier); // 1 s
    ASSERT_EQ(zoom->showState().delay, 1000);
    host->zoom = ZoomFactor::fromWhole(3);
    const int steps = host->imageSteps;
    zoom->StartStop();
    ASSERT_TRUE(zoom->timer()->isActive());
    ASSERT_TRUE(v7test::waitUntil([&] { return host->imageSteps > steps; }, 30000));
    EXPECT_EQ(host->zoom.effective(), ZoomFactor::fromWhole(1));
    EXPECT_EQ(host->selected, 2);
    // Locked, the zoom set afterwards stays through the steps.
    zoom->ToggleZoomLock();
    host->zoom = ZoomFactor::fromWhole(3);
    const int locked = host->imageSteps;
    ASSERT_TRUE(v7test::waitUntil([&] { return host->imageSteps > locked; }, 30000));
    EXPECT_EQ(host->zoom, ZoomFactor::fromWhole(3));
    zoom->StartStop();
    EXPECT_FALSE(zoom->timer()->isActive());
}

TEST_F(ZoomWindow, ATickHeldUpByABusyWindowStillCounts)
{
    open(3);
    zoom->ChooseMode(false);
    key(Qt::Key_Slash, Qt::KeypadModifier); // 1 s: five ticks
    zoom->StartStop();
    const int steps = host->imageSteps;
    QThread::msleep(1100); // this thread busy past the delay: no tick was delivered
    QSignalSpy tick(zoom->timer(), &QTimer::timeout);
    ASSERT_TRUE(tick.wait(5000));
    // The first tick delivered finds the delay gone by and steps, rather than starting
    // to count the five ticks only now.
    EXPECT_EQ(host->imageSteps, steps + 1);
    zoom->StartStop();
}

TEST_F(ZoomWindow, AFailedDeleteDoesNotAdvance)
{
    open(4);
    zoom->ChooseMode(false);
    host->selected = 2;
    host->ZoomImageStep(QString());
    host->deleteSucceeds = false;
    const int steps = host->imageSteps;
    key(Qt::Key_Delete);
    EXPECT_EQ(host->deletes, 1);
    EXPECT_EQ(host->selected, 2);
    EXPECT_EQ(host->imageSteps, steps);
    EXPECT_TRUE(near(centre(), colourOf(2)));
    // A delete that succeeds shows the photo that followed the deleted one.
    host->deleteSucceeds = true;
    key(Qt::Key_Delete);
    EXPECT_EQ(host->files.size(), 3);
    EXPECT_EQ(host->selected, 2);
    EXPECT_TRUE(near(centre(), colourOf(3)));
    // Not in mosaic mode.
    zoom->ChooseMode(true);
    key(Qt::Key_Delete);
    EXPECT_EQ(host->deletes, 2);
}

TEST_F(ZoomWindow, MosaicPagesOfTenFiles)
{
    open(10, QSize(160, 120), QSize(600, 450));
    const auto cellColour = [&](int i) {
        const QImage shown = zoom->shownImage();
        return shown.pixelColor((i % 3) * 200 + 100, (i / 3) * 150 + 75);
    };
    host->selected = 1;
    zoom->StartStop(); // the show starts at the selected item
    zoom->StartStop();
    EXPECT_EQ(zoom->showState().mosaicPosition, 1);
    key(Qt::Key_Space); // first state: a mosaic step
    EXPECT_TRUE(zoom->mosaicShown());
    for (int i = 0; i < 9; ++i)
        EXPECT_TRUE(near(cellColour(i), colourOf(i + 2))) << i;
    EXPECT_EQ(host->selected, 9);
    key(Qt::Key_Space);
    EXPECT_TRUE(near(cellColour(0), colourOf(10)));
    EXPECT_TRUE(near(cellColour(1), QColor(Qt::black))); // empty after the last file
    key(Qt::Key_Space);
    for (int i = 0; i < 9; ++i)
        EXPECT_TRUE(near(cellColour(i), colourOf(i + 1))) << i;
    // Previous near the start: the last nine.
    key(Qt::Key_PageUp);
    for (int i = 0; i < 9; ++i)
        EXPECT_TRUE(near(cellColour(i), colourOf(i + 2))) << i;
}

TEST_F(ZoomWindow, HomeOnAShortImageDoesNothing)
{
    open(2, QSize(300, 200), QSize(600, 450));
    host->fit = QStringLiteral("FitNormal");
    zoom->ChooseMode(false);
    const QImage before = zoom->shownImage();
    key(Qt::Key_Home);
    key(Qt::Key_End);
    EXPECT_EQ(viewState().srcY, 0);
    EXPECT_EQ(zoom->shownImage(), before);
}

TEST_F(ZoomWindow, HomeEndAndPansOnATallImage)
{
    open(2, QSize(400, 1200), QSize(600, 450));
    host->fit = QStringLiteral("FitNormal");
    zoom->ChooseMode(false);
    ASSERT_EQ(viewState().imageH, 1200);
    key(Qt::Key_End);
    EXPECT_EQ(viewState().srcY, 1200 - 450);
    key(Qt::Key_Home);
    EXPECT_EQ(viewState().srcY, 1);
    {
        // The 21 steps of 4 pixels each reach the screen: the photo scrolls, it does not jump.
        struct PaintCount : QObject {
            int paints = 0;
            bool eventFilter(QObject *, QEvent *e) override
            {
                paints += e->type() == QEvent::Paint;
                return false;
            }
        } count;
        ASSERT_TRUE(QTest::qWaitForWindowExposed(zoom.get()));
        zoom->view()->installEventFilter(&count);
        key(Qt::Key_Down);
        zoom->view()->removeEventFilter(&count);
        EXPECT_GE(count.paints, 21);
    }
    EXPECT_EQ(viewState().srcY, 1 + 84);
    key(Qt::Key_Left); // centred across: nothing
    EXPECT_EQ(viewState().srcX, 0);
    // A mouse drag moves by block copies and strips, and shows what a full redraw shows.
    const QPointF at(300, 300);
    QMouseEvent press(QEvent::MouseButtonPress, at, zoom->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(zoom.get(), &press);
    for (int dy : { 5, 17, -3 }) {
        const QPointF to = at - QPointF(0, dy);
        QMouseEvent move(QEvent::MouseMove, to, zoom->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(zoom.get(), &move);
    }
    EXPECT_EQ(viewState().srcY, 85 - 3); // the pointer ended 3 pixels below the press
    const QImage panned = zoom->shownImage();
    zoom->view()->redrawAtOffset(0, 0);
    EXPECT_EQ(panned, zoom->shownImage());
}

TEST_F(ZoomWindow, DelayLabelAndCloseKeys)
{
    open(2);
    for (int i = 0; i < 40; ++i)
        key(Qt::Key_Asterisk, Qt::KeypadModifier);
    EXPECT_EQ(zoom->showState().delay, 30000);
    EXPECT_EQ(zoom->shownImage().pixelColor(43, 3), QColor(Qt::white));
    zoom->StartStop();
    key(Qt::Key_Escape);
    EXPECT_EQ(host->closings, 1);
    EXPECT_FALSE(zoom->isVisible());
    EXPECT_FALSE(zoom->timer()->isActive());
    EXPECT_EQ(zoom->showState().tickCount, 0);
    EXPECT_EQ(zoom->showState().delay, 30000); // kept until the program ends
}

TEST_F(ZoomWindow, ThePrefetchServesAStep)
{
    open(5, QSize(640, 480));
    zoom->ChooseMode(false);
    zoom->cache().waitIdle(); // the next photo is ready, as after a look at this one
    const int onDemand = zoom->cache().decodedOnDemand();
    const int served = zoom->cache().served();
    key(Qt::Key_Space);
    EXPECT_EQ(zoom->cache().decodedOnDemand(), onDemand);
    EXPECT_EQ(zoom->cache().served(), served + 1);
    zoom->cache().waitIdle();
    key(Qt::Key_PageUp); // back: the photo just shown is still held
    EXPECT_EQ(zoom->cache().decodedOnDemand(), onDemand);
    EXPECT_TRUE(near(centre(), colourOf(1)));
}

TEST_F(ZoomWindow, AKeyDuringATransitionIsNotQueued)
{
    open(3);
    zoom->ChooseMode(false);
    settings().E_Index = 3;
    settings().E_Iter = 50;
    settings().E_Delay = 200;
    zoom->cache().waitIdle();
    key(Qt::Key_Space);
    ASSERT_TRUE(zoom->view()->painter().isRunning());
    key(Qt::Key_Space); // ends the first at once and starts the next
    EXPECT_EQ(host->selected, 3);
    zoom->view()->painter().finish();
    EXPECT_TRUE(near(centre(), colourOf(3)));
}

namespace
{
QAction *menuItem(QMenu *menu, const QString &caption)
{
    for (QAction *a : menu->actions())
        if (a->text() == caption)
            return a;
    return nullptr;
}
} // namespace

TEST_F(ZoomWindow, TheMenuOpensAgainAfterAModeCommandFromTheRightButton)
{
    open(4);
    QAction *del = menuItem(zoom->menu(), QStringLiteral("&Delete"));
    QAction *options = menuItem(zoom->menu(), QStringLiteral("&Options"));
    ASSERT_TRUE(del && options);
    EXPECT_EQ(del->shortcut(), QKeySequence(Qt::Key_Delete));
    EXPECT_EQ(options->shortcut(), QKeySequence(Qt::Key_F4));

    // Each time the menu shows: where it opened; the first time "&Slideshow" is
    // chosen (which asks for the menu again), the next time it is closed.
    QList<QPoint> opened;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        QMenu *m = zoom->menu();
        if (!m->isVisible())
            return;
        opened << m->pos();
        if (opened.size() == 1)
            menuItem(m, QStringLiteral("&Slideshow"))->trigger();
        m->hide();
    });
    driver.start(20);
    zoom->move(0, 0); // the menu then fits on the screen where it is asked to open
    const QPoint at(100, 150);
    const QPoint global = zoom->mapToGlobal(at);
    QTest::mouseClick(zoom.get(), Qt::RightButton, {}, at);
    ASSERT_EQ(opened.size(), 2);
    EXPECT_EQ(opened[0], global + QPoint(-16, -145));
    EXPECT_EQ(opened[1], opened[0]);
    EXPECT_TRUE(zoom->showState().slideshow);
    EXPECT_EQ(zoom->menu()->defaultAction()->text(), zoom->infoLines().value(0));

    // The menu key opens it once, at (0, 48) of the window, whatever is chosen.
    opened.clear();
    key(Qt::Key_Menu);
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0], zoom->mapToGlobal(QPoint(0, 48)));
    EXPECT_TRUE(zoom->showState().mosaic);
}

TEST_F(ZoomWindow, NoRepaintHoldsThePaintBack)
{
    open(2);
    ASSERT_TRUE(near(centre(), colourOf(1)));
    const auto painted = [&] {
        const QImage grabbed = zoom->view()->grab().toImage();
        return grabbed.pixelColor(grabbed.width() / 2, grabbed.height() / 2);
    };
    zoom->setTag(QStringLiteral("NOREPAINT"));
    EXPECT_FALSE(near(painted(), colourOf(1)));
    zoom->setTag(QString());
    EXPECT_TRUE(near(painted(), colourOf(1)));
}

TEST_F(ZoomWindow, AStepServedAheadScalesNothingOnTheUserInterfaceThread)
{
    open(4, QSize(1200, 900), QSize(600, 450)); // "FitAuto" halves each photo
    std::atomic<int> onUi { 0 }, elsewhere { 0 };
    QThread *ui = QThread::currentThread();
    DrawServices counting;
    counting.resample = [&](const QImage &image, QSize size) {
        ++(QThread::currentThread() == ui ? onUi : elsewhere);
        return resampleSmooth(image, size);
    };
    setDrawServices(counting);
    settings().E_Quality = 1;
    zoom->ChooseMode(false); // the first photo is made on the spot
    zoom->cache().waitIdle(); // the next one is made ahead
    EXPECT_GE(elsewhere.load(), 1);
    onUi = 0;
    key(Qt::Key_Space);
    EXPECT_EQ(onUi.load(), 0);
    EXPECT_EQ(host->selected, 2);
    EXPECT_TRUE(near(centre(), colourOf(2)));
    EXPECT_EQ(QSize(viewState().imageW, viewState().imageH), QSize(600, 450));
    // What is shown pans and redraws as a photo composed here would.
    const QImage shown = zoom->shownImage();
    zoom->view()->recompose();
    EXPECT_EQ(zoom->shownImage(), shown);
    zoom->cache().waitIdle();
    setDrawServices(defaultDrawServices());
}
