// Listing a folder into the file list: which files match, in which order, and
// the texts the list and the status bar show. Plain functions and values, so a
// listing is tested (and benchmarked) without a window.
//
// Threads: every function may be called from any thread; the main window calls
// them on the user-interface thread.
#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace v7
{

// One row of the file list.
struct FileEntry {
    QString name; // column 1, as found on disk
    std::int64_t size = 0; // column 2 is its "#,##0" text
    std::int64_t modifiedMs = 0; // last write, ms since the epoch; column 3 shows it in local time
    QDateTime modified() const { return QDateTime::fromMSecsSinceEpoch(modifiedMs); }
    void setModified(const QDateTime &t) { modifiedMs = t.toMSecsSinceEpoch(); }
    QString properties; // column 4: filled on demand
    QString memory; // column 5: filled on demand
    bool tag = true;
    bool tagged = false; // shown with the tagged icon ("dbdoc" rather than "bmp")
    QString folder; // a row of another folder than the list's (a tagged list); empty otherwise
    bool dimmed = false; // deleted or moved away while its entry stays listed
};
// What a dimmed row's name starts with, before the file's own name.
inline const QString DeletedPrefix = QStringLiteral("Deleted - ");
inline const QString MovedPrefix = QStringLiteral("Moved - ");

// The host's wildcard rule: "*" any run of characters, "?" one character, letters
// compared without regard to case (so "*.JPG" finds photo.jpg).
bool WildcardMatch(const QString &pattern, const QString &name);

// "#,##0" and "#,##0.000", independent of the desktop's locale.
QString FormatThousands(std::int64_t n);
QString FormatThousands3(double value);
// "mm/dd/yyyy hh:mm" (24-hour clock).
QString FormatFileDate(const QDateTime &t);

// The folder summary's size: "812.40KB", "1.25MB"; exactly 1,048,576 bytes is "1024.00KB".
QString SizeText(std::int64_t totalBytes);
// Status panel 3: size text + " Total files:" + count.
QString FolderSummaryText(std::int64_t totalBytes, int count);
// Status panel 5 after a listing: count + " Files listed in " + seconds + " sec".
QString ListingTimeText(int count, std::int64_t elapsedMs);

// A filter text that is a date: the files of each type dated on or after it.
// Accepts the user's short date format, with a two- or four-digit year, and M/d/yyyy.
std::optional<QDate> ParseFilterDate(const QString &text);

// The names of one folder read once, in the order the file system gives them, so
// that each file type's search runs over memory instead of the disk.
class DirectorySnapshot
{
public:
    struct Name {
        QString text; // as shown
        QString folded; // case-folded once, for the wildcard tests of every type
        QByteArray raw; // the file system\'s bytes, for stat
    };
    // Fails (returns false) when the folder cannot be read.
    bool read(const QString &folder);
    const QString &folder() const { return m_folder; }
    const std::vector<Name> &names() const { return m_names; }

private:
    QString m_folder;
    std::vector<Name> m_names; // regular files (and links to them); folders are left out
};

// The extensions a file type of the FileTypes list also lists: "JPG" also .jpeg and
// .jpe, "TIF" also .tiff (upper case, without dot; none for the other types).
QStringList FileTypeAliases(const QString &type);

// Adds every file of the snapshot that matches one search pattern (with the date
// filter described above) to entries, and adds to count and total. Sizes and dates
// are read from disk here, only for the matching files. A name that matches the
// pattern with one of alsoExtensions in place of its extension matches too.
void AddMatchingFiles(const DirectorySnapshot &dir,
    const QString &pattern,
    std::vector<FileEntry> &entries,
    int &count,
    std::int64_t &total,
    const QStringList &alsoExtensions = {});

struct ListingResult {
    bool folderExists = false;
    std::vector<FileEntry> entries; // grouped by file type, in the order of the type list
    int count = 0;
    std::int64_t total = 0;
};

// One search per file-type slot that is neither empty nor "*", with the pattern
// filter + "*" + "." + type; the type's aliases are listed with it, unless they
// have a slot of their own.
ListingResult ListFolderFiles(
    const QString &folder, const QString &filterText, const std::array<QString, 20> &fileTypes);

// Sorting by column: 0 name (text, ignoring case), 1 size (number), 2 date (value),
// 3 and 4 by their texts. Stable, so equal keys keep the listing order.
enum class SortOrder { Ascending, Descending };
void SortEntries(std::vector<FileEntry> &entries, int sortKey, SortOrder order);

// Column 4 and 5 texts from an image's width, height and bits per pixel.
QString PropertiesText(int width, int height, int bits, bool listWide); // listWide adds "   "
QString MemoryText(int width, int height, int bits);
inline const char *const TextErrorInFile = "Error in file";

// Image properties of one entry read from its file (folder + "/" + name).
// The whole-list form: on failure column 4 says "Error in file" and column 5 shows
// the size text; otherwise "W x H - B-bit   " and the memory figure.
void ListImagePropertiesOf(FileEntry &entry, const QString &folder);
// The one-file form (the viewer's request): nothing is read unless readFlag is set;
// on failure both columns say "Error in file"; a depth above 24 bits writes nothing.
// Returns the column-4 text, empty when nothing was read.
QString ReadImagePropertiesOf(FileEntry &entry, const QString &folder, bool readFlag);

// The file to select after listing a folder: the one last made current there in this
// run, else the saved LastFile when the folder is the saved LastFolder, else none.
QString LastFileToRestore(const QString &folder,
    const QString *lastFileInThisRun,
    const QString &savedLastFolder,
    const QString &savedLastFile);

// Status panel 5 for the current file: "# 3 - name  123 bytes  props" from the list,
// "# 3. name ..." from the thumbnail grid.
QString CurrentFileText(
    int position, const QString &name, const QString &sizeText, const QString &properties, bool fromGrid);

} // namespace v7
