// The settings store: single values in the per-user hive, and the global
// settings that every thread loads into its own copy.
//
// Threads: every function may be called from any thread. settings() returns the
// calling thread's own copy; LoadSettings fills it, SaveSettings writes it.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <variant>

namespace v7
{

// A value read from the hive: empty, text or a signed 32-bit number.
using SettingValue = std::variant<std::monostate, QString, std::int32_t>;

// Conversions callers make of a read value: empty gives 0, the empty text or false.
std::int32_t settingToInt(const SettingValue &v); // text is read as a decimal number
QString settingToText(const SettingValue &v); // a number gives its decimal text
bool settingToBool(const SettingValue &v); // any non-zero number is true
std::uint32_t settingToColor(const SettingValue &v); // decimal text or number, 0x00BBGGRR

// Section names are relative to "Software\Vorlane7".
SettingValue ReadSetting(const QString &section, const QString &valueName, const SettingValue &defaultValue = {});
void WriteSetting(const QString &section, const QString &valueName, const QString &text);
void WriteSetting(const QString &section, const QString &valueName, std::int32_t number);
void WriteSetting(const QString &section, const QString &valueName, bool flag); // true is stored as -1
QString ReadBinarySetting(const QString &section, const QString &valueName);
void WriteBinarySetting(const QString &section, const QString &valueName, const QString &text);

constexpr int FileTypeSlots = 20;
constexpr int ListReadLimit = 2048; // bytes; a longer stored list reads as empty

struct Settings {
    // ThumbRECT
    int ThumbW = 96;
    int ThumbH = 72;
    int MarginW = 20;
    int MarginH = 20;
    // Colors, 0x00BBGGRR
    std::uint32_t ThumbColor = 0;
    std::uint32_t ThumbColorFrame = 0;
    std::uint32_t ThumbColorText = 0;
    std::uint32_t ViewColor = 0;
    // ThumbEngine
    int ThreadMode = 1;
    bool CacheThumbs = true;
    QString CacheThumbsDir;
    bool ShowCaption = true;
    int JPGQuality = 80;
    bool UseEmbeddedThumbs = true; // a JPEG's EXIF preview may stand in for decoding it
    int CacheMaxMB = 1024; // the cache file's bound in MB; 0: no bound
    int CaptionLine = 0; // thumbnails' second caption line: 0 size, 1 date, 2 image info
    // DisplayEffect
    int E_Index = 0;
    int E_Iter = 20;
    int E_Delay = 15;
    bool E_Quality = false;
    bool BeOS = false;
    // FileTypes: enabled extensions, upper case without dot, from slot 0 up; the rest empty.
    std::array<QString, FileTypeSlots> FileTypes;
};

// Process-wide values held per thread (set by the start procedure).
struct StartFlags {
    QString platformName; // "WIN95", "WINNT" or empty
    bool ShowThumbCounter = false; // "/d"
    bool TransactedCache = false; // "/t"
};

Settings &settings(); // this thread's copy
StartFlags &startFlags(); // this thread's copy

void LoadSettings();
void SaveSettings();

// Defaults that depend on the host.
// The desktop's button-face colour, 0x00BBGGRR: read on the user-interface thread;
// other threads get the value it last read (light grey before that).
std::uint32_t defaultButtonFaceColor();
QString defaultCacheThumbsDir(); // $XDG_CACHE_HOME/Vorlane7, or ~/.cache/Vorlane7
QString defaultLastFolder(); // the user's home folder
QString vorlaneKey(const QString &section); // "Software\Vorlane7\" + section

} // namespace v7
