#include "viewer/ViewerCache.h"

#include "imaging/Codecs.h"
#include "imaging/Draw.h"
#include "imaging/Fit.h"
#include "imaging/ImageLoad.h"
#include "imaging/Prefetch.h"

#include <QThread>
#include <algorithm>
#include <chrono>
#include <cmath>

namespace v7
{

PreparedImage PrepareViewerImage(const QString &file, const ViewTarget &target)
{
    PreparedImage p;
    const int reduction = PreviewReductionFor(file, target.box, target.fitMode, target.zoom, &p.natural);
    // A whole decode stays in the file's colours: only what is composed is converted.
    QByteArray icc;
    p.image = LoadPreviewImage(file, reduction, &icc);
    if (p.image.isNull() && reduction > 1)
        p.image = LoadPreviewImage(file, 1, &icc);
    if (p.image.isNull())
        return p;
    p.image = flattenOnto(p.image, target.background);
    if (!p.natural.isValid())
        p.natural = p.image.size();
    // The scaling is done here, off the user-interface thread: a step then only
    // copies the composed part to the screen.
    ViewState &v = p.view;
    v.current = p.image;
    v.currentFile = file;
    v.currentIcc = icc;
    v.natural = p.natural;
    v.reduction = p.image.size() == p.natural ? 1 : std::max(2, p.natural.width() / std::max(1, p.image.width()));
    if (target.box.isEmpty() || !ComposeFitted(v, target.box, target.fitMode, target.zoom, target.quality))
        v.offscreen = QImage();
    else
        ComposePart(v, QRect(v.offscreenAt, v.offscreen.size())); // pans then convert nothing on the UI thread
    // A whole decode made by the composition (the reduced one did not cover) is
    // the photo now.
    p.image = v.current;
    v.spare = QImage();
    return p;
}

qint64 PreparedImage::bytes() const
{
    qint64 n = image.sizeInBytes() + view.offscreen.sizeInBytes();
    if (view.second.constBits() != image.constBits())
        n += view.second.sizeInBytes();
    return n;
}

namespace
{
    // An embedded preview may be letterboxed or cropped to another shape; it then
    // does not stand for the photo.
    bool sameShape(QSize a, QSize b)
    {
        if (a.isEmpty() || b.isEmpty())
            return false;
        const double ra = double(a.width()) / a.height(), rb = double(b.width()) / b.height();
        return std::abs(ra - rb) <= 0.02 * rb;
    }
} // namespace

QImage PrepareMosaicCell(const QString &file, QSize cell, bool quality)
{
    if (cell.isEmpty())
        return {};
    ImageFileInfo info;
    info.fileName = file;
    if (!GetImageInfo(info))
        return {};
    QImage source;
    QSize natural(info.width, info.height);
    int fw = 0, fh = 0;
    if (imageTypeOf(info.format) == ImageType::Jpeg && !natural.isEmpty()
        && ComputeFitSize(FitAuto, natural.width(), natural.height(), cell.width(), cell.height(), fw, fh)) {
        QSize unused;
        const QImage embedded = LoadExifPreviewDib(file, cell.width(), cell.height(), &unused);
        if (!embedded.isNull() && embedded.width() >= fw && embedded.height() >= fh
            && sameShape(embedded.size(), natural))
            source = embedded;
        else
            source = LoadPreviewImage(file, PreviewReduction(natural, QSize(fw, fh)));
    } else {
        source = LoadPreviewImage(file, 1);
        natural = source.size();
    }
    if (source.isNull()
        || !ComputeFitSize(FitAuto, natural.width(), natural.height(), cell.width(), cell.height(), fw, fh))
        return {};
    const QImage::Format format = source.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
    const QSize fitted(fw, fh);
    QImage scaled = quality ? resampleSmooth(source.convertToFormat(format), fitted) : stretchFast(source, fitted);
    return scaled.format() == format ? scaled : scaled.convertToFormat(format);
}

ViewerCache::ViewerCache(Loader loader, CellLoader cellLoader, int threads)
    : m_loader(std::move(loader))
    , m_cellLoader(std::move(cellLoader))
{
    m_pool.setMaxThreadCount(threads > 0 ? threads : std::max(2, QThread::idealThreadCount()));
    // Idle threads stay a while: a slideshow decodes one photo every few seconds.
    m_pool.setExpiryTimeout(60000);
}

ViewerCache::~ViewerCache()
{
    m_pool.waitForDone();
}

template <typename T> std::shared_future<T> ViewerCache::run(std::function<T()> job)
{
    auto promise = std::make_shared<std::promise<T>>();
    std::shared_future<T> result = promise->get_future().share();
    m_pool.start(
        [promise, job = std::move(job)] {
            try {
                promise->set_value(job());
            } catch (...) {
                promise->set_exception(std::current_exception());
            }
        },
        --m_priority);
    ++m_started;
    return result;
}

bool ViewerCache::ready(const std::shared_future<PreparedImage> &f)
{
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void ViewerCache::prefetch(const QString &file, const ViewTarget &target)
{
    if (file.isEmpty())
        return;
    for (const Entry &e : m_entries)
        if (e.file == file && e.target == target)
            return;
    Loader loader = m_loader;
    m_entries.push_back({ file, target, run<PreparedImage>([loader, file, target] { return loader(file, target); }) });
    trim();
}

void ViewerCache::setWanted(const QStringList &files)
{
    m_wanted = files;
    trim();
}

PreparedImage ViewerCache::take(const QString &file, const ViewTarget &target)
{
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->file != file || !(it->target == target))
            continue;
        // Most recently used goes to the end: it is the last to be dropped.
        m_entries.splice(m_entries.end(), m_entries, it);
        ++m_served;
        const PreparedImage p = m_entries.back().image.get();
        trim();
        return p;
    }
    ++m_onDemand;
    PreparedImage p = m_loader(file, target);
    std::promise<PreparedImage> done;
    done.set_value(p);
    m_entries.push_back({ file, target, done.get_future().share() });
    trim();
    return p;
}

void ViewerCache::trim()
{
    qint64 bytes = 0;
    for (const Entry &e : m_entries)
        if (!m_wanted.contains(e.file) && ready(e.image))
            bytes += e.image.get().bytes();
    // The newest stays: it is the photo on screen.
    for (auto it = m_entries.begin();
         bytes > m_keepBytes && it != m_entries.end() && std::next(it) != m_entries.end();) {
        if (m_wanted.contains(it->file) || !ready(it->image)) {
            ++it;
            continue;
        }
        bytes -= it->image.get().bytes();
        it = m_entries.erase(it);
    }
}

void ViewerCache::prefetchCell(const QString &file, QSize cell, bool quality)
{
    if (file.isEmpty())
        return;
    for (const Cell &c : m_cells)
        if (c.file == file && c.cell == cell && c.quality == quality)
            return;
    CellLoader loader = m_cellLoader;
    m_cells.push_back(
        { file, cell, quality, run<QImage>([loader, file, cell, quality] { return loader(file, cell, quality); }) });
}

QImage ViewerCache::takeCell(const QString &file, QSize cell, bool quality)
{
    for (const Cell &c : m_cells) {
        if (c.file == file && c.cell == cell && c.quality == quality) {
            ++m_served;
            return c.image.get();
        }
    }
    ++m_onDemand;
    return m_cellLoader(file, cell, quality);
}

void ViewerCache::keepCellsOf(const QStringList &files)
{
    m_cells.remove_if([&](const Cell &c) { return !files.contains(c.file); });
}

void ViewerCache::clear()
{
    m_entries.clear();
    m_cells.clear();
    m_wanted.clear();
}

QStringList ViewerCache::heldFiles() const
{
    QStringList files;
    for (const Entry &e : m_entries)
        files << e.file;
    return files;
}

qint64 ViewerCache::heldBytes() const
{
    qint64 bytes = 0;
    for (const Entry &e : m_entries)
        if (ready(e.image))
            bytes += e.image.get().bytes();
    return bytes;
}

bool ViewerCache::busy() const
{
    return m_pool.activeThreadCount() > 0;
}

void ViewerCache::waitIdle()
{
    m_pool.waitForDone();
}

} // namespace v7
