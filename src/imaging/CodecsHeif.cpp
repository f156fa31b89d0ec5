// HEIF files (HEIC with HEVC pictures, AVIF with AV1 pictures) through libheif:
// probe, decoding of the primary image and of its embedded thumbnail, the colour
// data (an ICC profile, or nclx primaries and transfer turned into one), and AVIF
// encoding to memory.
//
// Orientation: a HEIF file turns and mirrors its picture with its own properties,
// which libheif applies. The EXIF orientation such files also carry describes the
// same turn, so it is not applied a second time.
#include "imaging/CodecsInternal.h"
#include "imaging/ColourManage.h"
#include "imaging/HeifBoxes.h"

#include <cstring>
#include <libheif/heif.h>
#include <memory>
#include <mutex>

namespace v7::codec
{

namespace
{

    void initHeif()
    {
        static std::once_flag once;
        std::call_once(once, [] { heif_init(nullptr); });
    }

    struct ContextFree {
        void operator()(heif_context *c) const { heif_context_free(c); }
    };
    struct HandleFree {
        void operator()(heif_image_handle *h) const { heif_image_handle_release(h); }
    };
    struct ImageFree {
        void operator()(heif_image *i) const { heif_image_release(i); }
    };
    using Context = std::unique_ptr<heif_context, ContextFree>;
    using Handle = std::unique_ptr<heif_image_handle, HandleFree>;
    using Image = std::unique_ptr<heif_image, ImageFree>;

    // The file parsed (nothing decoded yet) and its primary image; null handle on failure.
    struct Opened {
        Context ctx;
        Handle primary;
    };

    Opened openHeif(Bytes b)
    {
        Opened o;
        if (b.size < 16 || b.size > MaxFileBytes)
            return o;
        initHeif();
        o.ctx.reset(heif_context_alloc());
        if (!o.ctx)
            return o;
        heif_context_set_maximum_image_size_limit(o.ctx.get(), 65535 * 4);
        if (heif_context_read_from_memory_without_copy(o.ctx.get(), b.data, b.size, nullptr).code != heif_error_Ok)
            return o;
        heif_image_handle *h = nullptr;
        if (heif_context_get_primary_image_handle(o.ctx.get(), &h).code != heif_error_Ok)
            return o;
        o.primary.reset(h);
        return o;
    }

    // The colour profile of an image item: its ICC profile, else one made from its
    // nclx colour data; empty when it has neither or its data is sRGB already.
    QByteArray itemProfile(const heif_image_handle *h)
    {
        const heif_color_profile_type type = heif_image_handle_get_color_profile_type(h);
        if (type == heif_color_profile_type_rICC || type == heif_color_profile_type_prof) {
            const std::size_t size = heif_image_handle_get_raw_color_profile_size(h);
            if (size == 0 || size > (16u << 20))
                return {};
            QByteArray icc(qsizetype(size), '\0');
            if (heif_image_handle_get_raw_color_profile(h, icc.data()).code != heif_error_Ok)
                return {};
            return icc;
        }
        heif_color_profile_nclx *nclx = nullptr;
        const heif_error nclxError = heif_image_handle_get_nclx_color_profile(h, &nclx);
        // Codes it does not know come back as an error together with the data, which
        // is ours to free all the same.
        const std::unique_ptr<heif_color_profile_nclx, void (*)(heif_color_profile_nclx *)> owned(
            nclx, heif_nclx_color_profile_free);
        if (nclxError.code != heif_error_Ok || !nclx)
            return {};
        const NclxColour c { int(nclx->color_primaries),
            int(nclx->transfer_characteristics),
            { nclx->color_primary_red_x,
                nclx->color_primary_red_y,
                nclx->color_primary_green_x,
                nclx->color_primary_green_y,
                nclx->color_primary_blue_x,
                nclx->color_primary_blue_y,
                nclx->color_primary_white_x,
                nclx->color_primary_white_y } };
        return iccFromNclx(c);
    }

    // Decodes an image item to RGB888, or ARGB32 when it has an alpha channel.
    QImage decodeItem(const heif_image_handle *h)
    {
        const int w = heif_image_handle_get_width(h);
        const int ht = heif_image_handle_get_height(h);
        if (!sizeAllowed(w, ht))
            return {};
        const bool alpha = heif_image_handle_has_alpha_channel(h) != 0;
        std::unique_ptr<heif_decoding_options, void (*)(heif_decoding_options *)> opts(
            heif_decoding_options_alloc(), heif_decoding_options_free);
        if (!opts)
            return {};
        opts->convert_hdr_to_8bit = 1;
        heif_image *raw = nullptr;
        if (heif_decode_image(h,
                &raw,
                heif_colorspace_RGB,
                alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                opts.get())
                .code
            != heif_error_Ok)
            return {};
        const Image img(raw);
        int stride = 0;
        const uint8_t *plane = heif_image_get_plane_readonly(img.get(), heif_channel_interleaved, &stride);
        const int pw = heif_image_get_width(img.get(), heif_channel_interleaved);
        const int ph = heif_image_get_height(img.get(), heif_channel_interleaved);
        if (!plane || !sizeAllowed(pw, ph) || stride < pw * (alpha ? 4 : 3))
            return {};
        QImage out = newImage(pw, ph, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB888);
        if (out.isNull())
            return {};
        for (int y = 0; y < ph; ++y) {
            const uint8_t *s = plane + std::size_t(y) * std::size_t(stride);
            if (alpha) {
                QRgb *d = reinterpret_cast<QRgb *>(out.scanLine(y));
                for (int x = 0; x < pw; ++x, s += 4)
                    d[x] = qRgba(s[0], s[1], s[2], s[3]);
            } else {
                std::memcpy(out.scanLine(y), s, std::size_t(pw) * 3);
            }
        }
        return out;
    }

    bool hasBrand(Bytes b, const char *brand)
    {
        // ftyp: size, "ftyp", major brand, minor version, compatible brands.
        const std::size_t boxSize = std::min<std::size_t>(be32(b.data), b.size);
        if (std::memcmp(b.data + 8, brand, 4) == 0)
            return true;
        for (std::size_t at = 16; at + 4 <= boxSize; at += 4)
            if (std::memcmp(b.data + at, brand, 4) == 0)
                return true;
        return false;
    }

} // namespace

bool isHeif(Bytes b)
{
    if (b.size < 16 || std::memcmp(b.data + 4, "ftyp", 4) != 0 || be32(b.data) < 16)
        return false;
    static const char *const brands[] = {
        "heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs", "mif1", "msf1", "avif", "avis"
    };
    for (const char *brand : brands)
        if (hasBrand(b, brand))
            return true;
    return false;
}

bool probeHeif(Bytes b, CodecFileInfo &info)
{
    if (!isHeif(b))
        return false;
    const Opened o = openHeif(b);
    if (!o.primary)
        return false;
    const int w = heif_image_handle_get_width(o.primary.get());
    const int h = heif_image_handle_get_height(o.primary.get());
    if (w <= 0 || h <= 0)
        return false;
    const char *major = reinterpret_cast<const char *>(b.data + 8);
    const bool avif = std::memcmp(major, "avif", 4) == 0 || std::memcmp(major, "avis", 4) == 0;
    const bool hevc = !avif && std::memcmp(major, "mif1", 4) != 0 && std::memcmp(major, "msf1", 4) != 0;
    info.format = avif ? "AVIF" : hevc ? "HEIC" : "HEIF";
    info.width = w;
    info.height = h;
    const int bits = std::max(8, heif_image_handle_get_luma_bits_per_pixel(o.primary.get()));
    info.bitsPerPixel = bits * (heif_image_handle_has_alpha_channel(o.primary.get()) ? 4 : 3);
    info.extra1 = 0;
    info.extra2 = 1;
    return true;
}

QImage decodeHeif(Bytes b, QByteArray *icc)
{
    if (icc)
        icc->clear();
    if (!isHeif(b) || !heifCanvasesAllowed(b))
        return {};
    const Opened o = openHeif(b);
    if (!o.primary)
        return {};
    QImage out = decodeItem(o.primary.get());
    if (!out.isNull() && icc)
        *icc = itemProfile(o.primary.get());
    return out;
}

QImage decodeHeifThumbnail(Bytes b, QSize *primarySize, QByteArray *icc)
{
    if (icc)
        icc->clear();
    if (!isHeif(b))
        return {};
    const Opened o = openHeif(b);
    if (!o.primary)
        return {};
    const int n = heif_image_handle_get_number_of_thumbnails(o.primary.get());
    if (n <= 0)
        return {};
    std::vector<heif_item_id> ids(std::size_t(std::min(n, 16)));
    const int got = heif_image_handle_get_list_of_thumbnail_IDs(o.primary.get(), ids.data(), int(ids.size()));
    // The largest thumbnail serves the most thumbnail sizes.
    Handle best;
    heif_item_id bestId = 0;
    std::int64_t bestPixels = 0;
    for (int i = 0; i < got; ++i) {
        heif_image_handle *t = nullptr;
        if (heif_image_handle_get_thumbnail(o.primary.get(), ids[std::size_t(i)], &t).code != heif_error_Ok || !t)
            continue;
        Handle th(t);
        const std::int64_t pixels =
            std::int64_t(heif_image_handle_get_width(t)) * std::int64_t(heif_image_handle_get_height(t));
        if (pixels > bestPixels) {
            bestPixels = pixels;
            best = std::move(th);
            bestId = ids[std::size_t(i)];
        }
    }
    // A picture too large to decode may still carry a thumbnail that is not.
    if (!best || !heifItemCanvasAllowed(b, bestId))
        return {};
    QImage out = decodeItem(best.get());
    if (out.isNull())
        return {};
    if (primarySize)
        *primarySize =
            QSize(heif_image_handle_get_width(o.primary.get()), heif_image_handle_get_height(o.primary.get()));
    if (icc) {
        // A thumbnail without colour data of its own shows the picture's colours.
        *icc = itemProfile(best.get());
        if (icc->isEmpty()
            && heif_image_handle_get_color_profile_type(best.get()) == heif_color_profile_type_not_present)
            *icc = itemProfile(o.primary.get());
    }
    return out;
}

bool encodeAvif(const QImage &image, int quality, QByteArray &out)
{
    out.clear();
    if (image.isNull() || !sizeAllowed(image.width(), image.height()))
        return false;
    const QImage src = image.convertToFormat(QImage::Format_RGB888);
    if (src.isNull())
        return false;
    initHeif();
    const Context ctx(heif_context_alloc());
    if (!ctx)
        return false;
    heif_encoder *rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(ctx.get(), heif_compression_AV1, &rawEncoder).code != heif_error_Ok
        || !rawEncoder)
        return false;
    const std::unique_ptr<heif_encoder, void (*)(heif_encoder *)> encoder(rawEncoder, heif_encoder_release);
    heif_encoder_set_lossy_quality(encoder.get(), std::clamp(quality, 0, 100));
    // A batch converts many files: the faster settings lose little at photo sizes.
    heif_encoder_set_parameter_integer(encoder.get(), "speed", 8);
    heif_image *rawImage = nullptr;
    if (heif_image_create(src.width(), src.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &rawImage).code
        != heif_error_Ok)
        return false;
    const Image img(rawImage);
    if (heif_image_add_plane(img.get(), heif_channel_interleaved, src.width(), src.height(), 8).code != heif_error_Ok)
        return false;
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(img.get(), heif_channel_interleaved, &stride);
    if (!plane || stride < src.width() * 3)
        return false;
    for (int y = 0; y < src.height(); ++y)
        std::memcpy(plane + std::size_t(y) * std::size_t(stride), src.constScanLine(y), std::size_t(src.width()) * 3);
    heif_image_handle *handle = nullptr;
    if (heif_context_encode_image(ctx.get(), img.get(), encoder.get(), nullptr, &handle).code != heif_error_Ok)
        return false;
    heif_image_handle_release(handle);
    heif_writer writer {};
    writer.writer_api_version = 1;
    writer.write = [](heif_context *, const void *data, size_t size, void *user) {
        auto *bytes = static_cast<QByteArray *>(user);
        if (size > std::size_t(0x7FFFFFFF - bytes->size()))
            return heif_error { heif_error_Encoding_error, heif_suberror_Unspecified, "too large" };
        bytes->append(static_cast<const char *>(data), qsizetype(size));
        return heif_error { heif_error_Ok, heif_suberror_Unspecified, "" };
    };
    if (heif_context_write(ctx.get(), &writer, &out).code != heif_error_Ok)
        out.clear();
    return !out.isEmpty();
}

} // namespace v7::codec
