#include "app/Settings.h"

#include "TestEnv.h"
#include "platform/Hive.h"

#include <QDir>
#include <thread>

using namespace v7;

namespace
{

class SettingsStore : public v7test::TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        settings() = Settings();
    }
    static void put(const QString &section, const QString &name, const RegValue &v)
    {
        ASSERT_TRUE(Hive::user().write(vorlaneKey(section), name, v));
    }
    static std::optional<RegValue> stored(const QString &section, const QString &name)
    {
        return Hive::user().read(vorlaneKey(section), name);
    }
};

} // namespace

TEST_F(SettingsStore, FirstRunTakesEveryDefault)
{
    LoadSettings();
    const Settings &s = settings();
    EXPECT_EQ(s.ThumbW, 96);
    EXPECT_EQ(s.ThumbH, 72);
    EXPECT_EQ(s.MarginW, 20);
    EXPECT_EQ(s.MarginH, 20);
    EXPECT_EQ(s.ThumbColor, defaultButtonFaceColor());
    EXPECT_EQ(s.ThumbColorFrame, defaultButtonFaceColor());
    EXPECT_EQ(s.ThumbColorText, 0u);
    EXPECT_EQ(s.ViewColor, 0u);
    EXPECT_EQ(s.ThreadMode, 1);
    EXPECT_TRUE(s.CacheThumbs);
    EXPECT_TRUE(s.ShowCaption);
    EXPECT_EQ(s.JPGQuality, 80);
    EXPECT_EQ(s.E_Index, 0);
    EXPECT_EQ(s.E_Iter, 20);
    EXPECT_EQ(s.E_Delay, 15);
    EXPECT_FALSE(s.E_Quality);
    EXPECT_FALSE(s.BeOS);
    const QStringList types(s.FileTypes.begin(), s.FileTypes.end());
    EXPECT_EQ(types.mid(0, 11),
        QStringList({ "BMP", "GIF", "JPG", "PNG", "TIF", "PCD", "WEBP", "HEIC", "HEIF", "AVIF", "JXL" }));
    EXPECT_EQ(types.mid(11).join(QString()), QString());
    // The cache folder defaults to the user's cache folder and is made at load.
    EXPECT_EQ(s.CacheThumbsDir, root() + QStringLiteral("/cache/Vorlane7"));
    EXPECT_TRUE(QDir(s.CacheThumbsDir).exists());
    // Loading writes nothing.
    EXPECT_FALSE(QFile::exists(hivePath()));
}

TEST_F(SettingsStore, DefaultOnlyWhenTheWholeSectionIsMissing)
{
    put(QStringLiteral("ThumbRECT"), QStringLiteral("ThumbW"), RegValue::fromDword(120));
    put(QStringLiteral("DisplayEffect"), QStringLiteral("E_Index"), RegValue::fromDword(3));
    LoadSettings();
    const Settings &s = settings();
    EXPECT_EQ(s.ThumbW, 120);
    EXPECT_EQ(s.ThumbH, 0); // the section exists, so a missing value reads as 0
    EXPECT_EQ(s.MarginW, 0);
    EXPECT_EQ(s.E_Index, 3);
    EXPECT_EQ(s.E_Iter, 0); // a missing E_Iter gives 0 steps
    EXPECT_FALSE(s.BeOS);
    EXPECT_EQ(s.E_Delay, 0);
    EXPECT_EQ(s.ThreadMode, 1); // ThumbEngine missing as a whole: defaults
    EXPECT_EQ(s.ViewColor, 0u);
    EXPECT_EQ(s.ThumbColorFrame, defaultButtonFaceColor());

    // ReadSetting itself: default for a missing section, empty for a missing value or another type.
    EXPECT_EQ(ReadSetting(QStringLiteral("Nowhere"), QStringLiteral("X"), 5), SettingValue(5));
    EXPECT_EQ(ReadSetting(QStringLiteral("ThumbRECT"), QStringLiteral("X"), 5), SettingValue());
    put(QStringLiteral("ThumbRECT"), QStringLiteral("Raw"), RegValue::fromBytes("ab"));
    EXPECT_EQ(ReadSetting(QStringLiteral("ThumbRECT"), QStringLiteral("Raw"), 5), SettingValue());
}

TEST_F(SettingsStore, ColoursReadFromTextOrNumberAndTextIsTrimmed)
{
    put(QStringLiteral("Colors"), QStringLiteral("ThumbColor"), RegValue::fromDword(0x00C0C0C0));
    put(QStringLiteral("Colors"), QStringLiteral("ThumbColorFrame"), RegValue::fromText(QStringLiteral("12632256")));
    put(QStringLiteral("Colors"), QStringLiteral("ViewColor"), RegValue::fromText(QStringLiteral("  255 ")));
    put(QStringLiteral("ThumbEngine"),
        QStringLiteral("CacheThumbsDir"),
        RegValue::fromText(QStringLiteral("  ") + root() + QStringLiteral("/thumbs \t")));
    LoadSettings();
    EXPECT_EQ(settings().ThumbColor, 0x00C0C0C0u);
    EXPECT_EQ(settings().ThumbColorFrame, 0x00C0C0C0u);
    EXPECT_EQ(settings().ViewColor, 255u);
    EXPECT_EQ(settings().CacheThumbsDir, root() + QStringLiteral("/thumbs"));
    EXPECT_TRUE(QDir(root() + QStringLiteral("/thumbs")).exists());

    SaveSettings();
    const auto c = stored(QStringLiteral("Colors"), QStringLiteral("ThumbColor"));
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->type, RegType::Sz); // colours are written as decimal text
    EXPECT_EQ(c->text, QStringLiteral("12632256"));
}

TEST_F(SettingsStore, SavedValuesHaveTheirStoredTypes)
{
    LoadSettings();
    settings().E_Quality = true;
    settings().CacheThumbs = true;
    SaveSettings();
    const auto dword = [&](const char *section, const char *name) {
        const auto v = stored(QLatin1String(section), QLatin1String(name));
        EXPECT_TRUE(v && v->type == RegType::Dword) << name;
        return v ? v->dword : 0xDEADu;
    };
    EXPECT_EQ(dword("DisplayEffect", "E_Quality"), 0xFFFFFFFFu); // -1
    EXPECT_EQ(dword("DisplayEffect", "BeOS"), 0u);
    EXPECT_EQ(dword("ThumbEngine", "CacheThumbs"), 1u); // 1, not -1
    EXPECT_EQ(dword("ThumbEngine", "ShowCaption"), 1u);
    EXPECT_EQ(dword("ThumbRECT", "ThumbW"), 96u);
    EXPECT_EQ(dword("ThumbEngine", "JPGQuality"), 80u);
    EXPECT_EQ(stored(QStringLiteral("ThumbEngine"), QStringLiteral("CacheThumbsDir"))->type, RegType::Sz);
    // The default cache folder is stored as "", so it follows the user's cache
    // folder; another one is stored as it is.
    EXPECT_EQ(stored(QStringLiteral("ThumbEngine"), QStringLiteral("CacheThumbsDir"))->text, QString());
    settings().CacheThumbsDir = root() + QStringLiteral("/mine");
    SaveSettings();
    EXPECT_EQ(stored(QStringLiteral("ThumbEngine"), QStringLiteral("CacheThumbsDir"))->text, root() + "/mine");

    WriteSetting(QStringLiteral("X"), QStringLiteral("Flag"), true);
    EXPECT_EQ(stored(QStringLiteral("X"), QStringLiteral("Flag"))->dword, 0xFFFFFFFFu);
    EXPECT_TRUE(settingToBool(ReadSetting(QStringLiteral("X"), QStringLiteral("Flag"))));
}

TEST_F(SettingsStore, SixFileTypesSavedAndReadBack)
{
    LoadSettings();
    settings().FileTypes.fill(QString());
    const QStringList six = { "JPG", "PNG", "GIF", "BMP", "PCX", "TIF" };
    for (int i = 0; i < six.size(); ++i)
        settings().FileTypes[size_t(i)] = six[i];
    SaveSettings();

    const auto v = stored(QStringLiteral("FileTypes"), QStringLiteral("Registered"));
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->type, RegType::Binary);
    // Six entries and fourteen empty ones, each followed by one NUL.
    EXPECT_EQ(v->bytes, six.join(QChar(0)).toLatin1() + QByteArray(15, '\0'));

    settings() = Settings();
    LoadSettings();
    for (int i = 0; i < FileTypeSlots; ++i)
        EXPECT_EQ(settings().FileTypes[size_t(i)], i < 6 ? six[i] : QString()) << i;
}

TEST_F(SettingsStore, ValuesOverTheReadLimitReadAsEmpty)
{
    QByteArray limit(ListReadLimit, 'A');
    put(QStringLiteral("StartUp"), QStringLiteral("FolderHistory"), RegValue::fromBytes(limit));
    EXPECT_EQ(ReadBinarySetting(QStringLiteral("StartUp"), QStringLiteral("FolderHistory")).size(), ListReadLimit);
    put(QStringLiteral("StartUp"), QStringLiteral("FolderHistory"), RegValue::fromBytes(limit + "B"));
    EXPECT_EQ(ReadBinarySetting(QStringLiteral("StartUp"), QStringLiteral("FolderHistory")), QString());

    // Text counts its final NUL, in stored bytes: 1,023 two-byte characters fit, 1,024 do not.
    const QString key = QStringLiteral("StartUp"), name = QStringLiteral("LastFolder");
    put(key, name, RegValue::fromText(QString(ListReadLimit - 1, 'a')));
    EXPECT_EQ(std::get<QString>(ReadSetting(key, name)).size(), ListReadLimit - 1);
    put(key, name, RegValue::fromText(QString(ListReadLimit, 'a')));
    EXPECT_EQ(std::get<QString>(ReadSetting(key, name)), QString());
    put(key, name, RegValue::fromText(QString(ListReadLimit / 2 - 1, QChar(0xE9))));
    EXPECT_EQ(std::get<QString>(ReadSetting(key, name)).size(), ListReadLimit / 2 - 1);
    put(key, name, RegValue::fromText(QString(ListReadLimit / 2, QChar(0xE9))));
    EXPECT_EQ(std::get<QString>(ReadSetting(key, name)), QString());

    // A file-type list that long is lost too, and the defaults come back.
    QByteArray types;
    while (types.size() <= ListReadLimit)
        types += "JPG\0";
    put(QStringLiteral("FileTypes"), QStringLiteral("Registered"), RegValue::fromBytes(types));
    LoadSettings();
    EXPECT_EQ(settings().FileTypes[0], QStringLiteral("BMP"));
    EXPECT_EQ(settings().FileTypes[5], QStringLiteral("PCD"));
}

TEST_F(SettingsStore, MoreThanTwentyTypesStopAtSlotTwenty)
{
    QByteArray types;
    for (int i = 0; i < 25; ++i)
        types += "T" + QByteArray::number(i) + '\0';
    put(QStringLiteral("FileTypes"), QStringLiteral("Registered"), RegValue::fromBytes(types));
    LoadSettings();
    EXPECT_EQ(settings().FileTypes[0], QStringLiteral("T0"));
    EXPECT_EQ(settings().FileTypes[19], QStringLiteral("T19"));
}

TEST_F(SettingsStore, NonAsciiTextRoundTrips)
{
    const QString folder = root() + QStringLiteral("/Fotos \u00e9t\u00e9 \"2024\" \\ \u65e5\u672c");
    WriteSetting(QStringLiteral("StartUp"), QStringLiteral("LastFolder"), folder);
    EXPECT_EQ(settingToText(ReadSetting(QStringLiteral("StartUp"), QStringLiteral("LastFolder"))), folder);
    WriteBinarySetting(QStringLiteral("StartUp"), QStringLiteral("FolderHistory"), folder + QChar(0));
    EXPECT_EQ(ReadBinarySetting(QStringLiteral("StartUp"), QStringLiteral("FolderHistory")), folder + QChar(0));
}

TEST_F(SettingsStore, CacheFolderProblemsDoNotStopLoading)
{
    // A cache folder that cannot be made: loading goes on and keeps the value.
    v7test::writeFile(root() + QStringLiteral("/afile"), "x");
    put(QStringLiteral("ThumbEngine"),
        QStringLiteral("CacheThumbsDir"),
        RegValue::fromText(root() + QStringLiteral("/afile/sub")));
    LoadSettings();
    EXPECT_EQ(settings().CacheThumbsDir, root() + QStringLiteral("/afile/sub"));
    EXPECT_FALSE(QDir(settings().CacheThumbsDir).exists());

    // An empty one would put the cache at the root of the file system: the default is used.
    put(QStringLiteral("ThumbEngine"), QStringLiteral("CacheThumbsDir"), RegValue::fromText(QString()));
    LoadSettings();
    EXPECT_EQ(settings().CacheThumbsDir, defaultCacheThumbsDir());
}

TEST_F(SettingsStore, EachThreadHasItsOwnCopy)
{
    LoadSettings();
    settings().ThumbW = 500;
    put(QStringLiteral("ThumbRECT"), QStringLiteral("ThumbW"), RegValue::fromDword(64));
    int seenBeforeLoad = -1, seenAfterLoad = -1;
    std::thread worker([&] {
        seenBeforeLoad = settings().ThumbW;
        LoadSettings();
        seenAfterLoad = settings().ThumbW;
        settings().ThumbW = 7;
    });
    worker.join();
    EXPECT_EQ(seenBeforeLoad, 96); // a fresh thread starts from the built-in values
    EXPECT_EQ(seenAfterLoad, 64);
    EXPECT_EQ(settings().ThumbW, 500); // the worker's changes stay its own
}
