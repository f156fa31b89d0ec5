// The tagged set: files marked while browsing any number of folders, keyed by full
// path, in the order they were tagged, each with the size and date texts of its list
// row. It is kept across runs in a small file beside the settings.
//
// Threads: user-interface thread (plain data; any single thread).
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

namespace v7
{

struct TaggedFile {
    QString path; // full path
    QString sizeText; // column 2 as listed when tagged
    QString dateText; // column 3 as listed when tagged
};

class TaggedSet
{
public:
    bool contains(const QString &path) const { return indexOf(path) >= 0; }
    // False when the path is tagged already (the set is unchanged).
    bool add(const QString &path, const QString &sizeText, const QString &dateText);
    bool remove(const QString &path);
    void clear() { m_files.clear(); }
    int size() const { return int(m_files.size()); }
    const std::vector<TaggedFile> &files() const { return m_files; }
    QStringList paths() const;
    // Drops the entries whose file no longer exists (deleted or moved since it was
    // tagged); returns how many went.
    int dropMissing();
    // The entries whose parent folder is folder, in order.
    std::vector<TaggedFile> inFolder(const QString &folder) const;

    // The file: one line per entry, "path<TAB>size<TAB>date", UTF-8. Written by
    // atomic replace; an empty set removes the file.
    bool save(const QString &file) const;
    // Reads the file; entries of files that no longer exist are dropped, as are
    // malformed lines and repeats. A missing or unreadable file gives an empty set.
    static TaggedSet load(const QString &file);
    // $XDG_CONFIG_HOME/Vorlane7/tagged.txt (~/.config when unset), beside the settings.
    static QString defaultFile();

private:
    int indexOf(const QString &path) const;
    std::vector<TaggedFile> m_files;
};

} // namespace v7
