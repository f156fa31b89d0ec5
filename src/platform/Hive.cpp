#include "platform/Hive.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace v7
{

namespace
{

    const QString kRoot = QStringLiteral("HKEY_CURRENT_USER");
    const QString kHeader5 = QStringLiteral("Windows Registry Editor Version 5.00");
    const QString kHeader4 = QStringLiteral("REGEDIT4");

    QString keyId(const QString &path)
    {
        return path.toUpper();
    }

    bool sameName(const QString &a, const QString &b)
    {
        return a.compare(b, Qt::CaseInsensitive) == 0;
    }

    int hexDigit(QChar c)
    {
        const char16_t u = c.unicode();
        if (u >= '0' && u <= '9')
            return u - '0';
        if (u >= 'a' && u <= 'f')
            return u - 'a' + 10;
        if (u >= 'A' && u <= 'F')
            return u - 'A' + 10;
        return -1;
    }

    // "xx,xx,..." with blanks allowed around items; an empty list is valid.
    bool parseHexBytes(QStringView s, QByteArray *out)
    {
        out->clear();
        s = s.trimmed();
        if (s.isEmpty())
            return true;
        for (QStringView item : s.split(u',')) {
            item = item.trimmed();
            if (item.size() != 2)
                return false;
            const int hi = hexDigit(item[0]), lo = hexDigit(item[1]);
            if (hi < 0 || lo < 0)
                return false;
            out->append(char(hi * 16 + lo));
        }
        return true;
    }

    // A quoted string starting at s[*pos] == '"'; on return *pos is past the closing quote.
    bool parseQuoted(QStringView s, qsizetype *pos, QString *out)
    {
        out->clear();
        qsizetype i = *pos + 1;
        while (i < s.size()) {
            const QChar c = s[i];
            if (c == u'"') {
                *pos = i + 1;
                return true;
            }
            if (c == u'\\') {
                if (i + 1 >= s.size() || (s[i + 1] != u'\\' && s[i + 1] != u'"'))
                    return false;
                out->append(s[i + 1]);
                i += 2;
                continue;
            }
            out->append(c);
            ++i;
        }
        return false;
    }

    QString quote(const QString &s)
    {
        QString r;
        r.reserve(s.size() + 2);
        r.append(u'"');
        for (QChar c : s) {
            if (c == u'\\' || c == u'"')
                r.append(u'\\');
            r.append(c);
        }
        r.append(u'"');
        return r;
    }

    QString utf16Text(const QByteArray &b)
    {
        QString s;
        for (qsizetype i = 0; i + 1 < b.size(); i += 2)
            s.append(QChar(char16_t(quint8(b[i]) | (quint8(b[i + 1]) << 8))));
        if (s.endsWith(QChar(0)))
            s.chop(1);
        return s;
    }

    QByteArray utf16Bytes(const QString &s)
    {
        QByteArray b;
        b.reserve((s.size() + 1) * 2);
        for (QChar c : s) {
            b.append(char(c.unicode() & 0xFF));
            b.append(char(c.unicode() >> 8));
        }
        b.append('\0').append('\0');
        return b;
    }

    // Writes "prefix" then the bytes as hex items, wrapped like registry exports.
    void appendHex(QString *out, const QString &prefix, const QByteArray &bytes)
    {
        QString line = prefix;
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            line += QString::asprintf("%02x", unsigned(quint8(bytes[i])));
            if (i + 1 < bytes.size()) {
                line += u',';
                if (line.size() > 75) {
                    out->append(line).append(QStringLiteral("\\\n"));
                    line = QStringLiteral("  ");
                }
            }
        }
        out->append(line).append(u'\n');
    }

    bool hasControlChars(const QString &s)
    {
        for (QChar c : s)
            if (c.unicode() < 0x20)
                return true;
        return false;
    }

    bool setError(QString *error, const QString &text)
    {
        if (error)
            *error = text;
        return false;
    }

} // namespace

QString hiveFullKeyPath(const QString &keyUnderCurrentUser)
{
    if (keyUnderCurrentUser.isEmpty())
        return kRoot;
    return kRoot + u'\\' + keyUnderCurrentUser;
}

// ---- HiveData ---------------------------------------------------------------

std::optional<HiveData> HiveData::parse(const QByteArray &bytes, QString *error)
{
    HiveData data;
    if (bytes.isEmpty())
        return data;

    QString text;
    if (bytes.startsWith("\xFF\xFE")) {
        text = utf16Text(bytes.mid(2) + QByteArray(2, '\0'));
    } else {
        QStringDecoder dec(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        text = dec.decode(bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes);
        if (dec.hasError()) {
            setError(error, QStringLiteral("the file is not valid UTF-8 text"));
            return std::nullopt;
        }
    }

    const QList<QStringView> lines = QStringView(text).split(u'\n');
    bool sawHeader = false;
    QString currentKey; // empty: before the first key, or after a removed key
    bool keyRemoved = false;
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QString line = lines[n].toString();
        if (line.endsWith(u'\r'))
            line.chop(1);
        const QString lineNo = QString::number(n + 1);
        if (!sawHeader) {
            if (line.trimmed().isEmpty())
                continue;
            if (line.trimmed() != kHeader5 && line.trimmed() != kHeader4) {
                setError(error, QStringLiteral("line %1: not a registry export header").arg(lineNo));
                return std::nullopt;
            }
            sawHeader = true;
            continue;
        }
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u';'))
            continue;
        if (trimmed.startsWith(u'[')) {
            if (!trimmed.endsWith(u']')) {
                setError(error, QStringLiteral("line %1: unterminated key").arg(lineNo));
                return std::nullopt;
            }
            QString path = trimmed.mid(1, trimmed.size() - 2);
            keyRemoved = path.startsWith(u'-');
            if (keyRemoved)
                path.remove(0, 1);
            if (!path.startsWith(QStringLiteral("HKEY_")) || path.endsWith(u'\\')
                || path.contains(QStringLiteral("\\\\"))) {
                setError(error, QStringLiteral("line %1: bad key path").arg(lineNo));
                return std::nullopt;
            }
            if (keyRemoved) {
                data.removeKeyTree(path);
                currentKey.clear();
            } else {
                data.createKey(path);
                currentKey = path;
            }
            continue;
        }

        // A value line: "name"=data or @=data, hex data may continue over lines ending in '\'.
        if (currentKey.isEmpty() && !keyRemoved) {
            setError(error, QStringLiteral("line %1: value outside any key").arg(lineNo));
            return std::nullopt;
        }
        QString name;
        qsizetype pos = 0;
        if (trimmed.startsWith(u'@')) {
            pos = 1;
        } else if (trimmed.startsWith(u'"')) {
            if (!parseQuoted(trimmed, &pos, &name)) {
                setError(error, QStringLiteral("line %1: bad value name").arg(lineNo));
                return std::nullopt;
            }
        } else {
            setError(error, QStringLiteral("line %1: unexpected text").arg(lineNo));
            return std::nullopt;
        }
        QStringView rest = QStringView(trimmed).mid(pos).trimmed();
        if (!rest.startsWith(u'=')) {
            setError(error, QStringLiteral("line %1: missing '='").arg(lineNo));
            return std::nullopt;
        }
        QString valueText = rest.mid(1).trimmed().toString();

        std::optional<RegValue> value;
        if (valueText.startsWith(u'"')) {
            QString s;
            qsizetype p = 0;
            if (!parseQuoted(valueText, &p, &s) || !QStringView(valueText).mid(p).trimmed().isEmpty()) {
                setError(error, QStringLiteral("line %1: bad string").arg(lineNo));
                return std::nullopt;
            }
            value = RegValue::fromText(s);
        } else if (valueText.startsWith(QStringLiteral("dword:"), Qt::CaseInsensitive)) {
            const QString digits = valueText.mid(6).trimmed();
            bool ok = digits.size() >= 1 && digits.size() <= 8;
            const uint d = ok ? digits.toUInt(&ok, 16) : 0;
            if (!ok) {
                setError(error, QStringLiteral("line %1: bad dword").arg(lineNo));
                return std::nullopt;
            }
            value = RegValue::fromDword(d);
        } else if (valueText.startsWith(QStringLiteral("hex"), Qt::CaseInsensitive)) {
            while (valueText.endsWith(u'\\')) {
                valueText.chop(1);
                if (++n >= lines.size()) {
                    setError(error, QStringLiteral("line %1: hex data runs past the end").arg(lineNo));
                    return std::nullopt;
                }
                QString next = lines[n].toString().trimmed();
                valueText += next;
            }
            RegType type = RegType::Binary;
            qsizetype colon = valueText.indexOf(u':');
            if (colon < 0) {
                setError(error, QStringLiteral("line %1: bad hex value").arg(lineNo));
                return std::nullopt;
            }
            const QString form = valueText.left(colon).toLower();
            if (form != QLatin1String("hex")) {
                bool ok = form.startsWith(QLatin1String("hex(")) && form.endsWith(u')') && form.size() > 5
                    && form.size() <= 13;
                const uint t = ok ? form.mid(4, form.size() - 5).toUInt(&ok, 16) : 0;
                if (!ok) {
                    setError(error, QStringLiteral("line %1: bad hex type").arg(lineNo));
                    return std::nullopt;
                }
                type = RegType(t);
            }
            QByteArray raw;
            if (!parseHexBytes(QStringView(valueText).mid(colon + 1), &raw)) {
                setError(error, QStringLiteral("line %1: bad hex bytes").arg(lineNo));
                return std::nullopt;
            }
            if (type == RegType::Sz)
                value = RegValue::fromText(utf16Text(raw));
            else if (type == RegType::Dword && raw.size() == 4)
                value = RegValue::fromDword(quint8(raw[0]) | (quint8(raw[1]) << 8) | (quint8(raw[2]) << 16)
                    | (std::uint32_t(quint8(raw[3])) << 24));
            else
                value = RegValue { type, {}, 0, raw };
        } else if (valueText == QLatin1String("-")) {
            value.reset();
        } else {
            setError(error, QStringLiteral("line %1: unknown value form").arg(lineNo));
            return std::nullopt;
        }
        if (keyRemoved)
            continue;
        if (value)
            data.setValue(currentKey, name, *value);
        else
            data.removeValue(currentKey, name);
    }
    if (!sawHeader) {
        setError(error, QStringLiteral("no registry export header"));
        return std::nullopt;
    }
    return data;
}

QByteArray HiveData::serialize() const
{
    QString out = kHeader5 + QStringLiteral("\n");
    for (const auto &[id, key] : m_keys) {
        out += QStringLiteral("\n[") + key.path + QStringLiteral("]\n");
        for (const auto &[name, v] : key.values) {
            const QString lhs = (name.isEmpty() ? QStringLiteral("@") : quote(name)) + u'=';
            switch (v.type) {
            case RegType::Sz:
                if (hasControlChars(v.text))
                    appendHex(&out, lhs + QStringLiteral("hex(1):"), utf16Bytes(v.text));
                else
                    out += lhs + quote(v.text) + u'\n';
                break;
            case RegType::Dword:
                out += lhs + QString::asprintf("dword:%08x\n", unsigned(v.dword));
                break;
            case RegType::Binary:
                appendHex(&out, lhs + QStringLiteral("hex:"), v.bytes);
                break;
            default:
                appendHex(&out, lhs + QString::asprintf("hex(%x):", unsigned(v.type)), v.bytes);
                break;
            }
        }
    }
    return out.toUtf8();
}

bool HiveData::keyExists(const QString &path) const
{
    const QString id = keyId(path);
    if (m_keys.count(id))
        return true;
    const QString prefix = id + u'\\';
    auto it = m_keys.lower_bound(prefix);
    return it != m_keys.end() && it->first.startsWith(prefix);
}

const RegValue *HiveData::value(const QString &keyPath, const QString &name) const
{
    auto it = m_keys.find(keyId(keyPath));
    if (it == m_keys.end())
        return nullptr;
    for (const auto &[n, v] : it->second.values)
        if (sameName(n, name))
            return &v;
    return nullptr;
}

void HiveData::createKey(const QString &path)
{
    auto [it, inserted] = m_keys.try_emplace(keyId(path));
    if (inserted)
        it->second.path = path;
}

void HiveData::setValue(const QString &keyPath, const QString &name, const RegValue &v)
{
    createKey(keyPath);
    auto &values = m_keys[keyId(keyPath)].values;
    for (auto &[n, old] : values) {
        if (sameName(n, name)) {
            old = v;
            return;
        }
    }
    values.emplace_back(name, v);
}

bool HiveData::removeValue(const QString &keyPath, const QString &name)
{
    auto it = m_keys.find(keyId(keyPath));
    if (it == m_keys.end())
        return false;
    auto &values = it->second.values;
    for (auto v = values.begin(); v != values.end(); ++v) {
        if (sameName(v->first, name)) {
            values.erase(v);
            return true;
        }
    }
    return false;
}

void HiveData::removeKeyTree(const QString &path)
{
    const QString id = keyId(path);
    m_keys.erase(id);
    const QString prefix = id + u'\\';
    for (auto it = m_keys.lower_bound(prefix); it != m_keys.end() && it->first.startsWith(prefix);)
        it = m_keys.erase(it);
}

// ---- Hive -------------------------------------------------------------------

namespace
{

    // Closes the descriptor (and so drops any lock on it) when it goes out of scope.
    struct Fd {
        int fd = -1;
        explicit Fd(int f)
            : fd(f)
        {
        }
        ~Fd()
        {
            if (fd >= 0)
                ::close(fd);
        }
        Fd(const Fd &) = delete;
        Fd &operator=(const Fd &) = delete;
    };

    bool readAll(int fd, qint64 size, QByteArray *out)
    {
        out->resize(size);
        qint64 done = 0;
        while (done < size) {
            const ssize_t n = ::read(fd, out->data() + done, size_t(size - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        out->resize(done);
        return true;
    }

    bool writeAll(int fd, const QByteArray &bytes)
    {
        qint64 done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }

} // namespace

Hive::Hive(QString filePath)
    : m_path(std::move(filePath))
{
}

QString Hive::userHivePath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Vorlane7/registry.reg");
}

Hive &Hive::user()
{
    static std::mutex mutex;
    static std::map<QString, std::unique_ptr<Hive>> hives; // never erased: references stay valid
    const QString path = userHivePath();
    std::lock_guard lock(mutex);
    auto &h = hives[path];
    if (!h)
        h = std::make_unique<Hive>(path);
    return *h;
}

QString Hive::lastSetAside() const
{
    std::lock_guard lock(const_cast<std::mutex &>(m_mutex));
    return m_lastSetAside;
}

bool Hive::setAside(const QByteArray &damagedBytes)
{
    Q_UNUSED(damagedBytes);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    QString target = m_path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = m_path + QStringLiteral(".damaged-") + stamp + u'-' + QString::number(n);
    if (::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(target).constData()) != 0)
        return false;
    m_lastSetAside = target;
    qWarning("Vorlane7: the settings file %s could not be read; it was kept as %s and the defaults are used.",
        qPrintable(m_path),
        qPrintable(target));
    return true;
}

HiveData Hive::loadLocked(bool haveFileLock)
{
    Fd file(::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) {
        m_cachedStamp.reset();
        m_cached = HiveData();
        return m_cached;
    }
    struct stat st {
    };
    if (::fstat(file.fd, &st) != 0)
        return HiveData();
    const Stamp stamp { std::uint64_t(st.st_dev),
        std::uint64_t(st.st_ino),
        std::int64_t(st.st_size),
        std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
        std::int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec };
    // A writer always re-reads: inode numbers are reused and file times are coarse, so the
    // stamp can (rarely) match a newer file, and a write must never build on a stale copy.
    if (!haveFileLock && m_cachedStamp && *m_cachedStamp == stamp)
        return m_cached;

    QByteArray bytes;
    std::optional<HiveData> parsed;
    QString error = QStringLiteral("the file is larger than %1 bytes").arg(MaxFileBytes);
    if (st.st_size <= MaxFileBytes) {
        readAll(file.fd, st.st_size, &bytes);
        parsed = HiveData::parse(bytes, &error);
    }
    if (parsed) {
        m_cachedStamp = stamp;
        m_cached = std::move(*parsed);
        return m_cached;
    }

    // Damaged: keep it aside for the user, never overwrite it, and read as empty.
    if (!haveFileLock) {
        // Take the writers' lock so we set aside exactly the file we judged.
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        Fd lock(::open(
            QFile::encodeName(m_path + QStringLiteral(".lock")).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (lock.fd >= 0 && ::flock(lock.fd, LOCK_EX) == 0)
            return loadLocked(true);
        return HiveData();
    }
    qWarning("Vorlane7: %s: %s", qPrintable(m_path), qPrintable(error));
    setAside(bytes);
    m_cachedStamp.reset();
    m_cached = HiveData();
    return m_cached;
}

HiveData Hive::snapshot()
{
    std::lock_guard lock(m_mutex);
    return loadLocked(false);
}

bool Hive::keyExists(const QString &key)
{
    std::lock_guard lock(m_mutex);
    return loadLocked(false).keyExists(hiveFullKeyPath(key));
}

std::optional<RegValue> Hive::read(const QString &key, const QString &name)
{
    std::lock_guard lock(m_mutex);
    const HiveData &data = loadLocked(false);
    if (const RegValue *v = data.value(hiveFullKeyPath(key), name))
        return *v;
    return std::nullopt;
}

bool Hive::write(const QString &key, const QString &name, const RegValue &value)
{
    return apply({ HiveChange { key, name, value } });
}

bool Hive::remove(const QString &key, const QString &name)
{
    return apply({ HiveChange { key, name, std::nullopt } });
}

bool Hive::apply(const std::vector<HiveChange> &changes)
{
    std::lock_guard guard(m_mutex);
    const QString dir = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(dir))
        return false;
    Fd lock(
        ::open(QFile::encodeName(m_path + QStringLiteral(".lock")).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.fd < 0)
        return false;
    while (::flock(lock.fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
    }

    HiveData data = loadLocked(true);
    for (const HiveChange &c : changes) {
        const QString full = hiveFullKeyPath(c.key);
        if (c.value)
            data.setValue(full, c.name, *c.value);
        else if (c.name.isEmpty())
            data.removeKeyTree(full);
        else
            data.removeValue(full, c.name);
    }
    const QByteArray bytes = data.serialize();

    static std::atomic<unsigned> counter { 0 };
    const QString tmp = m_path + QStringLiteral(".tmp.%1.%2").arg(::getpid()).arg(counter++);
    const QByteArray tmpName = QFile::encodeName(tmp);
    {
        Fd out(::open(tmpName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (out.fd < 0)
            return false;
        if (!writeAll(out.fd, bytes) || ::fsync(out.fd) != 0) {
            ::unlink(tmpName.constData());
            return false;
        }
    }
    if (::rename(tmpName.constData(), QFile::encodeName(m_path).constData()) != 0) {
        ::unlink(tmpName.constData());
        return false;
    }
    Fd dirFd(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.fd >= 0)
        ::fsync(dirFd.fd);

    // Still under the lock, so the file we stat is the one we wrote.
    struct stat st {
    };
    if (::stat(QFile::encodeName(m_path).constData(), &st) == 0) {
        m_cachedStamp = Stamp { std::uint64_t(st.st_dev),
            std::uint64_t(st.st_ino),
            std::int64_t(st.st_size),
            std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
            std::int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec };
        m_cached = std::move(data);
    } else {
        m_cachedStamp.reset();
    }
    return true;
}

} // namespace v7
