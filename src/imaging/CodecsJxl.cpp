// JPEG XL through libjxl: probe (the basic header only) and decoding of the first
// frame, upright by the header's orientation (the decoder applies it), with the
// colour profile of the decoded pixels.
#include "imaging/CodecsInternal.h"

#include <jxl/decode.h>
#include <memory>

namespace v7::codec
{

namespace
{

    struct DecoderFree {
        void operator()(JxlDecoder *d) const { JxlDecoderDestroy(d); }
    };
    using Decoder = std::unique_ptr<JxlDecoder, DecoderFree>;

    Decoder startDecoder(Bytes b, int events)
    {
        if (b.size < 2 || JxlSignatureCheck(b.data, b.size) < JXL_SIG_CODESTREAM)
            return {};
        Decoder d(JxlDecoderCreate(nullptr));
        if (!d || JxlDecoderSubscribeEvents(d.get(), events) != JXL_DEC_SUCCESS
            || JxlDecoderSetInput(d.get(), b.data, b.size) != JXL_DEC_SUCCESS)
            return {};
        JxlDecoderCloseInput(d.get());
        return d;
    }

    bool isSrgb(const JxlColorEncoding &e)
    {
        return e.color_space == JXL_COLOR_SPACE_RGB && e.white_point == JXL_WHITE_POINT_D65
            && e.primaries == JXL_PRIMARIES_SRGB && e.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
    }

    // Width and height after the orientation.
    QSize uprightSize(const JxlBasicInfo &info)
    {
        const bool swap = int(info.orientation) >= 5;
        return swap ? QSize(int(info.ysize), int(info.xsize)) : QSize(int(info.xsize), int(info.ysize));
    }

} // namespace

bool isJxl(Bytes b)
{
    return b.size >= 2 && JxlSignatureCheck(b.data, b.size) >= JXL_SIG_CODESTREAM;
}

bool probeJxl(Bytes b, CodecFileInfo &info)
{
    const Decoder d = startDecoder(b, JXL_DEC_BASIC_INFO);
    if (!d)
        return false;
    for (;;) {
        const JxlDecoderStatus st = JxlDecoderProcessInput(d.get());
        if (st != JXL_DEC_BASIC_INFO)
            return false;
        JxlBasicInfo bi;
        if (JxlDecoderGetBasicInfo(d.get(), &bi) != JXL_DEC_SUCCESS || bi.xsize == 0 || bi.ysize == 0
            || bi.xsize > 0x7FFFFFFF || bi.ysize > 0x7FFFFFFF)
            return false;
        const QSize s = uprightSize(bi);
        info.format = "JXL";
        info.width = s.width();
        info.height = s.height();
        const int channels = (bi.num_color_channels == 1 ? 1 : 3) + (bi.alpha_bits > 0 ? 1 : 0);
        info.bitsPerPixel = int(std::max<std::uint32_t>(8, bi.bits_per_sample)) * channels;
        info.extra1 = int(bi.orientation);
        info.extra2 = 1;
        return true;
    }
}

QImage decodeJxl(Bytes b, QByteArray *icc)
{
    if (icc)
        icc->clear();
    const Decoder d = startDecoder(b, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE);
    if (!d)
        return {};
    JxlPixelFormat format { 3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 4 };
    QImage out;
    QByteArray profile;
    bool alpha = false;
    for (;;) {
        const JxlDecoderStatus st = JxlDecoderProcessInput(d.get());
        switch (st) {
        case JXL_DEC_BASIC_INFO: {
            JxlBasicInfo bi;
            if (JxlDecoderGetBasicInfo(d.get(), &bi) != JXL_DEC_SUCCESS)
                return {};
            const QSize s = uprightSize(bi);
            if (bi.xsize > 0x7FFFFFFF || bi.ysize > 0x7FFFFFFF || !sizeAllowed(s.width(), s.height()))
                return {};
            alpha = bi.alpha_bits > 0;
            format.num_channels = alpha ? 4 : 3;
            break;
        }
        case JXL_DEC_COLOR_ENCODING: {
            // The profile of the pixels as they are handed out; none when that is sRGB.
            JxlColorEncoding enc;
            if (JxlDecoderGetColorAsEncodedProfile(d.get(), &format, JXL_COLOR_PROFILE_TARGET_DATA, &enc)
                    == JXL_DEC_SUCCESS
                && isSrgb(enc))
                break;
            std::size_t size = 0;
            if (JxlDecoderGetICCProfileSize(d.get(), &format, JXL_COLOR_PROFILE_TARGET_DATA, &size) == JXL_DEC_SUCCESS
                && size > 0 && size < (16u << 20)) {
                profile.resize(qsizetype(size));
                if (JxlDecoderGetColorAsICCProfile(d.get(),
                        &format,
                        JXL_COLOR_PROFILE_TARGET_DATA,
                        reinterpret_cast<uint8_t *>(profile.data()),
                        size)
                    != JXL_DEC_SUCCESS)
                    profile.clear();
            }
            break;
        }
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            std::size_t need = 0;
            if (JxlDecoderImageOutBufferSize(d.get(), &format, &need) != JXL_DEC_SUCCESS)
                return {};
            // The frame is handed out upright; ask the decoder for its size again.
            JxlBasicInfo bi;
            if (JxlDecoderGetBasicInfo(d.get(), &bi) != JXL_DEC_SUCCESS)
                return {};
            const QSize s = uprightSize(bi);
            if (!sizeAllowed(s.width(), s.height()))
                return {};
            out = newImage(s.width(), s.height(), alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
            if (out.isNull() || std::size_t(out.bytesPerLine()) * std::size_t(out.height()) != need)
                return {};
            if (JxlDecoderSetImageOutBuffer(d.get(), &format, out.bits(), need) != JXL_DEC_SUCCESS)
                return {};
            break;
        }
        case JXL_DEC_FULL_IMAGE:
            // The first frame is the picture; an animation's later frames are not read.
            if (out.isNull())
                return {};
            if (icc)
                *icc = profile;
            return alpha ? out.convertToFormat(QImage::Format_ARGB32) : out;
        default:
            // Errors, input that ends early, and success before any frame.
            return {};
        }
    }
}

} // namespace v7::codec
