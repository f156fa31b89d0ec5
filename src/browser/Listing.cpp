#include "browser/Listing.h"

#include "imaging/ImageLoad.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <algorithm>
#include <cmath>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace v7
{

namespace
{

    // Case folding with a fast path for ASCII names, the common case in photo folders.
    QString foldName(const QString &s)
    {
        QString out(s.size(), Qt::Uninitialized);
        char16_t *d = reinterpret_cast<char16_t *>(out.data());
        for (qsizetype i = 0; i < s.size(); ++i) {
            const char16_t c = s[i].unicode();
            if (c >= 0x80)
                return s.toCaseFolded();
            d[i] = (c >= 'A' && c <= 'Z') ? char16_t(c + 32) : c;
        }
        return out;
    }

    QString decodeFileName(const QByteArray &raw)
    {
        for (char c : raw)
            if (static_cast<unsigned char>(c) >= 0x80)
                return QFile::decodeName(raw);
        return QString::fromLatin1(raw);
    }

    // Iterative matcher with one backtrack point per "*": linear in practice, never exponential.
    // Both sides arrive case-folded.
    bool matchFolded(QStringView p, QStringView s)
    {
        qsizetype pi = 0, si = 0, starP = -1, starS = 0;
        while (si < s.size()) {
            if (pi < p.size() && p[pi] == u'*') {
                starP = pi++;
                starS = si;
            } else if (pi < p.size() && (p[pi] == u'?' || p[pi] == s[si])) {
                ++pi;
                ++si;
            } else if (starP >= 0) {
                pi = starP + 1;
                si = ++starS;
            } else {
                return false;
            }
        }
        while (pi < p.size() && p[pi] == u'*')
            ++pi;
        return pi == p.size();
    }

    // Round half to even at four decimals, as the fixed-point conversion does.
    std::int64_t toTenThousandths(double v)
    {
        const double scaled = v * 10000.0;
        const double r = std::nearbyint(scaled); // the default rounding mode rounds halves to even
        return std::int64_t(r);
    }

} // namespace

bool WildcardMatch(const QString &pattern, const QString &name)
{
    return matchFolded(foldName(pattern), foldName(name));
}

QString FormatThousands(std::int64_t n)
{
    const bool negative = n < 0;
    std::uint64_t u = negative ? std::uint64_t(0) - std::uint64_t(n) : std::uint64_t(n);
    QString digits = QString::number(u);
    for (qsizetype i = digits.size() - 3; i > 0; i -= 3)
        digits.insert(i, u',');
    return negative ? QStringLiteral("-") + digits : digits;
}

QString FormatThousands3(double value)
{
    const std::int64_t thousandths = std::llround(value * 1000.0);
    const std::int64_t whole = thousandths / 1000;
    const std::int64_t frac = std::abs(thousandths % 1000);
    return FormatThousands(whole) + u'.' + QStringLiteral("%1").arg(frac, 3, 10, QLatin1Char('0'));
}

QString FormatFileDate(const QDateTime &t)
{
    return t.toString(QStringLiteral("MM/dd/yyyy HH:mm"));
}

QString SizeText(std::int64_t totalBytes)
{
    double quotient = double(totalBytes) / 1048576.0;
    QString unit = QStringLiteral("MB");
    if (!(quotient > 1.0)) {
        quotient = double(totalBytes) / 1024.0;
        unit = QStringLiteral("KB");
    }
    // Four decimals first (the fixed-point value), then "0.00", rounding halves up.
    const std::int64_t tenThousandths = toTenThousandths(quotient);
    const std::int64_t hundredths = (tenThousandths + 50) / 100;
    return QString::number(hundredths / 100) + u'.'
        + QStringLiteral("%1").arg(hundredths % 100, 2, 10, QLatin1Char('0')) + unit;
}

QString FolderSummaryText(std::int64_t totalBytes, int count)
{
    return SizeText(totalBytes) + QStringLiteral(" Total files:") + QString::number(count);
}

QString ListingTimeText(int count, std::int64_t elapsedMs)
{
    return QString::number(count) + QStringLiteral(" Files listed in ") + FormatThousands3(double(elapsedMs) / 1000.0)
        + QStringLiteral(" sec");
}

std::optional<QDate> ParseFilterDate(const QString &text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    const QLocale locale = QLocale::system();
    QString shortFormat = locale.dateFormat(QLocale::ShortFormat);
    QStringList formats = { shortFormat };
    if (!shortFormat.contains(QLatin1String("yyyy")))
        formats << QString(shortFormat).replace(QLatin1String("yy"), QLatin1String("yyyy"));
    formats << QStringLiteral("M/d/yyyy") << QStringLiteral("yyyy-MM-dd");
    for (const QString &f : formats) {
        const QDate d = locale.toDate(t, f);
        if (d.isValid())
            return d;
    }
    return std::nullopt;
}

bool DirectorySnapshot::read(const QString &folder)
{
    m_folder = folder;
    m_names.clear();
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return false;
    const int dfd = ::dirfd(dir);
    while (const dirent *e = ::readdir(dir)) {
        const char *n = e->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
            continue;
        bool isFile = e->d_type == DT_REG;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st {
            };
            isFile = ::fstatat(dfd, n, &st, 0) == 0 && S_ISREG(st.st_mode);
        }
        // Folders are never listed as files: a folder named like an image must not
        // reach the file commands, which would then act on a whole folder.
        if (isFile) {
            Name name;
            name.raw = QByteArray(n);
            name.text = decodeFileName(name.raw);
            name.folded = foldName(name.text);
            m_names.push_back(std::move(name));
        }
    }
    ::closedir(dir);
    return true;
}

QStringList FileTypeAliases(const QString &type)
{
    if (type.compare(QLatin1String("JPG"), Qt::CaseInsensitive) == 0)
        return { QStringLiteral("JPEG"), QStringLiteral("JPE") };
    if (type.compare(QLatin1String("TIF"), Qt::CaseInsensitive) == 0)
        return { QStringLiteral("TIFF") };
    return {};
}

void AddMatchingFiles(const DirectorySnapshot &dir,
    const QString &pattern,
    std::vector<FileEntry> &entries,
    int &count,
    std::int64_t &total,
    const QStringList &alsoExtensions)
{
    // A date before the type's "*.ext" lists the files dated on or after it. Split at
    // the last "*.", so that four-letter types (jpeg, heic, webp, avif) take a date as
    // the three-letter ones do rather than finding nothing.
    QString search = pattern;
    std::optional<QDate> since;
    const qsizetype split = pattern.lastIndexOf(QLatin1String("*."));
    if (split > 0) {
        since = ParseFilterDate(pattern.left(split));
        if (since)
            search = pattern.mid(split);
    }
    const QByteArray folder = QFile::encodeName(dir.folder());
    const int dfd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return;
    const std::int64_t sinceMs = since ? QDateTime(*since, QTime(0, 0)).toMSecsSinceEpoch() : 0;
    // The usual pattern is a literal prefix, one "*" and a literal suffix ("ab*.jpg"):
    // test it as such, and leave anything else to the general matcher.
    struct Search {
        QString folded;
        qsizetype star = -1; // >= 0 for the simple form
    };
    std::vector<Search> searches;
    const auto addSearch = [&](const QString &text) {
        Search s { foldName(text) };
        const qsizetype star = s.folded.indexOf(u'*');
        if (star >= 0 && s.folded.indexOf(u'*', star + 1) < 0 && !s.folded.contains(u'?'))
            s.star = star;
        searches.push_back(std::move(s));
    };
    addSearch(search);
    // The same search with each alias in place of its extension.
    const qsizetype dot = search.lastIndexOf(u'.');
    for (const QString &ext : alsoExtensions) {
        if (dot >= 0)
            addSearch(search.left(dot + 1) + ext);
    }
    const auto matches = [](const Search &s, QStringView n) {
        if (s.star < 0)
            return matchFolded(s.folded, n);
        const QStringView head = QStringView(s.folded).left(s.star), tail = QStringView(s.folded).mid(s.star + 1);
        return n.size() >= head.size() + tail.size() && n.startsWith(head) && n.endsWith(tail);
    };
    for (const DirectorySnapshot::Name &name : dir.names()) {
        const QStringView n = name.folded;
        if (std::none_of(searches.cbegin(), searches.cend(), [&](const Search &s) { return matches(s, n); }))
            continue;
        struct stat st {
        };
        if (::fstatat(dfd, name.raw.constData(), &st, 0) != 0)
            continue; // gone since the folder was read
        FileEntry e;
        e.name = name.text;
        e.size = std::int64_t(st.st_size);
        e.modifiedMs = std::int64_t(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
        if (since && e.modifiedMs < sinceMs)
            continue;
        entries.push_back(std::move(e));
        ++count;
        total += std::int64_t(st.st_size);
    }
    ::close(dfd);
}

ListingResult ListFolderFiles(
    const QString &folder, const QString &filterText, const std::array<QString, 20> &fileTypes)
{
    ListingResult r;
    DirectorySnapshot dir;
    if (!dir.read(folder))
        return r;
    r.folderExists = true;
    const QString prefix = filterText + u'*';
    const auto listed = [&](const QString &ext) {
        return std::any_of(fileTypes.cbegin(), fileTypes.cend(), [&](const QString &t) {
            return t.compare(ext, Qt::CaseInsensitive) == 0;
        });
    };
    for (const QString &type : fileTypes) {
        if (type.isEmpty() || type == QLatin1String("*"))
            continue;
        // An alias that has its own slot is listed there, not twice.
        QStringList aliases = FileTypeAliases(type);
        aliases.removeIf(listed);
        AddMatchingFiles(dir, prefix + u'.' + type, r.entries, r.count, r.total, aliases);
    }
    return r;
}

void SortEntries(std::vector<FileEntry> &entries, int sortKey, SortOrder order)
{
    // Text columns compare case-folded keys made once per entry, not per comparison.
    std::vector<QString> keys;
    if (sortKey == 0 || sortKey == 3 || sortKey == 4) {
        keys.reserve(entries.size());
        for (const FileEntry &e : entries)
            keys.push_back(foldName(sortKey == 0 ? e.name : sortKey == 3 ? e.properties : e.memory));
    }
    std::vector<std::uint32_t> perm(entries.size());
    for (std::uint32_t i = 0; i < perm.size(); ++i)
        perm[i] = i;
    auto less = [&](std::uint32_t a, std::uint32_t b) {
        switch (sortKey) {
        case 1:
            return entries[a].size < entries[b].size;
        case 2:
            return entries[a].modifiedMs < entries[b].modifiedMs;
        default:
            return keys[a] < keys[b];
        }
    };
    if (order == SortOrder::Ascending)
        std::stable_sort(perm.begin(), perm.end(), less);
    else
        std::stable_sort(perm.begin(), perm.end(), [&](std::uint32_t a, std::uint32_t b) { return less(b, a); });
    std::vector<FileEntry> sorted;
    sorted.reserve(entries.size());
    for (std::uint32_t i : perm)
        sorted.push_back(std::move(entries[i]));
    entries = std::move(sorted);
}

QString PropertiesText(int width, int height, int bits, bool listWide)
{
    return QString::number(width) + QStringLiteral(" x ") + QString::number(height) + QStringLiteral(" - ")
        + QString::number(bits) + (listWide ? QStringLiteral("-bit   ") : QStringLiteral("-bit"));
}

QString MemoryText(int width, int height, int bits)
{
    return FormatThousands(std::int64_t(width) * std::int64_t(height) * std::int64_t(bits));
}

void ListImagePropertiesOf(FileEntry &entry, const QString &folder)
{
    ImageFileInfo info;
    info.fileName = folder + u'/' + entry.name;
    if (!GetImageInfo(info)) {
        entry.properties = QString::fromLatin1(TextErrorInFile);
        entry.memory = FormatThousands(entry.size);
        return;
    }
    entry.properties = PropertiesText(info.width, info.height, info.bitsPerPixel, true);
    entry.memory = MemoryText(info.width, info.height, info.bitsPerPixel);
}

QString ReadImagePropertiesOf(FileEntry &entry, const QString &folder, bool readFlag)
{
    if (!readFlag)
        return QString();
    ImageFileInfo info;
    info.fileName = folder + u'/' + entry.name;
    if (!GetImageInfo(info)) {
        entry.properties = entry.memory = QString::fromLatin1(TextErrorInFile);
        return entry.properties;
    }
    if (info.bitsPerPixel > 24)
        return QString();
    entry.properties = PropertiesText(info.width, info.height, info.bitsPerPixel, false);
    entry.memory = MemoryText(info.width, info.height, info.bitsPerPixel);
    return entry.properties;
}

QString LastFileToRestore(const QString &folder,
    const QString *lastFileInThisRun,
    const QString &savedLastFolder,
    const QString &savedLastFile)
{
    if (lastFileInThisRun)
        return *lastFileInThisRun;
    if (folder == savedLastFolder)
        return savedLastFile;
    return QString();
}

QString CurrentFileText(
    int position, const QString &name, const QString &sizeText, const QString &properties, bool fromGrid)
{
    return QStringLiteral("# ") + QString::number(position + 1)
        + (fromGrid ? QStringLiteral(". ") : QStringLiteral(" - ")) + name + QStringLiteral("  ") + sizeText
        + QStringLiteral(" bytes  ") + properties;
}

} // namespace v7
