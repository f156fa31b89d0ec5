// Colour conversion to sRGB with lcms2, and the profiles that files carry.
#include "imaging/ColourManage.h"

#include "imaging/CodecsInternal.h"

#include <QList>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <lcms2.h>
#include <list>
#include <map>
#include <memory>
#include <vector>
#include <zlib.h>

namespace v7
{

using codec::be16;
using codec::be32;
using codec::le16;
using codec::le32;

namespace
{

    constexpr std::size_t MaxProfileBytes = 16u << 20;

    struct ProfileClose {
        void operator()(void *p) const { cmsCloseProfile(p); }
    };
    using Profile = std::unique_ptr<void, ProfileClose>;

    QByteArray saveProfile(cmsHPROFILE p)
    {
        cmsUInt32Number size = 0;
        if (!p || !cmsSaveProfileToMem(p, nullptr, &size) || size == 0)
            return {};
        QByteArray out(qsizetype(size), '\0');
        if (!cmsSaveProfileToMem(p, out.data(), &size))
            return {};
        return out;
    }

    // ---- profiles in files ----

    QByteArray jpegProfile(const unsigned char *p, std::size_t n)
    {
        // APP2 "ICC_PROFILE\0", sequence number, count, data; chunks join in order.
        std::map<int, QByteArray> chunks;
        int count = 0;
        std::size_t at = 2;
        while (at + 4 <= n) {
            if (p[at] != 0xFF)
                break;
            while (at < n && p[at] == 0xFF)
                ++at;
            if (at + 3 > n)
                break;
            const unsigned marker = p[at++];
            if (marker == 0xD9 || marker == 0xDA)
                break; // profiles come before the image data
            if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))
                continue;
            const std::size_t len = be16(p + at);
            if (len < 2 || at + len > n)
                break;
            if (marker == 0xE2 && len >= 2 + 14 && std::memcmp(p + at + 2, "ICC_PROFILE\0", 12) == 0) {
                const int seq = p[at + 14];
                const int total = p[at + 15];
                if (seq >= 1 && total >= seq && (count == 0 || count == total) && !chunks.count(seq)) {
                    count = total;
                    chunks[seq] = QByteArray(reinterpret_cast<const char *>(p + at + 16), qsizetype(len - 16));
                }
            }
            at += len;
        }
        if (count == 0 || int(chunks.size()) != count)
            return {};
        QByteArray out;
        for (const auto &c : chunks) {
            if (std::size_t(out.size()) + std::size_t(c.second.size()) > MaxProfileBytes)
                return {};
            out += c.second;
        }
        return out;
    }

    QByteArray pngProfile(const unsigned char *p, std::size_t n)
    {
        std::size_t at = 8;
        while (at + 12 <= n) {
            const std::uint32_t len = be32(p + at);
            const unsigned char *type = p + at + 4;
            if (std::size_t(len) > n - at - 12)
                return {};
            if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0)
                return {};
            if (std::memcmp(type, "iCCP", 4) == 0) {
                const unsigned char *d = p + at + 8;
                const unsigned char *nul =
                    static_cast<const unsigned char *>(std::memchr(d, 0, std::min<std::size_t>(len, 80)));
                if (!nul || std::size_t(nul - d) + 2 > len || nul[1] != 0)
                    return {};
                const unsigned char *z = nul + 2;
                const std::size_t zlen = len - std::size_t(z - d);
                // Inflate in steps, never past the bound: a small chunk may claim a huge profile.
                z_stream s {};
                if (inflateInit(&s) != Z_OK)
                    return {};
                s.next_in = const_cast<unsigned char *>(z);
                s.avail_in = uInt(zlen);
                QByteArray out;
                int rc = Z_OK;
                while (rc == Z_OK) {
                    const qsizetype done = out.size();
                    if (std::size_t(done) >= MaxProfileBytes) {
                        rc = Z_DATA_ERROR;
                        break;
                    }
                    out.resize(done + 65536);
                    s.next_out = reinterpret_cast<unsigned char *>(out.data() + done);
                    s.avail_out = 65536;
                    rc = inflate(&s, Z_NO_FLUSH);
                    out.resize(done + (65536 - qsizetype(s.avail_out)));
                    if (rc == Z_BUF_ERROR && s.avail_in == 0)
                        break; // input ended before the stream did
                }
                inflateEnd(&s);
                return rc == Z_STREAM_END ? out : QByteArray();
            }
            at += 12 + std::size_t(len);
        }
        return {};
    }

    QByteArray tiffProfile(const unsigned char *p, std::size_t n)
    {
        if (n < 8)
            return {};
        const bool little = p[0] == 'I';
        auto u16 = [&](std::size_t at) { return little ? le16(p + at) : be16(p + at); };
        auto u32 = [&](std::size_t at) { return little ? le32(p + at) : be32(p + at); };
        const std::uint32_t ifd = u32(4);
        if (ifd < 8 || std::size_t(ifd) + 2 > n)
            return {};
        const unsigned count = u16(ifd);
        for (unsigned i = 0; i < count; ++i) {
            const std::size_t e = std::size_t(ifd) + 2 + std::size_t(i) * 12;
            if (e + 12 > n)
                return {};
            if (u16(e) != 34675)
                continue;
            const unsigned type = u16(e + 2);
            const std::uint32_t bytes = u32(e + 4);
            if ((type != 1 && type != 7) || bytes <= 4 || bytes > MaxProfileBytes)
                return {};
            const std::uint32_t offset = u32(e + 8);
            if (std::uint64_t(offset) + bytes > n)
                return {};
            return QByteArray(reinterpret_cast<const char *>(p + offset), qsizetype(bytes));
        }
        return {};
    }

    // ---- transforms ----

    enum class Layout { Rgb888, Bgra, Rgba };

    // One cached transform from a profile to sRGB, for one pixel layout.
    struct Transform {
        QByteArray icc;
        Layout layout = Layout::Rgb888;
        cmsHTRANSFORM handle = nullptr; // null: the profile does not convert (see `usable`)
    };

    // Each thread's few most recent transforms: a folder's photos share one profile,
    // and making a transform costs far more than using it on a thumbnail.
    struct TransformCache {
        std::list<Transform> entries;
        ~TransformCache()
        {
            for (Transform &t : entries)
                if (t.handle)
                    cmsDeleteTransform(t.handle);
        }
    };

    cmsUInt32Number lcmsType(Layout l)
    {
        switch (l) {
        case Layout::Rgb888:
            return TYPE_RGB_8;
        case Layout::Bgra:
            return TYPE_BGRA_8;
        case Layout::Rgba:
            return TYPE_RGBA_8;
        }
        return TYPE_RGB_8;
    }

    // True when the transform leaves every colour as it is (an sRGB profile).
    bool isIdentity(cmsHTRANSFORM t)
    {
        // Every grey level and the corners and mid-points of the colour cube.
        std::vector<unsigned char> in;
        for (int v = 0; v < 256; ++v)
            in.insert(in.end(), { uchar(v), uchar(v), uchar(v) });
        const int levels[] = { 0, 64, 128, 192, 255 };
        for (int r : levels)
            for (int g : levels)
                for (int b : levels)
                    in.insert(in.end(), { uchar(r), uchar(g), uchar(b) });
        std::vector<unsigned char> out(in.size());
        cmsDoTransform(t, in.data(), out.data(), cmsUInt32Number(in.size() / 3));
        for (std::size_t i = 0; i < in.size(); ++i)
            if (std::abs(int(in[i]) - int(out[i])) > 1)
                return false;
        return true;
    }

    cmsHTRANSFORM makeTransform(const QByteArray &icc, Layout layout)
    {
        if (icc.isEmpty() || std::size_t(icc.size()) > MaxProfileBytes)
            return nullptr;
        Profile source(cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size())));
        if (!source || cmsGetColorSpace(source.get()) != cmsSigRgbData)
            return nullptr;
        const cmsProfileClassSignature cls = cmsGetDeviceClass(source.get());
        if (cls != cmsSigInputClass && cls != cmsSigDisplayClass && cls != cmsSigColorSpaceClass
            && cls != cmsSigOutputClass)
            return nullptr;
        Profile srgb(cmsCreate_sRGBProfile());
        if (!srgb)
            return nullptr;
        // The same intent and flags as the common command-line tools use by default,
        // so that a picture reads the same here as there.
        const cmsUInt32Number flags = layout == Layout::Rgb888 ? 0 : cmsFLAGS_COPY_ALPHA;
        cmsHTRANSFORM rgb = cmsCreateTransform(source.get(), TYPE_RGB_8, srgb.get(), TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
        if (!rgb)
            return nullptr;
        if (isIdentity(rgb)) {
            cmsDeleteTransform(rgb);
            return nullptr;
        }
        if (layout == Layout::Rgb888)
            return rgb;
        cmsDeleteTransform(rgb);
        return cmsCreateTransform(
            source.get(), lcmsType(layout), srgb.get(), lcmsType(layout), INTENT_PERCEPTUAL, flags);
    }

    cmsHTRANSFORM transformFor(const QByteArray &icc, Layout layout)
    {
        thread_local TransformCache cache;
        auto &e = cache.entries;
        for (auto it = e.begin(); it != e.end(); ++it) {
            if (it->layout == layout && it->icc == icc) {
                e.splice(e.begin(), e, it);
                return e.front().handle;
            }
        }
        constexpr std::size_t Keep = 6;
        if (e.size() >= Keep) {
            if (e.back().handle)
                cmsDeleteTransform(e.back().handle);
            e.pop_back();
        }
        e.push_front(Transform { icc, layout, makeTransform(icc, layout) });
        return e.front().handle;
    }

    std::atomic<std::int64_t> convertedPixels { 0 };

    // lcms2 reports bad profiles through a log callback; the result says enough.
    void quietLog(cmsContext, cmsUInt32Number, const char *) { }

} // namespace

QByteArray iccFromNclx(const NclxColour &c)
{
    // Display-referred transfers only; PQ and HLG would need tone mapping.
    double params[5] = {};
    int curveType = 0;
    bool srgbCurve = false;
    switch (c.transfer) {
    case 1: // BT.709
    case 2: // unspecified: the common case of an sRGB-like picture
    case 6: // BT.601
    case 13: // sRGB
    case 14: // BT.2020 10-bit
    case 15: // BT.2020 12-bit
        curveType = 4;
        params[0] = 2.4;
        params[1] = 1.0 / 1.055;
        params[2] = 0.055 / 1.055;
        params[3] = 1.0 / 12.92;
        params[4] = 0.04045;
        srgbCurve = true;
        break;
    case 4:
        curveType = 1;
        params[0] = 2.2;
        break;
    case 5:
        curveType = 1;
        params[0] = 2.8;
        break;
    case 8:
        curveType = 1;
        params[0] = 1.0;
        break;
    default:
        return {};
    }
    if (srgbCurve && (c.primaries == 1 || c.primaries == 2))
        return {};
    const float *xy = c.xy;
    for (int i = 0; i < 8; ++i)
        if (!(xy[i] > 0.0f && xy[i] < 1.0f))
            return {};
    cmsSetLogErrorHandler(quietLog);
    cmsToneCurve *curve = cmsBuildParametricToneCurve(nullptr, curveType, params);
    if (!curve)
        return {};
    const cmsCIExyY white { xy[6], xy[7], 1.0 };
    const cmsCIExyYTRIPLE primaries { { xy[0], xy[1], 1.0 }, { xy[2], xy[3], 1.0 }, { xy[4], xy[5], 1.0 } };
    cmsToneCurve *curves[3] = { curve, curve, curve };
    Profile p(cmsCreateRGBProfile(&white, &primaries, curves));
    cmsFreeToneCurve(curve);
    return saveProfile(p.get());
}

QByteArray embeddedIccProfile(const unsigned char *data, std::size_t size)
{
    const codec::Bytes b { data, size };
    if (!data)
        return {};
    switch (codec::sniff(b)) {
    case codec::Kind::Jpeg:
        return jpegProfile(data, size);
    case codec::Kind::Png:
        return pngProfile(data, size);
    case codec::Kind::Tiff:
        return tiffProfile(data, size);
    default:
        return {};
    }
}

bool profileConverts(const QByteArray &icc)
{
    cmsSetLogErrorHandler(quietLog);
    return transformFor(icc, Layout::Rgb888) != nullptr;
}

QImage convertToSrgb(QImage image, const QByteArray &icc)
{
    if (image.isNull() || icc.isEmpty())
        return image;
    cmsSetLogErrorHandler(quietLog);
    if (image.format() == QImage::Format_Indexed8) {
        cmsHTRANSFORM t = transformFor(icc, Layout::Bgra);
        if (!t)
            return image;
        QList<QRgb> table = image.colorTable();
        cmsDoTransform(t, table.data(), table.data(), cmsUInt32Number(table.size()));
        image.setColorTable(table);
        convertedPixels.fetch_add(table.size(), std::memory_order_relaxed);
        return image;
    }
    convertRectToSrgb(image, image.rect(), icc);
    return image;
}

void convertRectToSrgb(QImage &image, const QRect &rect, const QByteArray &icc)
{
    const QRect r = rect.intersected(image.rect());
    if (r.isEmpty() || icc.isEmpty())
        return;
    cmsSetLogErrorHandler(quietLog);
    Layout layout = Layout::Rgb888;
    switch (image.format()) {
    case QImage::Format_RGB888:
        layout = Layout::Rgb888;
        break;
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
        layout = Layout::Bgra; // 0xAARRGGBB in little-endian memory
        break;
    case QImage::Format_RGBA8888:
    case QImage::Format_RGBX8888:
        layout = Layout::Rgba;
        break;
    default:
        return;
    }
    cmsHTRANSFORM t = transformFor(icc, layout);
    if (!t)
        return;
    uchar *bits = image.bits(); // detaches: the caller's copy keeps its colours
    if (!bits)
        return;
    const int pixelBytes = layout == Layout::Rgb888 ? 3 : 4;
    const cmsUInt32Number bpl = cmsUInt32Number(image.bytesPerLine());
    uchar *first = bits + std::size_t(r.y()) * bpl + std::size_t(r.x()) * std::size_t(pixelBytes);
    cmsDoTransformLineStride(t, first, first, cmsUInt32Number(r.width()), cmsUInt32Number(r.height()), bpl, bpl, 0, 0);
    convertedPixels.fetch_add(std::int64_t(r.width()) * r.height(), std::memory_order_relaxed);
}

std::int64_t convertedPixelCount()
{
    return convertedPixels.load(std::memory_order_relaxed);
}

} // namespace v7
