#include "app/Settings.h"

#include "core/Text.h"
#include "platform/Hive.h"

#include <QDir>
#include <QGuiApplication>
#include <QPalette>
#include <QThread>
#include <algorithm>
#include <atomic>

namespace v7
{

namespace
{

    thread_local Settings t_settings = [] {
        Settings s;
        s.CacheThumbsDir = defaultCacheThumbsDir();
        return s;
    }();
    thread_local StartFlags t_startFlags;

    const QString kThumbRect = QStringLiteral("ThumbRECT");
    const QString kColors = QStringLiteral("Colors");
    const QString kThumbEngine = QStringLiteral("ThumbEngine");
    const QString kDisplayEffect = QStringLiteral("DisplayEffect");
    const QString kFileTypes = QStringLiteral("FileTypes");
    const QString kRegistered = QStringLiteral("Registered");

    const std::array<const char *, 6> kDefaultTypes = { "BMP", "GIF", "JPG", "PNG", "TIF", "PCD" };
    // Enabled too on a first run, when no list is stored yet; a stored list is the user's.
    const std::array<const char *, 5> kNewerTypes = { "WEBP", "HEIC", "HEIF", "AVIF", "JXL" };

    QString colorText(std::uint32_t c)
    {
        return QString::number(c);
    }

} // namespace

QString vorlaneKey(const QString &section)
{
    return QStringLiteral("Software\\Vorlane7\\") + section;
}

Settings &settings()
{
    return t_settings;
}

StartFlags &startFlags()
{
    return t_startFlags;
}

std::int32_t settingToInt(const SettingValue &v)
{
    if (const auto *n = std::get_if<std::int32_t>(&v))
        return *n;
    if (const auto *t = std::get_if<QString>(&v)) {
        bool ok = false;
        const qlonglong n = t->trimmed().toLongLong(&ok);
        return ok ? std::int32_t(std::uint32_t(n)) : 0;
    }
    return 0;
}

QString settingToText(const SettingValue &v)
{
    if (const auto *t = std::get_if<QString>(&v))
        return *t;
    if (const auto *n = std::get_if<std::int32_t>(&v))
        return QString::number(*n);
    return {};
}

bool settingToBool(const SettingValue &v)
{
    return settingToInt(v) != 0;
}

std::uint32_t settingToColor(const SettingValue &v)
{
    return std::uint32_t(settingToInt(v));
}

SettingValue ReadSetting(const QString &section, const QString &valueName, const SettingValue &defaultValue)
{
    Hive &hive = Hive::user();
    const QString key = vorlaneKey(section);
    if (!hive.keyExists(key))
        return defaultValue;
    const std::optional<RegValue> v = hive.read(key, valueName);
    if (!v)
        return {};
    switch (v->type) {
    case RegType::Sz:
        // The reader's buffer holds 2048 bytes with the final NUL; a longer text fails to
        // read and comes back empty, as lists do.
        if (ansiBytes(v->text).size() + 1 > ListReadLimit)
            return QString();
        return v->text.trimmed();
    case RegType::Dword:
        return std::int32_t(v->dword);
    default:
        return {};
    }
}

void WriteSetting(const QString &section, const QString &valueName, const QString &text)
{
    Hive::user().write(vorlaneKey(section), valueName, RegValue::fromText(text));
}

void WriteSetting(const QString &section, const QString &valueName, std::int32_t number)
{
    Hive::user().write(vorlaneKey(section), valueName, RegValue::fromDword(std::uint32_t(number)));
}

void WriteSetting(const QString &section, const QString &valueName, bool flag)
{
    WriteSetting(section, valueName, std::int32_t(flag ? -1 : 0));
}

QString ReadBinarySetting(const QString &section, const QString &valueName)
{
    const std::optional<RegValue> v = Hive::user().read(vorlaneKey(section), valueName);
    if (!v)
        return {};
    // The reader's buffer holds 2048 bytes; a longer value fails to read, as it always has.
    QByteArray bytes;
    if (v->type == RegType::Sz)
        bytes = ansiBytes(v->text) + '\0';
    else if (v->type == RegType::Dword)
        bytes = QByteArray(reinterpret_cast<const char *>(&v->dword), 4);
    else
        bytes = v->bytes;
    if (bytes.size() > ListReadLimit)
        return {};
    return fromAnsi(bytes);
}

void WriteBinarySetting(const QString &section, const QString &valueName, const QString &text)
{
    Hive::user().write(vorlaneKey(section), valueName, RegValue::fromBytes(ansiBytes(text)));
}

std::uint32_t defaultButtonFaceColor()
{
    // The application palette belongs to the user-interface thread, which replaces it
    // when the desktop's theme changes: only that thread reads it, and other threads
    // (a mode-1 job loading its settings) take the colour that thread last saw.
    static std::atomic<std::uint32_t> lastSeen { 0xC0C0C0 };
    const QCoreApplication *app = QCoreApplication::instance();
    if (qobject_cast<const QGuiApplication *>(app) && QThread::currentThread() == app->thread()) {
        const QColor c = QGuiApplication::palette().color(QPalette::Button);
        lastSeen.store(std::uint32_t(c.red()) | (std::uint32_t(c.green()) << 8) | (std::uint32_t(c.blue()) << 16));
    }
    return lastSeen.load();
}

QString defaultCacheThumbsDir()
{
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.cache");
    return base + QStringLiteral("/Vorlane7");
}

QString defaultLastFolder()
{
    return QDir::homePath();
}

void LoadSettings()
{
    Settings &s = t_settings;

    s.ThumbW = settingToInt(ReadSetting(kThumbRect, QStringLiteral("ThumbW"), 96));
    s.ThumbH = settingToInt(ReadSetting(kThumbRect, QStringLiteral("ThumbH"), 72));
    s.MarginW = settingToInt(ReadSetting(kThumbRect, QStringLiteral("MarginW"), 20));
    s.MarginH = settingToInt(ReadSetting(kThumbRect, QStringLiteral("MarginH"), 20));

    const std::int32_t buttonFace = std::int32_t(defaultButtonFaceColor());
    s.ThumbColor = settingToColor(ReadSetting(kColors, QStringLiteral("ThumbColor"), buttonFace));
    s.ThumbColorFrame = settingToColor(ReadSetting(kColors, QStringLiteral("ThumbColorFrame"), buttonFace));
    s.ThumbColorText = settingToColor(ReadSetting(kColors, QStringLiteral("ThumbColorText"), 0));
    s.ViewColor = settingToColor(ReadSetting(kColors, QStringLiteral("ViewColor"), 0));

    s.ThreadMode = settingToInt(ReadSetting(kThumbEngine, QStringLiteral("ThreadMode"), 1)) & 0xFF;
    s.CacheThumbs = settingToBool(ReadSetting(kThumbEngine, QStringLiteral("CacheThumbs"), 1));
    s.CacheThumbsDir =
        settingToText(ReadSetting(kThumbEngine, QStringLiteral("CacheThumbsDir"), defaultCacheThumbsDir()));
    s.ShowCaption = settingToBool(ReadSetting(kThumbEngine, QStringLiteral("ShowCaption"), 1));
    s.JPGQuality = settingToInt(ReadSetting(kThumbEngine, QStringLiteral("JPGQuality"), 80));
    s.UseEmbeddedThumbs = settingToBool(ReadSetting(kThumbEngine, QStringLiteral("UseEmbeddedThumbs"), 1));
    s.CacheMaxMB = std::max(0, settingToInt(ReadSetting(kThumbEngine, QStringLiteral("CacheMaxMB"), 1024)));
    s.CaptionLine = std::clamp(settingToInt(ReadSetting(kThumbEngine, QStringLiteral("CaptionLine"), 0)), 0, 2);
    // An empty folder would put the cache at the file-system root; use the default instead.
    if (s.CacheThumbsDir.isEmpty())
        s.CacheThumbsDir = defaultCacheThumbsDir();
    // A folder that cannot be made is left for the cache to find unusable; start-up goes on.
    if (!s.CacheThumbsDir.isEmpty() && !QDir(s.CacheThumbsDir).exists())
        QDir().mkpath(s.CacheThumbsDir);

    s.E_Index = settingToInt(ReadSetting(kDisplayEffect, QStringLiteral("E_Index"), 0)) & 0xFF;
    s.E_Iter = settingToInt(ReadSetting(kDisplayEffect, QStringLiteral("E_Iter"), 20)) & 0xFF;
    s.E_Delay = settingToInt(ReadSetting(kDisplayEffect, QStringLiteral("E_Delay"), 15)) & 0xFF;
    s.E_Quality = settingToBool(ReadSetting(kDisplayEffect, QStringLiteral("E_Quality"), 0));
    s.BeOS = settingToBool(ReadSetting(kDisplayEffect, QStringLiteral("BeOS"), 0));

    s.FileTypes.fill(QString());
    const QString list = ReadBinarySetting(kFileTypes, kRegistered);
    QStringList parts = list.split(QChar(0));
    if (list.endsWith(QChar(0)))
        parts.removeLast(); // the empty part after the final NUL
    // A list of empty slots only (every type unchecked and saved) has no parts either.
    if (std::all_of(parts.cbegin(), parts.cend(), [](const QString &p) { return p.isEmpty(); })) {
        for (size_t i = 0; i < kDefaultTypes.size(); ++i)
            s.FileTypes[i] = QString::fromLatin1(kDefaultTypes[i]);
        if (!Hive::user().read(vorlaneKey(kFileTypes), kRegistered))
            for (size_t i = 0; i < kNewerTypes.size(); ++i)
                s.FileTypes[kDefaultTypes.size() + i] = QString::fromLatin1(kNewerTypes[i]);
    } else {
        for (int i = 0; i < parts.size() && i < FileTypeSlots; ++i)
            s.FileTypes[size_t(i)] = parts[i];
    }
}

void SaveSettings()
{
    const Settings &s = t_settings;
    const auto num = [](std::int32_t n) { return RegValue::fromDword(std::uint32_t(n)); };
    const auto text = [](const QString &t) { return RegValue::fromText(t); };
    const auto k = [](const QString &section) { return vorlaneKey(section); };

    QByteArray types;
    for (const QString &t : s.FileTypes) // every slot followed by NUL, empty ones included
        types += ansiBytes(t) + '\0';

    // One locked read-modify-write for the lot: a crash leaves either all or none.
    Hive::user().apply({
        { k(kThumbRect), QStringLiteral("ThumbW"), num(s.ThumbW) },
        { k(kThumbRect), QStringLiteral("ThumbH"), num(s.ThumbH) },
        { k(kThumbRect), QStringLiteral("MarginW"), num(s.MarginW) },
        { k(kThumbRect), QStringLiteral("MarginH"), num(s.MarginH) },
        { k(kColors), QStringLiteral("ThumbColor"), text(colorText(s.ThumbColor)) },
        { k(kColors), QStringLiteral("ThumbColorFrame"), text(colorText(s.ThumbColorFrame)) },
        { k(kColors), QStringLiteral("ThumbColorText"), text(colorText(s.ThumbColorText)) },
        { k(kColors), QStringLiteral("ViewColor"), text(colorText(s.ViewColor)) },
        { k(kThumbEngine), QStringLiteral("ThreadMode"), num(s.ThreadMode) },
        { k(kThumbEngine), QStringLiteral("CacheThumbs"), num(s.CacheThumbs ? 1 : 0) },
        // The default folder is kept as "" (the default), so it follows the
        // user's cache folder rather than pinning today's path.
        { k(kThumbEngine),
            QStringLiteral("CacheThumbsDir"),
            text(s.CacheThumbsDir == defaultCacheThumbsDir() ? QString() : s.CacheThumbsDir) },
        { k(kThumbEngine), QStringLiteral("ShowCaption"), num(s.ShowCaption ? 1 : 0) },
        { k(kThumbEngine), QStringLiteral("JPGQuality"), num(s.JPGQuality) },
        { k(kThumbEngine), QStringLiteral("UseEmbeddedThumbs"), num(s.UseEmbeddedThumbs ? 1 : 0) },
        { k(kThumbEngine), QStringLiteral("CacheMaxMB"), num(s.CacheMaxMB) },
        { k(kThumbEngine), QStringLiteral("CaptionLine"), num(s.CaptionLine) },
        { k(kDisplayEffect), QStringLiteral("E_Index"), num(s.E_Index) },
        { k(kDisplayEffect), QStringLiteral("E_Iter"), num(s.E_Iter) },
        { k(kDisplayEffect), QStringLiteral("E_Delay"), num(s.E_Delay) },
        { k(kDisplayEffect), QStringLiteral("E_Quality"), num(s.E_Quality ? -1 : 0) },
        { k(kDisplayEffect), QStringLiteral("BeOS"), num(s.BeOS ? -1 : 0) },
        { k(kFileTypes), kRegistered, RegValue::fromBytes(types) },
    });
}

} // namespace v7
