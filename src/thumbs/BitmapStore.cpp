#include "thumbs/BitmapStore.h"

#include "app/Settings.h"
#include "imaging/Draw.h"
#include "imaging/ImageLoad.h"
#include "thumbs/CacheUpkeep.h"
#include "thumbs/ThumbMain.h"

#include <QPainter>
#include <algorithm>
#include <turbojpeg.h>

namespace v7
{

namespace
{
    // "#,##0.000"
    QString formatThousandths(std::int64_t milli)
    {
        const bool negative = milli < 0;
        std::uint64_t m = negative ? std::uint64_t(-milli) : std::uint64_t(milli);
        QString whole = QString::number(m / 1000);
        for (int at = int(whole.size()) - 3; at > 0; at -= 3)
            whole.insert(at, QLatin1Char(','));
        return (negative ? QStringLiteral("-") : QString()) + whole + QLatin1Char('.')
            + QStringLiteral("%1").arg(m % 1000, 3, 10, QLatin1Char('0'));
    }

    // RGB rows padded to 4 bytes.
    std::size_t rowBytes(int w)
    {
        return (std::size_t(std::max(0, w)) * 3 + 3) & ~std::size_t(3);
    }
} // namespace

ThumbDecoder::ThumbDecoder()
    : m_handle(tjInitDecompress())
    , m_pixels(rowBytes(settings().ThumbW) * std::size_t(std::max(0, settings().ThumbH)))
{
}

ThumbDecoder::~ThumbDecoder()
{
    if (m_handle)
        tjDestroy(static_cast<tjhandle>(m_handle));
}

const QImage &ThumbDecoder::decode(const char *data, std::size_t size)
{
    m_other = QImage();
    if (!data || size == 0)
        return m_other;
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    int w = 0, h = 0, sub = 0, space = 0;
    // Our own thumbnails are small baseline JPEG files without orientation: decoded
    // here straight into the reused buffer. Anything else takes the general path.
    if (bytes[0] == 0xFF && m_handle && size <= std::size_t(65535)
        && tjDecompressHeader3(
               static_cast<tjhandle>(m_handle), bytes, static_cast<unsigned long>(size), &w, &h, &sub, &space)
            == 0
        && space != TJCS_CMYK && space != TJCS_YCCK && w > 0 && h > 0 && w <= 4096 && h <= 4096) {
        const std::size_t pitch = rowBytes(w);
        if (m_pixels.size() < pitch * std::size_t(h)) {
            m_buffer = QImage();
            m_pixels.resize(pitch * std::size_t(h));
        }
        m_buffer = QImage(m_pixels.data(), w, h, qsizetype(pitch), QImage::Format_RGB888);
        if (tjDecompress2(static_cast<tjhandle>(m_handle),
                bytes,
                static_cast<unsigned long>(size),
                m_pixels.data(),
                w,
                int(pitch),
                h,
                TJPF_RGB,
                0)
            == 0)
            return m_buffer;
    }
    m_other = DecodeThumbStream(data, size);
    return m_other;
}

BitmapStore::BitmapStore(ThumbDisplayHost *host, const GridValues &grid, const QString &folder, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_grid(grid)
    , m_folder(folder)
{
    const Settings &cfg = settings();
    m_cellW = cfg.ThumbW + 2 * cfg.MarginW;
    m_cellH = cfg.ThumbH + 2 * cfg.MarginH;
    m_expected = grid.expected;
    m_start.start();
    m_progressWidth = m_host ? m_host->ProgressWidth() : 0;
}

BitmapStore::~BitmapStore()
{
    m_folderStorage.release();
    m_root.release();
}

std::int64_t BitmapStore::elapsedMs() const
{
    return m_clock ? m_clock() - m_clockStart : m_start.elapsed();
}

QString BitmapStore::completionText(int processed, std::int64_t elapsedMs)
{
    return QString::number(processed) + QStringLiteral(" Thumbnails processed in ") + formatThousandths(elapsedMs)
        + QStringLiteral(" sec");
}

void BitmapStore::setPane(int currentIndex, int viewTop, int viewBottom)
{
    m_currentIndex.store(currentIndex);
    m_viewTop.store(viewTop);
    m_viewBottom.store(viewBottom);
}

void BitmapStore::setFinished()
{
    if (m_finished.exchange(true))
        return;
    // A cache that had to be set aside during the job is said once, here.
    showCacheNotice();
    emit displayFinished();
}

void BitmapStore::showCacheNotice()
{
    const QString notice = takeCacheNotice();
    if (!notice.isEmpty() && m_host)
        m_host->SetStatusPanelText(5, notice);
}

void BitmapStore::complete()
{
    if (m_completed)
        return;
    m_completed = true;
    const std::int64_t ms = elapsedMs();
    if (m_host) {
        if (!m_host->GridUpToDate())
            m_host->RequestRepaint();
        m_host->PostDisplay();
        m_host->SetStatusPanelText(5, completionText(m_processed, ms));
    }
    setFinished();
}

bool BitmapStore::AcceptThumb(int index, const char *data, int count, bool refresh)
{
    if (m_cancel.load()) {
        m_processed = 0;
        m_expected = 0;
        return false;
    }
    ++m_processed;
    if (count > 0 && data) {
        m_slotMap.insert(index, int(m_slots.size()));
        m_slots.emplace_back(index, QByteArray(data, count));
        m_broken.remove(index);
    } else {
        m_broken.insert(index);
    }
    // Each cell is shown as soon as it is there: the refresh below comes once, and a
    // visible cell must not wait for the end of the display.
    if (m_host)
        m_host->ThumbArrived(index);
    // The refresh marks a point of the job (the end of the visible range), whether or
    // not this file gave a thumbnail: the cells made before it are shown now.
    if (refresh && !m_painted) {
        if (m_host)
            m_host->RequestRepaint();
        m_painted = true;
    }
    if (m_processed == m_expected)
        complete();
    return true;
}

bool BitmapStore::ThumbsDisplay(int index, const QByteArray &bytes)
{
    if (m_cancel.load()) {
        m_processed = 0;
        m_expected = 0;
        return false;
    }
    if (m_host)
        m_host->SetStatusPanelText(5, QStringLiteral("Processing thumbnail... "));
    const int columns = std::max(1, m_grid.columns);
    const int column = m_processed % columns, row = m_processed / columns;
    ++m_processed;
    if (!bytes.isEmpty()) {
        m_slotMap.insert(index, int(m_slots.size()));
        m_slots.emplace_back(index, bytes);
        m_broken.remove(index);
        if (m_host)
            m_host->ShowDeliveredThumb(index, column, row);
    } else {
        m_broken.insert(index);
        if (m_host)
            m_host->ThumbArrived(index);
    }
    if (m_processed == m_expected)
        complete();
    return true;
}

QByteArray BitmapStore::thumbBytes(int index) const
{
    const auto it = m_slotMap.constFind(index);
    return it == m_slotMap.constEnd() ? QByteArray() : m_slots[std::size_t(*it)].second;
}

static void paintCellBackground(QPainter &painter, QPoint origin, std::uint32_t stripOffset)
{
    const Settings &cfg = settings();
    painter.fillRect(QRect(origin, QSize(cfg.ThumbW, cfg.ThumbH)), colorFromBgr(cfg.ThumbColor));
    painter.fillRect(
        QRect(origin + QPoint(0, cfg.ThumbH), QSize(cfg.ThumbW, 30)), colorFromBgr(cfg.ThumbColorFrame + stripOffset));
}

void DrawBrokenMark(QPainter &painter, QPoint origin)
{
    // A torn page with a red cross, centred in the thumbnail area.
    const Settings &cfg = settings();
    const int side = std::max(8, std::min({ 32, cfg.ThumbW - 4, cfg.ThumbH - 4 }));
    const QRect page(origin.x() + (cfg.ThumbW - side) / 2, origin.y() + (cfg.ThumbH - side) / 2, side, side);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QColor(96, 96, 96));
    painter.setBrush(QColor(255, 255, 255));
    painter.drawRect(page.adjusted(0, 0, -1, -1));
    painter.setPen(QPen(BrokenMarkColor, 3));
    const QRect cross = page.adjusted(side / 4, side / 4, -side / 4, -side / 4);
    painter.drawLine(cross.topLeft(), cross.bottomRight());
    painter.drawLine(cross.topRight(), cross.bottomLeft());
    painter.restore();
}

void BitmapStore::DrawStoredThumb(QPainter &painter, int index, QPoint origin)
{
    paintCellBackground(painter, origin, m_host ? m_host->StripColorOffset() : 0);
    const auto it = m_slotMap.constFind(index);
    if (it == m_slotMap.constEnd()) {
        if (m_broken.contains(index))
            DrawBrokenMark(painter, origin);
        return;
    }
    // Decoded into the store's reused buffer: painting a screenful allocates nothing.
    const QByteArray &bytes = m_slots[std::size_t(*it)].second;
    DrawThumbImage(m_decoder.decode(bytes.constData(), std::size_t(bytes.size())), painter, origin);
}

void BitmapStore::DrawCachedThumb(QPainter &painter, int index, QPoint origin)
{
    paintCellBackground(painter, origin, m_host ? m_host->StripColorOffset() : 0);
    if (!m_folderStorage.isOpen() && !OpenDisplayCache())
        return;
    if (!m_host)
        return;
    const QString name = m_host->FileNameAt(index);
    if (!m_index.ownsStream(name)) // not cached, or a stream that is another name's
        return;
    const IndexEntry *e = m_index.find(name);
    const auto stamp = m_stamps.constFind(e->StreamId);
    FileStamp now;
    if (m_stampsUnreadable)
        return; // no stamp to tell its picture is current
    if (stamp != m_stamps.constEnd() && (!fileStamp(joinPath(m_folder, name), &now) || !(now == *stamp)))
        return; // the file changed (or went) since its thumbnail was made

    cfb::Stream s = m_folderStorage.openStream(QString::number(e->StreamId), OLEStorage::ModeRead);
    std::uint64_t size = 0, got = 0;
    // A stream longer than a thumbnail can be is not read at all.
    if (!s.isOpen() || s.size(&size) != cfb::Status::Ok || size > 65535)
        return;
    m_readBuffer.resize(qsizetype(size)); // within the capacity of earlier reads: no allocation
    if (s.read(m_readBuffer.data(), size, &got) == cfb::Status::Ok && got == size)
        DrawThumbImage(m_decoder.decode(m_readBuffer.constData(), std::size_t(size)), painter, origin);
}

void BitmapStore::ForgetThumb(int index)
{
    const auto it = m_slotMap.constFind(index);
    if (it == m_slotMap.constEnd())
        return;
    m_slots[std::size_t(*it)].second = QByteArray();
    m_slotMap.erase(it);
}

bool BitmapStore::OpenDisplayCache()
{
    m_folderStorage.release();
    m_root.release();
    m_index.clear();
    m_stamps.clear();
    m_stampsUnreadable = false;
    const QString path = OLEStorage::cacheFilePath(OLEStorage::CacheFileName);
    m_root = cfb::Storage::open(path, OLEStorage::ModeReadTransacted);
    if (!m_root.isOpen())
        return false;
    m_folderStorage = m_root.openStorage(OLEStorage::FolderStorageName(m_folder), OLEStorage::ModeRead);
    if (!m_folderStorage.isOpen()) {
        m_root.release();
        return false;
    }
    cfb::Stream s = m_folderStorage.openStream(OLEStorage::IndexStreamName, OLEStorage::ModeRead);
    QByteArray bytes;
    if (s.isOpen() && s.readAll(&bytes) == cfb::Status::Ok)
        parseIndex(bytes, &m_index);
    m_stamps = loadStamps(m_folderStorage, &m_stampsUnreadable);
    return true;
}

void BitmapStore::drawProgress(int length, int height, const QString &counterText)
{
    if (m_host)
        m_host->DrawProgress(length, height, counterText);
}

} // namespace v7
