// Format detection, limits, depth conversion, colour reduction, file access and
// the named readers and writers of Codecs.h over the per-format codecs.
#include "imaging/Codecs.h"

#include "imaging/CodecsInternal.h"
#include "imaging/ColourManage.h"
#include "platform/Scanner.h"

#include <QFile>
#include <QGuiApplication>
#include <QSaveFile>
#include <QScreen>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libimagequant.h>
#include <memory>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace v7
{

namespace
{
    std::atomic<int> g_screenDepth { 0 };
    std::atomic<std::int64_t> g_maxPixels { 100'000'000 };
} // namespace

int screenDepth()
{
    int d = g_screenDepth.load(std::memory_order_relaxed);
    if (d > 0)
        return d;
    // The screens belong to the GUI thread, which changes them as monitors come and
    // go: only that thread asks them (the main window does before it starts any
    // decode thread). Another thread asking first gets 24 and keeps nothing.
    if (qGuiApp && QThread::currentThread() != qGuiApp->thread())
        return 24;
    d = 24;
    if (qGuiApp && QGuiApplication::primaryScreen())
        d = QGuiApplication::primaryScreen()->depth();
    if (d <= 0)
        d = 24;
    int expected = 0;
    g_screenDepth.compare_exchange_strong(expected, d);
    return g_screenDepth.load();
}

void InitCodecs()
{
    screenDepth();
    codec::initTiff();
}

void setScreenDepth(int bitsPerPixel)
{
    g_screenDepth.store(bitsPerPixel > 0 ? bitsPerPixel : 24);
}

std::int64_t maxDecodedPixels()
{
    return g_maxPixels.load(std::memory_order_relaxed);
}
void setMaxDecodedPixels(std::int64_t pixels)
{
    g_maxPixels.store(std::max<std::int64_t>(pixels, 1));
}

namespace codec
{

    Kind sniff(Bytes b)
    {
        const unsigned char *p = b.data;
        const std::size_t n = b.size;
        if (n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF)
            return Kind::Jpeg;
        if (n >= 8 && std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) == 0)
            return Kind::Png;
        if (n >= 6 && (std::memcmp(p, "GIF87a", 6) == 0 || std::memcmp(p, "GIF89a", 6) == 0))
            return Kind::Gif;
        if (n >= 4 && (std::memcmp(p, "II*\0", 4) == 0 || std::memcmp(p, "MM\0*", 4) == 0))
            return Kind::Tiff;
        if (n >= 12 && std::memcmp(p, "RIFF", 4) == 0 && std::memcmp(p + 8, "WEBP", 4) == 0)
            return Kind::Webp;
        if (isHeif(b))
            return Kind::Heif;
        if (isJxl(b))
            return Kind::Jxl;
        if (n >= 26 && p[0] == 'B' && p[1] == 'M')
            return Kind::Bmp;
        if (n >= 0x807 && std::memcmp(p + 0x800, "PCD_IPI", 7) == 0)
            return Kind::Pcd;
        if (n >= 128 && p[0] == 0x0A && (p[1] == 0 || (p[1] >= 2 && p[1] <= 5)) && p[2] <= 1
            && (p[3] == 1 || p[3] == 2 || p[3] == 4 || p[3] == 8))
            return Kind::Pcx;
        return Kind::Unknown;
    }

    bool sizeAllowed(std::int64_t width, std::int64_t height)
    {
        constexpr std::int64_t maxSide = 65535 * 4;
        return width > 0 && height > 0 && width <= maxSide && height <= maxSide && width * height <= maxDecodedPixels();
    }

    std::vector<unsigned char> &threadFileBuffer()
    {
        thread_local std::vector<unsigned char> buf;
        return buf;
    }

    bool readFileBytes(const QString &name, std::vector<unsigned char> &buf, std::size_t maxBytes)
    {
        buf.clear();
        const QByteArray path = QFile::encodeName(name);
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        struct stat st {
        };
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || std::uint64_t(st.st_size) > MaxFileBytes) {
            ::close(fd);
            return false;
        }
        const std::size_t want = std::min<std::size_t>(std::size_t(st.st_size), maxBytes);
        // A buffer grown by one huge file is given back rather than kept for small ones.
        if (buf.capacity() > (64u << 20) && want < (buf.capacity() >> 2))
            std::vector<unsigned char>().swap(buf);
        try {
            buf.resize(want);
        } catch (const std::bad_alloc &) {
            ::close(fd);
            return false;
        }
        auto readUpTo = [&](std::size_t done, std::size_t end) {
            while (done < end) {
                const ssize_t r = ::read(fd, buf.data() + done, end - done);
                if (r < 0 && errno == EINTR)
                    continue;
                if (r <= 0)
                    break;
                done += std::size_t(r);
            }
            return done;
        };
        // Look at the start first: a large file that is no image is not read whole.
        std::size_t done = readUpTo(0, std::min<std::size_t>(want, 4096));
        if (done < want && sniff(Bytes { buf.data(), done }) != Kind::Unknown)
            done = readUpTo(done, want);
        ::close(fd);
        if (done < want && sniff(Bytes { buf.data(), done }) == Kind::Unknown) {
            buf.clear();
            return false;
        }
        buf.resize(done); // a file that shrank while we read it gives what was there
        return true;
    }

    bool writeFileBytes(const QString &name, const QByteArray &bytes)
    {
        if (bytes.isEmpty())
            return false;
        QSaveFile f(name);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        if (f.write(bytes) != bytes.size()) {
            f.cancelWriting();
            return false;
        }
        return f.commit();
    }

    namespace
    {

        // Buffers of decoded images from 8 MB up. A freed one is kept for the next
        // image of a similar size (the common case: one photo after another), so its
        // pages are already mapped; huge pages make the first touch cheap too.
        constexpr std::size_t PooledFrom = 8u << 20;
        constexpr std::size_t HugePage = 2u << 20;
        constexpr std::size_t PoolKeep = 2;
        constexpr std::size_t PoolKeepAtMost = 160u << 20; // a 40-megapixel device bitmap

        struct BufferPool {
            std::mutex lock;
            std::vector<std::pair<void *, std::size_t>> free;
        };
        BufferPool &pool()
        {
            // Never destroyed: images freed during exit may still give buffers back.
            static BufferPool *p = new BufferPool;
            return *p;
        }

        void *takeBuffer(std::size_t bytes, std::size_t &capacity)
        {
            {
                BufferPool &p = pool();
                std::lock_guard guard(p.lock);
                for (auto it = p.free.begin(); it != p.free.end(); ++it) {
                    // Reuse only a buffer that is not much larger than needed.
                    if (it->second >= bytes && it->second <= bytes + bytes / 2 + HugePage) {
                        void *ptr = it->first;
                        capacity = it->second;
                        p.free.erase(it);
                        return ptr;
                    }
                }
            }
            capacity = (bytes + HugePage - 1) / HugePage * HugePage;
            void *ptr = nullptr;
            if (posix_memalign(&ptr, HugePage, capacity) != 0)
                return nullptr;
            ::madvise(ptr, capacity, MADV_HUGEPAGE);
            return ptr;
        }

        struct PooledBuffer {
            void *ptr;
            std::size_t capacity;
        };

        void giveBack(void *info)
        {
            const std::unique_ptr<PooledBuffer> b(static_cast<PooledBuffer *>(info));
            void *toFree = b->ptr;
            // Very large buffers are not kept: the pool must not hold memory hostage.
            if (b->capacity <= PoolKeepAtMost) {
                BufferPool &p = pool();
                std::lock_guard guard(p.lock);
                // The newest buffer is the likeliest to fit the next image: the oldest goes.
                toFree = nullptr;
                if (p.free.size() >= PoolKeep) {
                    toFree = p.free.front().first;
                    p.free.erase(p.free.begin());
                }
                p.free.emplace_back(b->ptr, b->capacity);
            }
            std::free(toFree);
        }

    } // namespace

    QList<QRgb> grayTable()
    {
        QList<QRgb> table(256);
        for (int i = 0; i < 256; ++i)
            table[i] = qRgb(i, i, i);
        return table;
    }

    QImage newImage(int width, int height, QImage::Format format)
    {
        if (width <= 0 || height <= 0)
            return {};
        const int depth = QImage::toPixelFormat(format).bitsPerPixel();
        const std::size_t bpl = (std::size_t(width) * std::size_t(depth) + 31) / 32 * 4;
        const std::size_t bytes = bpl * std::size_t(height);
        if (bytes < PooledFrom || format == QImage::Format_Indexed8 || bpl > 0x7FFFFFFF)
            return QImage(width, height, format);
        std::size_t capacity = 0;
        void *ptr = takeBuffer(bytes, capacity);
        if (!ptr)
            return {};
        auto *info = new PooledBuffer { ptr, capacity };
        return QImage(static_cast<uchar *>(ptr), width, height, qsizetype(bpl), format, giveBack, info);
    }

    void coverIndices(QImage &image)
    {
        if (image.format() != QImage::Format_Indexed8)
            return;
        int maxIndex = -1;
        const int w = image.width();
        for (int y = 0; y < image.height(); ++y) {
            const uchar *row = image.constScanLine(y);
            for (int x = 0; x < w; ++x)
                maxIndex = std::max<int>(maxIndex, row[x]);
            if (maxIndex == 255)
                break;
        }
        QList<QRgb> table = image.colorTable();
        if (maxIndex >= table.size()) {
            while (table.size() <= maxIndex)
                table.append(qRgb(0, 0, 0));
            image.setColorTable(table);
        }
    }

    QImage toDepth(QImage image, int depth)
    {
        if (image.isNull())
            return image;
        if (depth <= 8) {
            if (image.format() == QImage::Format_Indexed8)
                return image;
            return reduceTo8Bits(image);
        }
        if (image.format() == QImage::Format_RGB888)
            return image;
        if (image.hasAlphaChannel())
            return image.format() == QImage::Format_ARGB32 ? image : image.convertToFormat(QImage::Format_ARGB32);
        return image.convertToFormat(QImage::Format_RGB888);
    }

} // namespace codec

using namespace codec;

// ---- colour reduction ----

namespace
{

    // Collects up to 256 distinct colours (with their alpha when alpha is set);
    // false when there are more.
    bool exactPalette(const QImage &rgb32, bool alpha, QList<QRgb> &palette, QImage &out)
    {
        // Open addressing over 1024 slotCount: at most 256 entries, so probes stay short.
        constexpr int slotCount = 1024;
        QRgb keys[slotCount];
        int index[slotCount];
        std::fill(index, index + slotCount, -1);
        palette.clear();
        const int w = rgb32.width(), h = rgb32.height();
        out = QImage(w, h, QImage::Format_Indexed8);
        if (out.isNull())
            return false;
        for (int y = 0; y < h; ++y) {
            const QRgb *src = reinterpret_cast<const QRgb *>(rgb32.constScanLine(y));
            uchar *dst = out.scanLine(y);
            for (int x = 0; x < w; ++x) {
                const QRgb c = alpha ? src[x] : src[x] | 0xFF000000u;
                std::uint32_t s = (c * 2654435761u) >> 22;
                while (index[s] >= 0 && keys[s] != c)
                    s = (s + 1) & (slotCount - 1);
                if (index[s] < 0) {
                    if (palette.size() == 256)
                        return false;
                    keys[s] = c;
                    index[s] = int(palette.size());
                    palette.append(c);
                }
                dst[x] = uchar(index[s]);
            }
        }
        out.setColorTable(palette);
        return true;
    }

} // namespace

QImage reduceTo8Bits(const QImage &image)
{
    if (image.isNull())
        return {};
    if (image.format() == QImage::Format_Indexed8)
        return image;
    if (image.format() == QImage::Format_Grayscale8) {
        QImage out = image.convertToFormat(QImage::Format_Indexed8);
        return out;
    }
    const bool alpha = image.hasAlphaChannel();
    const QImage rgb32 = image.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    QList<QRgb> palette;
    QImage out;
    if (exactPalette(rgb32, alpha, palette, out))
        return out;

    const QImage rgba = image.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGBX8888);
    if (rgba.isNull())
        return {};
    const int w = rgba.width(), h = rgba.height();
    out = QImage(w, h, QImage::Format_Indexed8);
    if (out.isNull())
        return {};
    std::vector<void *> rows(static_cast<std::size_t>(h));
    std::vector<unsigned char *> outRows(static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y) {
        rows[std::size_t(y)] = const_cast<uchar *>(rgba.constScanLine(y));
        outRows[std::size_t(y)] = out.scanLine(y);
    }
    liq_attr *attr = liq_attr_create();
    if (!attr)
        return {};
    liq_set_max_colors(attr, 256);
    liq_set_speed(attr, 8); // a photo loses nothing visible; speed matters for batch saves
    liq_image *img = liq_image_create_rgba_rows(attr, rows.data(), w, h, 0);
    liq_result *res = nullptr;
    QImage result;
    if (img && liq_image_quantize(img, attr, &res) == LIQ_OK) {
        liq_set_dithering_level(res, 1.0f);
        if (liq_write_remapped_image_rows(res, img, outRows.data()) == LIQ_OK) {
            const liq_palette *pal = liq_get_palette(res);
            QList<QRgb> table;
            for (unsigned i = 0; i < pal->count; ++i)
                table.append(qRgba(pal->entries[i].r, pal->entries[i].g, pal->entries[i].b, pal->entries[i].a));
            out.setColorTable(table);
            coverIndices(out);
            result = out;
        }
        liq_result_destroy(res);
    }
    if (img)
        liq_image_destroy(img);
    liq_attr_destroy(attr);
    return result;
}

QImage flattenOnto(const QImage &image, QRgb background)
{
    if (image.isNull() || !image.hasAlphaChannel())
        return image;
    const int br = qRed(background), bg = qGreen(background), bb = qBlue(background);
    const auto over = [](int c, int a, int b) { return (c * a + b * (255 - a) + 127) / 255; };
    if (image.format() == QImage::Format_Indexed8) {
        QImage out = image;
        QList<QRgb> table = out.colorTable();
        for (QRgb &c : table) {
            const int a = qAlpha(c);
            c = qRgb(over(qRed(c), a, br), over(qGreen(c), a, bg), over(qBlue(c), a, bb));
        }
        out.setColorTable(table);
        return out;
    }
    const QImage src = image.format() == QImage::Format_ARGB32 ? image : image.convertToFormat(QImage::Format_ARGB32);
    QImage out = newImage(src.width(), src.height(), QImage::Format_RGB888);
    if (src.isNull() || out.isNull())
        return {};
    for (int y = 0; y < src.height(); ++y) {
        const QRgb *in = reinterpret_cast<const QRgb *>(src.constScanLine(y));
        uchar *d = out.scanLine(y);
        for (int x = 0; x < src.width(); ++x, d += 3) {
            const QRgb c = in[x];
            const int a = qAlpha(c);
            d[0] = uchar(over(qRed(c), a, br));
            d[1] = uchar(over(qGreen(c), a, bg));
            d[2] = uchar(over(qBlue(c), a, bb));
        }
    }
    return out;
}

// ---- information ----

int meminfo(const char *data, std::size_t size, CodecFileInfo &info)
{
    info = CodecFileInfo {};
    const Bytes b { reinterpret_cast<const unsigned char *>(data), size };
    bool ok = false;
    switch (sniff(b)) {
    case Kind::Jpeg:
        ok = probeJpeg(b, info);
        break;
    case Kind::Bmp:
        ok = probeBmp(b, info);
        break;
    case Kind::Gif:
        ok = probeGif(b, info);
        break;
    case Kind::Pcx:
        ok = probePcx(b, info);
        break;
    case Kind::Png:
        ok = probePng(b, info);
        break;
    case Kind::Tiff:
        ok = probeTiff(b, info);
        break;
    case Kind::Pcd:
        ok = probePcd(b, info);
        break;
    case Kind::Webp:
        ok = probeWebp(b, info);
        break;
    case Kind::Heif:
        ok = probeHeif(b, info);
        break;
    case Kind::Jxl:
        ok = probeJxl(b, info);
        break;
    case Kind::Unknown:
        break;
    }
    if (!ok)
        info = CodecFileInfo {};
    return ok ? 1 : 0;
}

int fileinfo(const QString &name, CodecFileInfo &info)
{
    info = CodecFileInfo {};
    // Headers sit near the start; a TIFF may keep its directory at the end, and a
    // JPEG may carry large segments before its frame header, so those read all.
    constexpr std::size_t prefix = 1u << 20;
    auto &buf = threadFileBuffer();
    if (!readFileBytes(name, buf, prefix))
        return 0;
    if (meminfo(reinterpret_cast<const char *>(buf.data()), buf.size(), info) > 0)
        return 1;
    if (buf.size() < prefix)
        return 0;
    if (!readFileBytes(name, buf))
        return 0;
    return meminfo(reinterpret_cast<const char *>(buf.data()), buf.size(), info);
}

// ---- named readers ----

namespace
{

    template <typename Decode> QImage readDib(const QString &name, int depth, Decode decode)
    {
        auto &buf = threadFileBuffer();
        if (!readFileBytes(name, buf))
            return {};
        QImage image = decode(Bytes { buf.data(), buf.size() });
        return toDepth(std::move(image), depth);
    }

} // namespace

// The file readers show pictures: a colour profile is applied to the decoded (and
// so already reduced) pixels.
QImage rdjpgfiledib(const QString &name, int depth, int reductionFactor)
{
    auto &buf = threadFileBuffer();
    if (!readFileBytes(name, buf))
        return {};
    return convertToSrgb(decodeJpeg(Bytes { buf.data(), buf.size() }, depth, reductionFactor),
        embeddedIccProfile(buf.data(), buf.size()));
}
QImage readjpgfile(const QString &name, int depth, int reductionFactor)
{
    auto &buf = threadFileBuffer();
    if (!readFileBytes(name, buf))
        return {};
    return DibtoDdb(
        convertToSrgb(decodeJpeg(Bytes { buf.data(), buf.size() }, depth, reductionFactor, screenDepth() > 8),
            embeddedIccProfile(buf.data(), buf.size())));
}
QImage rdbmpfiledib(const QString &name, int depth)
{
    return readDib(name, depth, decodeBmp);
}
QImage readbmpfile(const QString &name, int depth)
{
    return DibtoDdb(rdbmpfiledib(name, depth));
}
QImage rdgiffiledib(const QString &name, int depth)
{
    return readDib(name, depth, decodeGif);
}
QImage readgiffile(const QString &name, int depth)
{
    return DibtoDdb(rdgiffiledib(name, depth));
}
QImage rdpcxfiledib(const QString &name, int depth)
{
    return readDib(name, depth, decodePcx);
}
QImage readpcxfile(const QString &name, int depth)
{
    return DibtoDdb(rdpcxfiledib(name, depth));
}
QImage rdpngfiledib(const QString &name, int depth)
{
    return readDib(name, depth, decodePng);
}
QImage readpngfile(const QString &name, int depth)
{
    return DibtoDdb(rdpngfiledib(name, depth));
}
QImage readpcdfiledib(const QString &name, int depth, int resolution)
{
    return readDib(name, depth, [resolution](Bytes b) { return decodePcd(b, resolution); });
}
QImage readpcdfile(const QString &name, int depth, int resolution)
{
    return DibtoDdb(readpcdfiledib(name, depth, resolution));
}
QImage readtiffile(const QString &name, int depth, int percent)
{
    QImage image = readDib(name, 24, decodeTiff);
    if (image.isNull())
        return {};
    percent = std::clamp(percent, 1, 100);
    if (percent < 100) {
        const int w = std::max(1, int(std::int64_t(image.width()) * percent / 100));
        const int h = std::max(1, int(std::int64_t(image.height()) * percent / 100));
        image = ScaleDib(image, w, h);
    }
    return DibtoDdb(toDepth(std::move(image), depth));
}
QImage rdjpgstreamdib(const char *data, std::size_t size, int depth, int reductionFactor)
{
    if (!data)
        return {};
    return decodeJpeg(Bytes { reinterpret_cast<const unsigned char *>(data), size }, depth, reductionFactor);
}
QImage rdbmpstreamdib(const char *data, std::size_t size, int depth)
{
    if (!data)
        return {};
    return toDepth(decodeBmp(Bytes { reinterpret_cast<const unsigned char *>(data), size }), depth);
}

// ---- named writers ----

namespace
{

    // The files written hold no transparency: transparent parts become white.
    constexpr QRgb WriteBackground = 0xFFFFFFFFu;

    template <typename Encode> bool writeWith(const QString &name, const QImage &image, Encode encode)
    {
        if (image.isNull())
            return false;
        QByteArray bytes;
        if (!encode(flattenOnto(image, WriteBackground), bytes))
            return false;
        return writeFileBytes(name, bytes);
    }

} // namespace

bool wrjpgfiledib(const QString &name, int quality, const QImage &dib)
{
    return writeWith(name, dib, [quality](const QImage &i, QByteArray &o) { return encodeJpeg(i, quality, o); });
}
bool writejpgfile(const QString &name, int quality, const QImage &ddb)
{
    return wrjpgfiledib(name, quality, ddb);
}
bool wrbmpfiledib(const QString &name, int bits, const QImage &dib)
{
    return writeWith(name, dib, [bits](const QImage &i, QByteArray &o) { return encodeBmp(i, bits, o); });
}
bool writebmpfile(const QString &name, int bits, const QImage &ddb)
{
    return wrbmpfiledib(name, bits, ddb);
}
bool wrgiffiledib(const QString &name, int /*bits: GIF is always 8*/, const QImage &dib)
{
    return writeWith(name, dib, [](const QImage &i, QByteArray &o) { return encodeGif(i, o); });
}
bool writegiffile(const QString &name, int bits, const QImage &ddb)
{
    return wrgiffiledib(name, bits, ddb);
}
bool wrpcxfiledib(const QString &name, int bits, const QImage &dib)
{
    return writeWith(name, dib, [bits](const QImage &i, QByteArray &o) { return encodePcx(i, bits, o); });
}
bool writepcxfile(const QString &name, int bits, const QImage &ddb)
{
    return wrpcxfiledib(name, bits, ddb);
}
bool wrpngfiledib(const QString &name, int bits, const QImage &dib)
{
    return writeWith(name, dib, [bits](const QImage &i, QByteArray &o) { return encodePng(i, bits, o); });
}
bool writepngfile(const QString &name, int bits, const QImage &ddb)
{
    return wrpngfiledib(name, bits, ddb);
}

bool wrwebpfiledib(const QString &name, int quality, bool lossless, const QImage &dib)
{
    return writeWith(
        name, dib, [quality, lossless](const QImage &i, QByteArray &o) { return encodeWebp(i, quality, lossless, o); });
}
bool wraviffiledib(const QString &name, int quality, const QImage &dib)
{
    return writeWith(name, dib, [quality](const QImage &i, QByteArray &o) { return encodeAvif(i, quality, o); });
}

bool wrjpgstreamdib(const QImage &dib, int quality, QByteArray &out)
{
    out.clear();
    if (dib.isNull() || !encodeJpeg(flattenOnto(dib, WriteBackground), quality, out)) {
        out.clear();
        return false;
    }
    return true;
}
bool wrbmpstreamdib(const QImage &dib, QByteArray &out)
{
    out.clear();
    if (dib.isNull() || !encodeBmp(flattenOnto(dib, WriteBackground), 24, out)) {
        out.clear();
        return false;
    }
    return true;
}

// ---- bitmap kinds ----

QImage DdbtoDib(const QImage &ddb, int depth)
{
    return toDepth(ddb, depth);
}

QImage DibtoDdb(const QImage &dib)
{
    if (dib.isNull())
        return {};
    if (screenDepth() <= 8)
        return toDepth(dib, 8);
    const QImage::Format device = dib.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32;
    if (dib.format() == device)
        return dib;
    return dib.convertToFormat(device);
}

// ---- scanning: the imaging API's scan calls, over SANE ----

namespace
{
    std::mutex g_sourceLock;
    QString g_source; // the device selectsource() chose; empty: the first SANE reports
} // namespace

bool twainavailable()
{
    return !ScanDevices().empty();
}

// Without a window there is nobody to ask: the first device SANE reports is chosen.
// The main window's "Scan..." offers the list instead.
bool selectsource()
{
    const std::vector<ScanDevice> devices = ScanDevices();
    if (devices.empty())
        return false;
    const std::lock_guard<std::mutex> hold(g_sourceLock);
    g_source = devices.front().name;
    return true;
}

QImage aquireimage()
{
    ScanRequest request;
    {
        const std::lock_guard<std::mutex> hold(g_sourceLock);
        request.device = g_source;
    }
    return ScanImage(request).image;
}

} // namespace v7
