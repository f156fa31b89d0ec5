// Decoding the next images ahead, so that stepping through a folder shows each
// image without waiting for its decode. The preview asks for files through take();
// a file prepared in the background is handed over (waiting for it if its decode
// is still running), any other file is decoded on the spot.
//
// Threads: prefetch(), take() and the destructor are called from one thread (the
// user-interface thread); the decodes run on threads of their own.
#pragma once

#include <QImage>
#include <QString>
#include <functional>
#include <future>
#include <list>
#include <mutex>

namespace v7
{

class Prefetcher
{
public:
    using Loader = std::function<QImage(const QString &file)>;
    // keep: how many prepared images are held at most (the oldest is dropped).
    explicit Prefetcher(Loader loader, int keep = 2);
    ~Prefetcher();
    Prefetcher(const Prefetcher &) = delete;
    Prefetcher &operator=(const Prefetcher &) = delete;

    // Starts decoding file in the background unless it is held or under way;
    // loader, when given, replaces the usual one for this file.
    void prefetch(const QString &file, Loader loader = {});
    // The image of file: the prepared one when there is one, else decoded now.
    QImage take(const QString &file);
    // Files held or being decoded, oldest first (for tests).
    QStringList pending() const;
    int decodesStarted() const { return m_started; }

private:
    struct Entry {
        QString file;
        std::shared_future<QImage> image;
    };
    Loader m_loader;
    int m_keep;
    std::list<Entry> m_entries;
    int m_started = 0;
};

} // namespace v7
