#include "imaging/Prefetch.h"

#include "imaging/Codecs.h"
#include "imaging/ColourManage.h"
#include "imaging/ImageLoad.h"

#include <QThread>
#include <chrono>

namespace v7
{

Prefetcher::Prefetcher(Loader loader, int keep)
    : m_loader(std::move(loader))
    , m_keep(std::max(1, keep))
{
}

Prefetcher::~Prefetcher()
{
    // Decodes still running must end before whatever their loader uses goes away.
    for (Entry &e : m_entries)
        e.image.wait();
    for (auto &f : m_dropped)
        f.wait();
}

void Prefetcher::reapDropped()
{
    m_dropped.remove_if([](const std::shared_future<Decoded> &f) {
        return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    });
}

void Prefetcher::drop(std::list<Entry>::iterator it)
{
    reapDropped();
    // Each unwanted decode holds a whole image's memory: never more of them than
    // images kept.
    while (int(m_dropped.size()) >= m_keep) {
        m_dropped.front().wait();
        m_dropped.pop_front();
    }
    m_dropped.push_back(std::move(it->image));
    m_entries.erase(it);
}

void Prefetcher::prefetch(const QString &file, int reduction)
{
    if (file.isEmpty())
        return;
    reduction = std::max(1, reduction);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->file != file)
            continue;
        if (it->reduction <= reduction)
            return; // prepared at least as large as asked
        drop(it);
        break;
    }
    while (int(m_entries.size()) >= m_keep)
        drop(m_entries.begin());
    Loader loader = m_loader;
    m_entries.push_back({ file, reduction, std::async(std::launch::async, [loader, file, reduction] {
                             Decoded d;
                             d.image = loader(file, reduction, &d.icc);
                             return d;
                         }).share() });
    ++m_started;
}

QImage Prefetcher::take(const QString &file, int reduction, QByteArray *icc)
{
    reduction = std::max(1, reduction);
    // Whoever does not take the profile gets sRGB pixels.
    const auto handOver = [icc](Decoded d) {
        if (icc) {
            *icc = std::move(d.icc);
            return std::move(d.image);
        }
        return convertToSrgb(std::move(d.image), d.icc);
    };
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->file != file)
            continue;
        if (it->reduction > reduction) {
            // Prepared smaller than this request needs: drawing it would show the
            // picture at a fraction of the size the view claims.
            drop(it);
            break;
        }
        Decoded d = it->image.get();
        m_entries.erase(it);
        ++m_served;
        return handOver(std::move(d));
    }
    Decoded d;
    d.image = m_loader(file, reduction, &d.icc);
    return handOver(std::move(d));
}

QStringList Prefetcher::pending() const
{
    QStringList files;
    for (const Entry &e : m_entries)
        files << e.file;
    return files;
}

QImage LoadPreviewImage(const QString &file, int reduction, QByteArray *icc)
{
    if (icc)
        icc->clear();
    // A reduced JPEG decode is small already: it comes converted.
    if (reduction > 1)
        return rdjpgfiledib(file, decoderDepth(screenDepth()), reduction);
    if (icc)
        return LoadImageDibForScreen(file, ScreenContext, true, icc);
    return LoadImageDib(file, ScreenContext, true);
}

DrawServices PreviewDrawServices(Prefetcher &prefetcher, const QThread *ui)
{
    DrawServices s;
    Prefetcher *p = &prefetcher;
    s.loadDib = [p, ui](const QString &file, bool fullSize) {
        if (fullSize && QThread::currentThread() == ui)
            return p->take(file, 1);
        return LoadImageDib(file, ScreenContext, fullSize);
    };
    s.loadReduced = [p, ui](const QString &file, int reduction, QByteArray *icc) {
        // A whole decode prepared ahead comes with its profile: the conversion
        // stays with what is composed of it, not on this thread for all of it.
        if (QThread::currentThread() == ui)
            return p->take(file, reduction, icc);
        return LoadPreviewImage(file, reduction, icc);
    };
    s.loadShown = [p, ui](const QString &file, QByteArray *icc) {
        if (QThread::currentThread() == ui)
            return p->take(file, 1, icc);
        return LoadImageDibForScreen(file, ScreenContext, true, icc);
    };
    return s;
}

} // namespace v7
