// The options dialog and the image operations window on the real main window.
#include "BrowserWindowHelpers.h"
#include "TestEnv.h"
#include "app/CustomFrame.h"
#include "app/Settings.h"
#include "imaging/ImageLoad.h"
#include "imaging/ViewState.h"
#include "imaging/widgets/DrawView.h"
#include "mainwin/ThumbBox.h"
#include "options/Frm_ImgOps.h"
#include "options/Frm_Options.h"
#include "options/ImageEdit.h"
#include "thumbs/OLEStorage.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

using namespace v7;

namespace
{

// The thumbnails of a folder as the cache holds them: name -> picture size.
QHash<QString, QSize> cachedSizes(const QString &folder, const QStringList &names)
{
    QHash<QString, QSize> sizes;
    const QString before = OLEStorage::CurrentFolder();
    OLEStorage::SetCurrentFolder(folder);
    if (OLEStorage::OpenCacheForDisplay()) {
        for (const QString &name : names) {
            QByteArray bytes;
            if (OLEStorage::ReadThumb(name, &bytes))
                sizes.insert(name, DecodeThumbStream(bytes.constData(), std::size_t(bytes.size())).size());
        }
    }
    OLEStorage::CloseCache();
    OLEStorage::SetCurrentFolder(before);
    return sizes;
}

class OptionsWindow : public v7test::TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        settings() = Settings();
        LoadSettings();
        settings().ThreadMode = 0; // thumbnails made on this thread: no marker window needed
        pics = root() + QStringLiteral("/pics");
        ASSERT_TRUE(QDir().mkpath(pics));
        const QDir samples(qEnvironmentVariable("V7_SAMPLES"));
        for (const char *name : { "landscape.jpg", "meadow.png", "forest-24bit.bmp" })
            ASSERT_TRUE(QFile::copy(samples.filePath(QLatin1String(name)), pics + u'/' + QLatin1String(name)));
    }
    std::unique_ptr<Frm_Main> open()
    {
        auto w = std::make_unique<Frm_Main>(pics);
        QSignalSpy finished(w.get(), &Frm_Main::thumbDisplayFinished);
        w->Form_Load();
        w->showNormal();
        w->resize(1100, 800);
        EXPECT_TRUE(finished.count() > 0 || finished.wait(60000));
        return w;
    }
    Frm_Options *options(Frm_Main &w, QWidget *owner = nullptr)
    {
        w.ShowOptions(owner);
        auto *dialog = qobject_cast<Frm_Options *>(w.optionsDialog());
        EXPECT_TRUE(dialog != nullptr);
        if (dialog)
            dialog->pickColor = [](const QColor &, QWidget *) { return QColor(10, 200, 30); };
        return dialog;
    }
    QString pics;
};

TEST_F(OptionsWindow, CancelAfterChangesLeavesSettingsAndWindowUnchanged)
{
    auto w = open();
    const Settings before = settings();
    const QByteArray hive = v7test::readFile(hivePath());
    const QColor background = w->thumbBox(0)->palette().color(QPalette::Window);
    const int columns = w->state().ThumbsRow;
    Frm_Options *dialog = options(*w);
    ASSERT_TRUE(dialog);
    QPointer<Frm_Options> guard(dialog);
    QSignalSpy applied(w.get(), &Frm_Main::optionsApplied);
    dialog->HScroll1->setValue(150);
    dialog->Opt_Aspect[1]->setChecked(true);
    dialog->Slider_TRows->setValue(5);
    dialog->Chk_ThumbCaption->setChecked(false);
    dialog->Chk_ShowInfo->setChecked(true);
    dialog->Btn_TColorFrame->click(); // colours are kept in the dialog...
    dialog->Btn_TColorBack->click();
    dialog->Btn_ViewColor->click();
    dialog->List_FTypes->item(0)->setCheckState(Qt::Unchecked);
    dialog->Btn_Cancel->click(); // ...and dropped with it
    ASSERT_TRUE(v7test::waitUntil([&] { return guard.isNull(); }, 5000)); // closed and gone
    EXPECT_EQ(applied.count(), 0);
    const Settings &after = settings();
    EXPECT_EQ(after.ThumbW, before.ThumbW);
    EXPECT_EQ(after.ThumbH, before.ThumbH);
    EXPECT_EQ(after.ThumbColor, before.ThumbColor);
    EXPECT_EQ(after.ThumbColorFrame, before.ThumbColorFrame);
    EXPECT_EQ(after.ViewColor, before.ViewColor);
    EXPECT_EQ(after.ShowCaption, before.ShowCaption);
    EXPECT_EQ(after.FileTypes, before.FileTypes);
    EXPECT_EQ(v7test::readFile(hivePath()), hive);
    EXPECT_EQ(w->thumbBox(0)->palette().color(QPalette::Window), background);
    EXPECT_EQ(w->state().ThumbsRow, columns);
    EXPECT_FALSE(w->statusInfoShown());
}

TEST_F(OptionsWindow, ApplyTakesEffectInTheRunningWindow)
{
    auto w = open();
    Frm_Options *dialog = options(*w);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->tbsOptions->tabText(2), QStringLiteral("&General ")); // trailing space kept
    EXPECT_EQ(dialog->Opt_Aspect[1]->text(), QStringLiteral("Potrait"));
    const int redraws = dialog->sampleRedraws();
    dialog->Slider_Frame->setValue(12);
    dialog->Btn_TColorFrame->click();
    dialog->Opt_Caption[1]->setChecked(true);
    EXPECT_GE(dialog->sampleRedraws(), redraws + 3); // every change redraws the sample
    dialog->Slider_TRows->setValue(3);
    dialog->Chk_ShowInfo->setChecked(true);
    QSignalSpy applied(w.get(), &Frm_Main::optionsApplied);
    dialog->Btn_Apply->click();
    ASSERT_EQ(applied.count(), 1);
    EXPECT_EQ(settings().MarginW, 12);
    EXPECT_EQ(settings().ThumbColorFrame, 0x1EC80Au); // RGB(10, 200, 30) as 0x00BBGGRR
    EXPECT_EQ(w->thumbBox(0)->palette().color(QPalette::Window), QColor(10, 200, 30));
    EXPECT_EQ(w->state().ThumbsRow, 3);
    EXPECT_TRUE(w->statusInfoShown());
    EXPECT_EQ(w->thumbBox(0)->geometry().cellW, 96 + 24); // laid out with the new frame
    // The grid's second caption line now shows the file's date.
    const auto caption = w->thumbCaption(0);
    EXPECT_EQ(caption.second, FormatFileDate(w->fileList()->entries()[0].modified()));
    // Saved as well: a new start reads them.
    settings() = Settings();
    LoadSettings();
    EXPECT_EQ(settings().MarginW, 12);
    EXPECT_EQ(settings().CaptionLine, int(CaptionFileDate));
}

TEST_F(OptionsWindow, ANewThumbnailHeightRestartsTheDisplayWithThumbnailsOfThatSize)
{
    auto w = open();
    const QStringList names = v7test::listedNames(*w);
    ASSERT_EQ(names.size(), 3);
    const auto fits = [](QSize s, int bw, int bh) {
        return (s.width() == bw && s.height() <= bh) || (s.height() == bh && s.width() <= bw);
    };
    QHash<QString, QSize> sizes = cachedSizes(pics, names);
    ASSERT_EQ(sizes.size(), 3);
    for (auto it = sizes.cbegin(); it != sizes.cend(); ++it)
        EXPECT_TRUE(fits(it.value(), 96, 72)) << it.key().toStdString();

    Frm_Options *dialog = options(*w);
    ASSERT_TRUE(dialog);
    QSignalSpy finished(w.get(), &Frm_Main::thumbDisplayFinished);
    dialog->HScroll1->setValue(160);
    dialog->Opt_Aspect[0]->setChecked(true);
    dialog->Btn_OK->click();
    EXPECT_EQ(settings().ThumbH, 120);
    ASSERT_TRUE(finished.count() > 0 || finished.wait(60000));
    sizes = cachedSizes(pics, names);
    ASSERT_EQ(sizes.size(), 3);
    for (auto it = sizes.cbegin(); it != sizes.cend(); ++it)
        EXPECT_TRUE(fits(it.value(), 160, 120))
            << it.key().toStdString() << " " << it.value().width() << "x" << it.value().height();
    BitmapStore *store = w->store();
    ASSERT_NE(store, nullptr);
    EXPECT_TRUE(store->hasThumb(0));
}

TEST_F(OptionsWindow, CacheSizeAndItsDeletion)
{
    auto w = open();
    Frm_Options *dialog = options(*w);
    ASSERT_TRUE(dialog);
    const qint64 bytes = OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName(pics));
    ASSERT_GT(bytes, 0);
    EXPECT_EQ(dialog->Lbl_CacheSize->text(), CacheSizeText(bytes));
    dialog->DeleteCache(false); // "No"
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName(pics)), bytes);
    dialog->DeleteCache(true);
    EXPECT_EQ(dialog->Lbl_CacheSize->text(), QStringLiteral("0 KB"));
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName(pics)), 0);
    EXPECT_TRUE(dialog->Btn_TCache->isEnabled());
    // The thumbnails on screen stay: only the cached copies went.
    BitmapStore *store = w->store();
    ASSERT_NE(store, nullptr);
    EXPECT_TRUE(store->hasThumb(0));
    EXPECT_TRUE(store->hasThumb(2));
}

TEST_F(OptionsWindow, AddedTypeAndClearedHistory)
{
    auto w = open();
    ASSERT_FALSE(w->folderHistory().isEmpty()); // the folder shown is in it
    ASSERT_TRUE(QFile::copy(pics + QStringLiteral("/meadow.png"), pics + QStringLiteral("/extra.qoi")));
    Frm_Options *dialog = options(*w);
    ASSERT_TRUE(dialog);
    const int count = dialog->List_FTypes->count();
    dialog->Txt_Addtype->setText(QStringLiteral("*"));
    dialog->Btn_Addtype->click();
    EXPECT_EQ(dialog->List_FTypes->count(), count); // "*" is no type
    // Typed and entered: Enter adds the type and leaves the dialog open, unapplied.
    QSignalSpy applied(w.get(), &Frm_Main::optionsApplied);
    dialog->tbsOptions->setCurrentIndex(2);
    dialog->Txt_Addtype->clear();
    QTest::keyClicks(dialog->Txt_Addtype, QStringLiteral("qoi"));
    ASSERT_EQ(dialog->Txt_Addtype->text(), QStringLiteral("qoi"));
    QTest::keyClick(dialog->Txt_Addtype, Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(applied.count(), 0);
    ASSERT_EQ(dialog->List_FTypes->count(), count + 1);
    EXPECT_EQ(dialog->List_FTypes->item(count)->text(), QStringLiteral("QOI"));
    EXPECT_EQ(dialog->List_FTypes->item(count)->checkState(), Qt::Checked);
    EXPECT_TRUE(dialog->Txt_Addtype->text().isEmpty());
    dialog->Command1->click();
    EXPECT_TRUE(w->folderHistory().isEmpty());
    dialog->Btn_OK->click();
    EXPECT_TRUE(std::find(settings().FileTypes.begin(), settings().FileTypes.end(), QStringLiteral("QOI"))
        != settings().FileTypes.end());
    // The folder is listed again by the new types.
    EXPECT_TRUE(v7test::waitUntil([&] { return w->fileList()->findName(QStringLiteral("extra.qoi")) >= 0; }, 20000));
}

TEST_F(OptionsWindow, WearsTheCustomStyleWhileItIsOn)
{
    auto w = open();
    CustomFrame::setStyleOn(true);
    Frm_Options *dialog = options(*w);
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog));
    EXPECT_TRUE(dialog->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(dialog->mask(), QRegion(OutlinePolygon(ComputeOutline(dialog)), Qt::OddEvenFill));
    EXPECT_FALSE(dialog->mask().isEmpty());
    CustomFrame::setStyleOn(false);
    EXPECT_TRUE(dialog->mask().isEmpty());
}

TEST_F(OptionsWindow, OwnedByTheWindowThatAsked)
{
    auto w = open();
    QWidget other;
    other.show();
    options(*w, &other);
    QWidget *dialog = w->optionsDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->parentWidget(), &other);
    options(*w);
    dialog = w->optionsDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->parentWidget(), w.get());
    // Once more from the same window: the open dialog is raised, not a second one made.
    QWidget *first = w->optionsDialog();
    options(*w);
    EXPECT_EQ(w->optionsDialog(), first);
}

TEST_F(OptionsWindow, ImageOperationsWorkOnThePreview)
{
    auto w = open();
    const int row = w->fileList()->findName(QStringLiteral("landscape.jpg"));
    ASSERT_GE(row, 0);
    // Shown in the preview as a user does it: a key in the file list onto that row.
    const bool fromAbove = row > 0;
    w->fileListView()->setFocus();
    w->fileListView()->setCurrentIndex(w->fileList()->index(fromAbove ? row - 1 : row + 1, 0));
    QSignalSpy preview(w.get(), &Frm_Main::previewRequested);
    QTest::keyClick(w->fileListView(), fromAbove ? Qt::Key_Down : Qt::Key_Up);
    ASSERT_TRUE(v7test::waitUntil([&] { return !preview.isEmpty() && preview.last().at(0).toInt() == row; }, 5000));
    ASSERT_TRUE(v7test::waitUntil([&] { return w->imagePane()->hasImage(); }, 5000));
    ViewState &vs = viewState();
    const QSize held = vs.current.size();
    const QImage original = vs.current.convertToFormat(QImage::Format_RGB888);
    const int imageW = vs.imageW, imageH = vs.imageH;

    w->ShowImageOps();
    auto *ops = qobject_cast<Frm_ImgOps *>(w->imageOpsWindow());
    ASSERT_TRUE(ops);
    EXPECT_EQ(ops->Btn_Rotate[1]->text(), QStringLiteral("Mirror/Filp Vertical"));
    ops->Btn_Rotate[0]->click();
    EXPECT_EQ(vs.current.size(), held.transposed());
    EXPECT_EQ(vs.imageW, imageH); // the view state's image turned with it
    EXPECT_EQ(vs.imageH, imageW);
    ops->Slider1[0]->setValue(40);
    EXPECT_EQ(ops->Lbl_Value[0]->text(), QStringLiteral("40"));
    EXPECT_EQ(vs.current.size(), held.transposed()); // the slider kept the turn
    EXPECT_EQ(vs.brightness, 40);
    ops->CancelButton->click();
    EXPECT_EQ(ops->Slider1[0]->value(), 0);
    EXPECT_EQ(vs.current.convertToFormat(QImage::Format_RGB888), original);
    EXPECT_EQ(vs.imageW, imageW);

    // Escape closes it; F1 goes to the main window.
    QPointer<Frm_ImgOps> guard(ops);
    QTest::keyClick(ops, Qt::Key_Escape);
    EXPECT_TRUE(v7test::waitUntil(
        [&] {
            const Frm_ImgOps *left = guard.data();
            return left == nullptr || !left->isVisible();
        },
        3000));
}

} // namespace
