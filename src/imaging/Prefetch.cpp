#include "imaging/Prefetch.h"

#include <QStringList>

namespace v7
{

Prefetcher::Prefetcher(Loader loader, int keep)
    : m_loader(std::move(loader))
    , m_keep(std::max(1, keep))
{
}

Prefetcher::~Prefetcher()
{
    // Decodes still running must end before the loader they use goes away.
    for (Entry &e : m_entries)
        e.image.wait();
}

void Prefetcher::prefetch(const QString &file, Loader loader)
{
    if (file.isEmpty())
        return;
    for (const Entry &e : m_entries)
        if (e.file == file)
            return;
    while (int(m_entries.size()) >= m_keep) {
        m_entries.front().image.wait();
        m_entries.pop_front();
    }
    if (!loader)
        loader = m_loader;
    m_entries.push_back({ file, std::async(std::launch::async, [loader, file] { return loader(file); }).share() });
    ++m_started;
}

QImage Prefetcher::take(const QString &file)
{
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->file == file) {
            QImage image = it->image.get();
            m_entries.erase(it);
            return image;
        }
    }
    return m_loader(file);
}

QStringList Prefetcher::pending() const
{
    QStringList files;
    for (const Entry &e : m_entries)
        files << e.file;
    return files;
}

} // namespace v7
