// The options' arithmetic and their round trip through the settings store.
#include "options/OptionsLogic.h"

#include "TestEnv.h"
#include "app/Settings.h"
#include "platform/Hive.h"

#include <QFileInfo>
#include <gtest/gtest.h>

using namespace v7;

namespace
{

TEST(ThumbHeight, RoundsHalvesToEvenForBothAspects)
{
    EXPECT_EQ(ThumbHeightFor(72, 1), 96); // "Potrait": 72 / 0.75
    EXPECT_EQ(ThumbHeightFor(97, 0), 73); // 72.75
    EXPECT_EQ(ThumbHeightFor(96, 0), 72);
    EXPECT_EQ(ThumbHeightFor(98, 0), 74); // 73.5: to the even 74
    EXPECT_EQ(ThumbHeightFor(94, 0), 70); // 70.5: to the even 70
    EXPECT_EQ(ThumbHeightFor(50, 1), 67); // 66.67
}

TEST(ThumbHeight, AspectFromStoredSizes)
{
    EXPECT_EQ(AspectIndexFor(96, 72), 0);
    EXPECT_EQ(AspectIndexFor(72, 96), 1);
    EXPECT_EQ(AspectIndexFor(75, 100), 1); // exactly 0.75 counts as "Potrait"
    EXPECT_EQ(AspectIndexFor(76, 100), 0);
    EXPECT_EQ(AspectIndexFor(96, 0), 0); // a broken height does not divide by zero
}

TEST(CacheSize, FormatsKilobytesWithOneDecimal)
{
    EXPECT_EQ(CacheSizeText(0), QStringLiteral("0.0KB"));
    EXPECT_EQ(CacheSizeText(1024), QStringLiteral("1.0KB"));
    EXPECT_EQ(CacheSizeText(1536), QStringLiteral("1.5KB"));
    EXPECT_EQ(CacheSizeText(1075), QStringLiteral("1.0KB")); // 1.0498
    EXPECT_EQ(CacheSizeText(1076), QStringLiteral("1.1KB")); // 1.0508
    EXPECT_EQ(CacheSizeText(1023), QStringLiteral("1.0KB")); // 0.999 rounds up into the next unit
    EXPECT_EQ(CacheSizeText(1280 * 1024), QStringLiteral("1,280.0KB"));
    EXPECT_EQ(CacheSizeText(2000000000), QStringLiteral("1,953,125.0KB"));
    EXPECT_EQ(CacheSizeText(-5), QStringLiteral("0.0KB"));
    EXPECT_EQ(DeleteCacheQuestion(QStringLiteral("/p/q")),
        QStringLiteral("This will delete the cache for /p/q\nContinue deleting this cache?"));
}

TEST(FileTypes, ListsKnownAndStoredTypesAndRefillsCheckedOnes)
{
    Settings s;
    s.FileTypes.fill(QString());
    s.FileTypes[0] = QStringLiteral("JPG");
    s.FileTypes[1] = QStringLiteral("XYZ"); // added by hand once
    QList<FileTypeChoice> list = FileTypeChoicesFor(s);
    ASSERT_GE(list.size(), KnownFileTypes().size() + 1);
    int checked = 0;
    for (const FileTypeChoice &c : list) {
        checked += c.checked;
        EXPECT_EQ(c.checked, c.type == QLatin1String("JPG") || c.type == QLatin1String("XYZ")) << c.type.toStdString();
    }
    EXPECT_EQ(checked, 2);
    EXPECT_EQ(list.last().type, QStringLiteral("XYZ"));

    EXPECT_FALSE(AddFileTypeChoice(list, QString()));
    EXPECT_FALSE(AddFileTypeChoice(list, QStringLiteral("*")));
    EXPECT_FALSE(AddFileTypeChoice(list, QStringLiteral("jpg"))); // listed already
    EXPECT_FALSE(AddFileTypeChoice(list, QStringLiteral("a*b"))); // would widen the search
    EXPECT_FALSE(AddFileTypeChoice(list, QStringLiteral(".Webp"))); // a known type, listed unchecked already
    EXPECT_TRUE(AddFileTypeChoice(list, QStringLiteral("*.qoi")));
    EXPECT_TRUE(AddFileTypeChoice(list, QStringLiteral(".Ppm")));
    EXPECT_EQ(list[list.size() - 2], (FileTypeChoice { QStringLiteral("QOI"), true }));
    EXPECT_EQ(list.last(), (FileTypeChoice { QStringLiteral("PPM"), true }));

    RefillFileTypes(s, list);
    EXPECT_EQ(s.FileTypes[0], QStringLiteral("JPG"));
    EXPECT_EQ(s.FileTypes[1], QStringLiteral("XYZ"));
    EXPECT_EQ(s.FileTypes[2], QStringLiteral("QOI"));
    EXPECT_EQ(s.FileTypes[3], QStringLiteral("PPM"));
    EXPECT_TRUE(s.FileTypes[4].isEmpty());

    // More checked entries than slots: the first twenty in list order.
    QList<FileTypeChoice> many;
    for (int i = 0; i < 25; ++i)
        many.push_back({ QStringLiteral("T%1").arg(i), i != 3 });
    RefillFileTypes(s, many);
    EXPECT_EQ(s.FileTypes[2], QStringLiteral("T2"));
    EXPECT_EQ(s.FileTypes[3], QStringLiteral("T4"));
    EXPECT_EQ(s.FileTypes[19], QStringLiteral("T20"));
}

TEST(ApplyOptions, SetsEveryValueAndTellsWhatChanged)
{
    Settings s;
    WindowOptions w { 2, false };
    OptionsValues v = LoadOptions(s, w);
    EXPECT_EQ(v.thumbSize, 96);
    EXPECT_EQ(v.aspect, 0);
    // Nothing changed: nothing to redo.
    ApplyOutcome same = ApplyOptionsTo(v, s, w);
    EXPECT_FALSE(same.thumbHChanged || same.thumbsRowChanged || same.gridChanged || same.fileTypesChanged);

    s.JPGQuality = 55;
    v.thumbSize = 54;
    v.aspect = 1; // 54 / 0.75 = 72: the height stays
    v.frame = 7;
    v.thumbsRow = 4;
    v.showInfo = true;
    v.frameColor = 0x123456;
    v.captionLine = CaptionFileDate;
    ApplyOutcome out = ApplyOptionsTo(v, s, w);
    EXPECT_EQ(s.ThumbW, 54);
    EXPECT_EQ(s.ThumbH, 72);
    EXPECT_FALSE(out.thumbHChanged);
    EXPECT_TRUE(out.gridChanged);
    EXPECT_TRUE(out.thumbsRowChanged);
    EXPECT_EQ(s.MarginW, 7);
    EXPECT_EQ(s.MarginH, 7);
    EXPECT_EQ(s.JPGQuality, 80);
    EXPECT_EQ(s.ThumbColorFrame, 0x123456u);
    EXPECT_EQ(s.CaptionLine, int(CaptionFileDate));
    EXPECT_EQ(w.thumbsRow, 4);
    EXPECT_TRUE(w.showInfo);

    v.thumbSize = 97;
    v.aspect = 0;
    out = ApplyOptionsTo(v, s, w);
    EXPECT_EQ(s.ThumbH, 73);
    EXPECT_TRUE(out.thumbHChanged);

    // An emptied cache folder falls back to the default rather than the root.
    v.cacheDir = QStringLiteral("  ");
    ApplyOptionsTo(v, s, w);
    EXPECT_EQ(s.CacheThumbsDir, defaultCacheThumbsDir());
}

TEST(ApplyOptions, StoredValuesOutsideTheRangesShowAtTheNearestEnd)
{
    Settings s;
    s.ThumbW = 5000;
    s.MarginW = -3;
    s.E_Iter = 255;
    s.ThreadMode = 9;
    s.CacheMaxMB = -1;
    const OptionsValues v = LoadOptions(s, { 99, false });
    EXPECT_EQ(v.thumbSize, ThumbSizeRange.max);
    EXPECT_EQ(v.frame, FrameRange.min);
    EXPECT_EQ(v.effectIter, IterationsRange.max);
    EXPECT_EQ(v.thumbsRow, ThumbsRowRange.max);
    EXPECT_EQ(v.threadMode, 2);
    EXPECT_EQ(v.cacheMaxMB, 0);
}

using StoredOptions = v7test::TempHome;

TEST_F(StoredOptions, PotraitAndLandscapeSizesPersist)
{
    LoadSettings();
    WindowOptions w;
    OptionsValues v = LoadOptions(settings(), w);
    v.thumbSize = 72;
    v.aspect = 1;
    ApplyOptionsTo(v, settings(), w);
    StoreOptions(v);
    settings() = Settings {};
    LoadSettings();
    EXPECT_EQ(settings().ThumbW, 72);
    EXPECT_EQ(settings().ThumbH, 96);
    EXPECT_EQ(LoadOptions(settings(), w).aspect, 1);

    v.thumbSize = 97;
    v.aspect = 0;
    ApplyOptionsTo(v, settings(), w);
    StoreOptions(v);
    LoadSettings();
    EXPECT_EQ(settings().ThumbW, 97);
    EXPECT_EQ(settings().ThumbH, 73);
}

TEST_F(StoredOptions, NoTypeCheckedStoresAnEmptyListAndTheNextStartHasTheDefaults)
{
    LoadSettings();
    WindowOptions w;
    OptionsValues v = LoadOptions(settings(), w);
    for (FileTypeChoice &c : v.fileTypes)
        c.checked = false;
    ApplyOptionsTo(v, settings(), w);
    StoreOptions(v);
    for (const QString &slot : settings().FileTypes)
        EXPECT_TRUE(slot.isEmpty());
    const std::optional<RegValue> stored =
        Hive::user().read(vorlaneKey(QStringLiteral("FileTypes")), QStringLiteral("Registered"));
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->bytes, QByteArray(FileTypeSlots, '\0')); // twenty empty slots

    settings() = Settings {};
    LoadSettings(); // the next start
    const QStringList expected = { "BMP", "GIF", "JPG", "PNG", "TIF", "PCD" };
    for (int i = 0; i < FileTypeSlots; ++i)
        EXPECT_EQ(settings().FileTypes[size_t(i)], i < 6 ? expected[i] : QString()) << i;
}

TEST_F(StoredOptions, AddedSettingsPersistInTheirTypes)
{
    LoadSettings();
    WindowOptions w;
    OptionsValues v = LoadOptions(settings(), w);
    EXPECT_FALSE(v.deletePermanently);
    EXPECT_TRUE(v.useEmbeddedThumbs);
    EXPECT_EQ(v.cacheMaxMB, 1024);
    v.useEmbeddedThumbs = false;
    v.cacheMaxMB = 300;
    v.deletePermanently = true;
    v.editorCommand = QStringLiteral("  my-editor --new-window ");
    v.captionLine = CaptionFileInfo;
    ApplyOptionsTo(v, settings(), w);
    StoreOptions(v);

    const auto read = [](const char *section, const char *name) {
        return Hive::user().read(vorlaneKey(QString::fromLatin1(section)), QString::fromLatin1(name));
    };
    const auto embedded = read("ThumbEngine", "UseEmbeddedThumbs");
    ASSERT_TRUE(embedded && embedded->type == RegType::Dword);
    EXPECT_EQ(embedded->dword, 0u);
    const auto cacheMax = read("ThumbEngine", "CacheMaxMB");
    ASSERT_TRUE(cacheMax && cacheMax->type == RegType::Dword);
    EXPECT_EQ(cacheMax->dword, 300u);
    const auto permanently = read("StartUp", "DeletePermanently");
    ASSERT_TRUE(permanently && permanently->type == RegType::Dword);
    EXPECT_EQ(permanently->dword, 1u);
    const auto editor = read("StartUp", "EditorCommand");
    ASSERT_TRUE(editor && editor->type == RegType::Sz);
    EXPECT_EQ(editor->text, QStringLiteral("my-editor --new-window"));
    const auto caption = read("ThumbEngine", "CaptionLine");
    ASSERT_TRUE(caption && caption->type == RegType::Dword);
    EXPECT_EQ(caption->dword, 2u);

    // A cache folder typed in the dialog exists once applied, not only after a restart.
    const QString typed = root() + QStringLiteral("/new/cache place");
    v.cacheDir = typed;
    ApplyOptionsTo(v, settings(), w);
    StoreOptions(v);
    EXPECT_TRUE(QFileInfo(typed).isDir());

    settings() = Settings {};
    LoadSettings();
    const OptionsValues again = LoadOptions(settings(), w);
    EXPECT_FALSE(again.useEmbeddedThumbs);
    EXPECT_EQ(again.cacheMaxMB, 300);
    EXPECT_TRUE(again.deletePermanently);
    EXPECT_EQ(again.editorCommand, QStringLiteral("my-editor --new-window"));
    EXPECT_EQ(again.captionLine, int(CaptionFileInfo));
}

TEST(SampleCell, SizeAndPlaceFollowTheValues)
{
    OptionsValues v;
    v.thumbSize = 96;
    v.frame = 20;
    v.showCaption = true;
    EXPECT_EQ(SampleCellSize(v), QSize(136, 72 + 40 + 30));
    v.showCaption = false;
    v.aspect = 1;
    EXPECT_EQ(SampleCellSize(v), QSize(136, 128 + 40));
    EXPECT_EQ(SampleCaption(CaptionFileInfo), QStringLiteral(" 640 x 480 - 24-bit "));
    EXPECT_EQ(SampleCaption(CaptionFileDate), QStringLiteral(" 01/01/2000 10:30 "));
    EXPECT_EQ(SampleCaption(CaptionFileSize), QStringLiteral(" 1,250 kb "));

    // Drawn: the frame colour at the corner, the back colour in the picture area.
    v.frameColor = 0x0000FF; // red as 0x00BBGGRR
    v.thumbColor = 0xFF0000; // blue
    QImage cell(SampleCellSize(v), QImage::Format_RGB32);
    {
        QPainter p(&cell);
        PaintSampleCell(p, v);
    }
    EXPECT_EQ(cell.pixel(5, 5), qRgb(255, 0, 0));
    EXPECT_EQ(cell.pixel(20 + 3, 20 + 3), qRgb(0, 0, 255));

    EXPECT_EQ(ImageOpsWindowPosition(QRect(100, 50, 800, 600), QSize(200, 150)), QPoint(100 + 800 - 8 - 200, 52));
}

} // namespace
