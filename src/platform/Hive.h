// The per-user settings hive: registry keys and typed values kept in one text
// file in the format of registry exports ("Windows Registry Editor Version 5.00").
//
// Thread safety: every member of Hive may be called from any thread. Writes are
// read-modify-write cycles under an exclusive lock on a side file, so writers in
// other threads and processes never lose each other's values; the file itself is
// replaced atomically, so a reader never sees half of it.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace v7
{

// Value types, numbered as the registry numbers them (they appear as hex(N) in the file).
enum class RegType : std::uint32_t {
    Sz = 1,
    ExpandSz = 2,
    Binary = 3,
    Dword = 4,
    MultiSz = 7,
    Qword = 11,
};

struct RegValue {
    RegType type = RegType::Sz;
    QString text; // Sz
    std::uint32_t dword = 0; // Dword
    QByteArray bytes; // Binary and every other type, raw

    static RegValue fromText(const QString &t) { return { RegType::Sz, t, 0, {} }; }
    static RegValue fromDword(std::uint32_t d) { return { RegType::Dword, {}, d, {} }; }
    static RegValue fromBytes(const QByteArray &b) { return { RegType::Binary, {}, 0, b }; }
    friend bool operator==(const RegValue &, const RegValue &) = default;
};

// The parsed content of a hive file. Key paths are full ("HKEY_CURRENT_USER\Software\...");
// key and value names compare without regard to ASCII letter case, as the registry's do.
class HiveData
{
public:
    struct Key {
        QString path; // spelling as first written
        std::vector<std::pair<QString, RegValue>> values; // in order of creation
    };

    // Parses the bytes of a hive file (UTF-8, or UTF-16LE with its byte-order mark).
    // Empty input is an empty hive. Returns nothing and fills *error on any syntax fault.
    static std::optional<HiveData> parse(const QByteArray &bytes, QString *error = nullptr);
    QByteArray serialize() const;

    bool keyExists(const QString &path) const; // a key exists when it or a subkey was created
    const RegValue *value(const QString &keyPath, const QString &name) const;
    void createKey(const QString &path);
    void setValue(const QString &keyPath, const QString &name, const RegValue &v);
    bool removeValue(const QString &keyPath, const QString &name);
    void removeKeyTree(const QString &path);
    const std::map<QString, Key> &keys() const { return m_keys; }

private:
    std::map<QString, Key> m_keys; // by upper-cased path
};

// One change in a batch written with Hive::apply.
struct HiveChange {
    QString key; // under HKEY_CURRENT_USER, e.g. "Software\Vorlane7\StartUp"
    QString name; // value name; empty with remove = true removes the whole key
    std::optional<RegValue> value; // nothing: remove
};

class Hive
{
public:
    explicit Hive(QString filePath);

    // The user's hive: $XDG_CONFIG_HOME/Vorlane7/registry.reg (~/.config when unset).
    // The path is taken from the environment at each call, so tests can redirect it.
    static Hive &user();
    static QString userHivePath();

    QString filePath() const { return m_path; }

    // Key paths below are relative to HKEY_CURRENT_USER.
    bool keyExists(const QString &key);
    std::optional<RegValue> read(const QString &key, const QString &name);
    bool write(const QString &key, const QString &name, const RegValue &value);
    bool remove(const QString &key, const QString &name);
    // Applies all changes in one locked read-modify-write and one atomic replace.
    bool apply(const std::vector<HiveChange> &changes);
    // The whole current content (empty when the file is missing or was damaged).
    HiveData snapshot();

    // Where the last damaged file was moved to (empty if none was met).
    QString lastSetAside() const;

    static constexpr qint64 MaxFileBytes = 16 * 1024 * 1024;

private:
    HiveData loadLocked(bool haveFileLock);
    bool setAside(const QByteArray &damagedBytes);

    QString m_path;
    std::mutex m_mutex;
    // Parsed content cached by the identity of the file it came from; every write
    // replaces the file, so a changed inode, size or time means a new content.
    struct Stamp {
        std::uint64_t dev = 0, ino = 0;
        std::int64_t size = -1, mtimeNs = 0, ctimeNs = 0;
        bool operator==(const Stamp &) const = default;
    };
    std::optional<Stamp> m_cachedStamp;
    HiveData m_cached;
    QString m_lastSetAside;
};

QString hiveFullKeyPath(const QString &keyUnderCurrentUser);

} // namespace v7
