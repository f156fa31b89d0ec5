// The viewer opened from the real main window: Enter opens it full screen on the
// selected photo, its steps move the list, and closing gives the browser back as
// it was.
#include "../mainwin/BrowserWindowHelpers.h"
#include "TestEnv.h"
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "imaging/ImageLoad.h"
#include "imaging/ViewState.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/Frm_Main.h"
#include "viewer/Frm_Zoom.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QFileInfo>
#include <QMessageBox>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>

using namespace v7;

namespace
{

// Answers the file commands' question with the button named answer, while it lives.
struct Answer {
    // onUpdate, when given, answers "Update the thumbnail view now?" instead.
    explicit Answer(const QString &button, const QString &onUpdate = {})
    {
        QObject::connect(&timer, &QTimer::timeout, [this, button, onUpdate] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                for (QAbstractButton *b : box->buttons())
                    if (b->text().remove(u'&')
                        == (!onUpdate.isEmpty() && box->text() == QStringLiteral("Update the thumbnail view now?")
                                ? onUpdate
                                : button)) {
                        ++answered;
                        owners << box->parentWidget();
                        b->click();
                        return;
                    }
        });
        timer.start(30);
    }
    QTimer timer;
    int answered = 0;
    QList<QWidget *> owners; // each question's window
};

class ZoomFromMainWindow : public v7test::TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        settings() = Settings();
        LoadSettings(); // the first run's file types list the photos
        for (int i = 1; i <= 4; ++i) {
            QImage img(480, 360, QImage::Format_RGB888);
            img.fill(QColor::fromHsv(i * 70, 255, 200));
            ASSERT_TRUE(SaveImageDib(m_dir.filePath(QStringLiteral("photo%1.jpg").arg(i)), img, 24, 90));
        }
        w = v7test::openWindowShown(m_dir.path(), 20000);
        ASSERT_TRUE(v7test::waitUntil([&] { return w->fileList()->rowCount() == 4; }, 20000));
        select(0);
    }
    void TearDown() override
    {
        w.reset();
        TempHome::TearDown();
    }
    void select(int row)
    {
        w->fileListView()->setCurrentIndex(w->fileList()->index(row, 0));
        w->ShowCurrentImage(row); // as the list's deferred click does
        QApplication::processEvents();
    }
    int currentRow() const { return w->fileListView()->currentIndex().row(); }

    QTemporaryDir m_dir;
    std::unique_ptr<Frm_Main> w;
};

} // namespace

TEST_F(ZoomFromMainWindow, OpensOnTheSelectedPhotoAndCloseRestoresThePreview)
{
    select(1);
    ASSERT_TRUE(v7test::waitUntil([&] { return w->imagePane()->hasImage(); }, 20000));
    const QRect preview = w->imagePane()->geometry();
    const QPoint pointer(300, 200);
    QCursor::setPos(w->screen(), pointer);
    ASSERT_EQ(QCursor::pos(), pointer);
    Q_EMIT w->zoomWindowRequested(1); // Enter, a double-click on the preview
    Frm_Zoom *zoom = w->zoomWindow();
    ASSERT_NE(zoom, nullptr);
    EXPECT_TRUE(zoom->isVisible());
    // Full screen on the main window's screen, the pointer in its corner.
    EXPECT_EQ(zoom->screen(), w->screen());
    EXPECT_TRUE(zoom->isFullScreen());
    EXPECT_EQ(zoom->geometry(), w->screen()->geometry());
    EXPECT_EQ(QCursor::pos(), w->screen()->geometry().topLeft() + QPoint(8, 8));
    EXPECT_TRUE(zoom->view()->hasImage());
    EXPECT_EQ(viewState().currentFile, QFileInfo(m_dir.filePath("photo2.jpg")).filePath());
    EXPECT_EQ(viewState().viewW, zoom->view()->width());
    EXPECT_EQ(zoom->infoLines().value(0), QStringLiteral("photo2.jpg"));
    EXPECT_TRUE(zoom->infoLines().value(1).contains(QStringLiteral(" bytes,  ")));
    EXPECT_EQ(w->statusPanelText(4), QStringLiteral("Zoom: 1X"));

    zoom->ChooseMode(false); // single-image steps
    QTest::keyClick(zoom, Qt::Key_Space);
    EXPECT_EQ(currentRow(), 2);
    EXPECT_EQ(zoom->infoLines().value(0), QStringLiteral("photo3.jpg"));
    QTest::keyClick(zoom, Qt::Key_PageUp);
    QTest::keyClick(zoom, Qt::Key_PageUp);
    EXPECT_EQ(currentRow(), 0);
    QTest::keyClick(zoom, Qt::Key_PageUp); // wraps to the last
    EXPECT_EQ(currentRow(), 3);
    // Alt+Space is the viewer's "&Previous", not the main window's window menu.
    QTest::keyClick(zoom, Qt::Key_Space, Qt::AltModifier);
    EXPECT_EQ(currentRow(), 2);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    QTest::keyClick(zoom, Qt::Key_Space);
    EXPECT_EQ(currentRow(), 3);

    QTest::keyClick(zoom, Qt::Key_Escape);
    EXPECT_FALSE(zoom->isVisible());
    EXPECT_EQ(QCursor::pos(), pointer);
    // The view geometry is the preview's again, centred, and the pane where it was.
    EXPECT_EQ(w->imagePane()->geometry(), preview);
    EXPECT_EQ(viewState().viewW, preview.width());
    EXPECT_EQ(viewState().viewH, preview.height());
    EXPECT_EQ(viewState().srcX,
        PlaceInView(viewState().viewW, viewState().viewH, viewState().imageW, viewState().imageH).srcX);
    EXPECT_EQ(viewState().currentFile, QFileInfo(m_dir.filePath("photo4.jpg")).filePath());
    EXPECT_EQ(currentRow(), 3);

    // Opened again: the same window, its modes kept.
    Q_EMIT w->zoomWindowRequested(3);
    EXPECT_EQ(w->zoomWindow(), zoom);
    EXPECT_TRUE(zoom->isVisible());
    EXPECT_TRUE(zoom->showState().slideshow);
    QTest::keyClick(zoom, Qt::Key_Return);
    EXPECT_FALSE(zoom->isVisible());
}

TEST_F(ZoomFromMainWindow, DeleteAsksAndGoesOnOnlyWhenTheFileIsGone)
{
    select(1);
    Q_EMIT w->zoomWindowRequested(1);
    Frm_Zoom *zoom = w->zoomWindow();
    ASSERT_NE(zoom, nullptr);
    zoom->ChooseMode(false);
    const QImage before = zoom->shownImage();
    {
        Answer no(QStringLiteral("No"));
        QTest::keyClick(zoom, Qt::Key_Delete);
        EXPECT_EQ(no.answered, 1);
        // Asked above the full-screen viewer, not under it with the main window.
        EXPECT_EQ(no.owners.value(0), zoom);
    }
    EXPECT_TRUE(QFileInfo::exists(m_dir.filePath("photo2.jpg")));
    EXPECT_EQ(currentRow(), 1);
    EXPECT_EQ(w->fileList()->rowCount(), 4);
    EXPECT_EQ(zoom->shownImage(), before);
    EXPECT_EQ(zoom->infoLines().value(0), QStringLiteral("photo2.jpg"));

    // Yes: the file goes to the trash and the viewer shows the one that followed it.
    {
        Answer yes(QStringLiteral("Yes"));
        QTest::keyClick(zoom, Qt::Key_Delete);
        EXPECT_GE(yes.answered, 1); // the delete, and the thumbnail view's update
    }
    EXPECT_FALSE(QFileInfo::exists(m_dir.filePath("photo2.jpg")));
    EXPECT_EQ(v7test::listedNames(*w), QStringList({ "photo1.jpg", "photo3.jpg", "photo4.jpg" }));
    EXPECT_EQ(currentRow(), 1);
    EXPECT_EQ(zoom->infoLines().value(0), QStringLiteral("photo3.jpg"));
    EXPECT_EQ(viewState().currentFile, QFileInfo(m_dir.filePath("photo3.jpg")).filePath());
    EXPECT_TRUE(zoom->view()->hasImage());
    EXPECT_NE(zoom->shownImage(), before);
    QTest::keyClick(zoom, Qt::Key_Escape);
}

TEST_F(ZoomFromMainWindow, StepsPassOverAFileDeletedWithTheViewLeftAsItWas)
{
    select(1);
    Q_EMIT w->zoomWindowRequested(1);
    Frm_Zoom *zoom = w->zoomWindow();
    ASSERT_NE(zoom, nullptr);
    zoom->ChooseMode(false);
    {
        Answer yes(QStringLiteral("Yes"), QStringLiteral("No"));
        QTest::keyClick(zoom, Qt::Key_Delete);
        EXPECT_EQ(yes.answered, 2);
    }
    ASSERT_FALSE(QFileInfo::exists(m_dir.filePath("photo2.jpg")));
    ASSERT_TRUE(w->fileList()->entries()[1].dimmed); // "Deleted - photo2.jpg" stays listed
    EXPECT_EQ(zoom->infoLines().value(0), QStringLiteral("photo3.jpg"));
    // Back and forth across the deleted file's row: never shown, never "Error in file".
    QTest::keyClick(zoom, Qt::Key_PageUp);
    EXPECT_EQ(zoom->infoLines().value(0), QStringLiteral("photo1.jpg"));
    EXPECT_EQ(currentRow(), 0);
    QTest::keyClick(zoom, Qt::Key_PageDown);
    EXPECT_EQ(zoom->infoLines().value(0), QStringLiteral("photo3.jpg"));
    EXPECT_EQ(currentRow(), 2);
    EXPECT_TRUE(zoom->view()->hasImage());
    // Every file deleted in turn, the view each time left as it was: nothing is shown.
    for (int left = 3; left > 0; --left) {
        Answer yes(QStringLiteral("Yes"), QStringLiteral("No"));
        QTest::keyClick(zoom, Qt::Key_Delete);
        EXPECT_EQ(yes.answered, 2) << left;
    }
    EXPECT_EQ(w->fileList()->rowCount(), 4);
    EXPECT_FALSE(zoom->view()->hasImage());
    EXPECT_EQ(zoom->infoLines().value(0), QString()) << "no file's name";
    QTest::keyClick(zoom, Qt::Key_PageDown);
    EXPECT_FALSE(zoom->view()->hasImage());
    QTest::keyClick(zoom, Qt::Key_Escape);
}

TEST_F(ZoomFromMainWindow, DeleteDoesNothingWhileAMosaicShows)
{
    select(1);
    Q_EMIT w->zoomWindowRequested(1);
    Frm_Zoom *zoom = w->zoomWindow();
    ASSERT_NE(zoom, nullptr);
    // Before a mode is chosen, Space shows a mosaic page.
    QTest::keyClick(zoom, Qt::Key_Space);
    ASSERT_TRUE(zoom->mosaicShown());
    Answer yes(QStringLiteral("Yes"));
    QTest::keyClick(zoom, Qt::Key_Delete);
    QTest::qWait(200);
    EXPECT_EQ(yes.answered, 0);
    EXPECT_EQ(w->fileList()->rowCount(), 4);
    for (int i = 1; i <= 4; ++i)
        EXPECT_TRUE(QFileInfo::exists(m_dir.filePath(QStringLiteral("photo%1.jpg").arg(i)))) << i;
    QTest::keyClick(zoom, Qt::Key_Escape);
}

TEST_F(ZoomFromMainWindow, ClosedByTheDesktopItStopsAndGivesThePreviewBack)
{
    select(1);
    ASSERT_TRUE(v7test::waitUntil([&] { return w->imagePane()->hasImage(); }, 20000));
    const QRect preview = w->imagePane()->geometry();
    Q_EMIT w->zoomWindowRequested(1);
    Frm_Zoom *zoom = w->zoomWindow();
    ASSERT_NE(zoom, nullptr);
    zoom->ChooseMode(false);
    zoom->StartStop();
    ASSERT_TRUE(zoom->timer()->isActive());
    QSignalSpy closed(zoom, &Frm_Zoom::closed);
    zoom->close(); // Alt+F4, the window manager's close button
    EXPECT_FALSE(zoom->isVisible());
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(zoom->timer()->isActive());
    EXPECT_FALSE(zoom->showState().running);
    EXPECT_EQ(w->imagePane()->geometry(), preview);
    EXPECT_EQ(viewState().viewW, preview.width());
    // The slideshow no longer moves the list.
    const int row = currentRow();
    QTest::qWait(2500);
    EXPECT_EQ(currentRow(), row);
}

TEST_F(ZoomFromMainWindow, ATaggedListShowsEachFileFromItsOwnFolder)
{
    QTemporaryDir other;
    QImage red(200, 150, QImage::Format_RGB888);
    red.fill(Qt::red);
    ASSERT_TRUE(SaveImageDib(other.filePath(QStringLiteral("b1.png")), red, 24, 90));
    select(0);
    QTest::keyClick(w->fileListView(), Qt::Key_T, Qt::ControlModifier); // tag photo1.jpg
    ASSERT_TRUE(w->ListFolder(other.path()));
    ASSERT_TRUE(v7test::waitUntil([&] { return w->fileList()->rowCount() == 1; }, 20000));
    select(0);
    QTest::keyClick(w->fileListView(), Qt::Key_T, Qt::ControlModifier); // tag b1.png
    QTest::keyClick(w->fileListView(), Qt::Key_L, Qt::ControlModifier); // list the tagged files
    ASSERT_EQ(v7test::listedNames(*w), QStringList({ "b1.png", "photo1.jpg" }));

    select(0);
    Q_EMIT w->zoomWindowRequested(0);
    Frm_Zoom *zoom = w->zoomWindow();
    ASSERT_NE(zoom, nullptr);
    const auto centre = [&] {
        const QImage shown = zoom->shownImage();
        return shown.pixelColor(shown.width() / 2, shown.height() / 2);
    };
    EXPECT_EQ(viewState().currentFile, QFileInfo(other.filePath("b1.png")).filePath());
    EXPECT_EQ(centre(), QColor(Qt::red));
    zoom->ChooseMode(false);
    // The next file is in the first folder, not in the one listed last.
    QTest::keyClick(zoom, Qt::Key_Space);
    EXPECT_EQ(currentRow(), 1);
    EXPECT_EQ(viewState().currentFile, QFileInfo(m_dir.filePath("photo1.jpg")).filePath());
    EXPECT_TRUE(zoom->view()->hasImage());
    EXPECT_EQ(zoom->infoLines().value(0), QStringLiteral("photo1.jpg"));
    EXPECT_NE(centre(), QColor(Qt::red));
    EXPECT_NE(centre(), QColor(Qt::black)); // a photo, not the failure notice
    QTest::keyClick(zoom, Qt::Key_Escape);
}
