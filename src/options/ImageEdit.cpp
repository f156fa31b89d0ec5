#include "options/ImageEdit.h"

#include "imaging/Codecs.h"
#include "imaging/CodecsInternal.h"
#include "imaging/Draw.h"
#include "imaging/ImageLoad.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTransform>
#include <algorithm>
#include <turbojpeg.h>

namespace v7
{

namespace
{

    Orientation operationOrientation(int operation)
    {
        switch (operation) {
        case RotateClockwise:
            return { 1, false };
        case MirrorVertical: // top and bottom swapped: mirrored, then half a turn
            return { 2, true };
        case MirrorHorizontal:
            return { 0, true };
        default:
            return {};
        }
    }

    // A reduced decode is replaced by the full one: what is edited is what is saved.
    void ensureFullSize(ViewState &vs)
    {
        if (vs.reduction <= 1 || vs.currentFile.isEmpty())
            return;
        if (!LoadShownImage(vs, vs.currentFile))
            return; // the reduced image stays; the edits still show
        vs.second = QImage();
        vs.natural = vs.current.size();
        vs.reduction = 1;
    }

    void heldImageChanged(ViewState &vs)
    {
        vs.second = QImage();
        vs.natural = vs.current.size();
        vs.reduction = 1;
    }

    int transformOp(Orientation o)
    {
        static constexpr int plain[4] = { TJXOP_NONE, TJXOP_ROT90, TJXOP_ROT180, TJXOP_ROT270 };
        // Mirrored then turned: a quarter turn of the mirror image is the transverse.
        static constexpr int mirrored[4] = { TJXOP_HFLIP, TJXOP_TRANSVERSE, TJXOP_VFLIP, TJXOP_TRANSPOSE };
        const int t = ((o.turns % 4) + 4) % 4;
        return o.mirrored ? mirrored[t] : plain[t];
    }

    std::uint32_t readU16(const QByteArray &b, qsizetype at, bool bigEndian)
    {
        const auto u = [&](qsizetype i) { return std::uint32_t(std::uint8_t(b[i])); };
        return bigEndian ? (u(at) << 8) | u(at + 1) : u(at) | (u(at + 1) << 8);
    }

    std::uint32_t readU32(const QByteArray &b, qsizetype at, bool bigEndian)
    {
        const std::uint32_t hi = readU16(b, at, bigEndian), lo = readU16(b, at + 2, bigEndian);
        return bigEndian ? (hi << 16) | lo : hi | (lo << 16);
    }

    // Points at the orientation value (a 16-bit number) in the EXIF block of
    // segment [start, end) of b; -1 when there is none.
    qsizetype orientationValueAt(const QByteArray &b, qsizetype start, qsizetype end, bool *bigEndian)
    {
        if (end - start < 14 || b.mid(start, 6) != QByteArray("Exif\0\0", 6))
            return -1;
        const qsizetype tiff = start + 6;
        if (b[tiff] != b[tiff + 1] || (b[tiff] != 'I' && b[tiff] != 'M'))
            return -1;
        const bool be = b[tiff] == 'M';
        if (readU16(b, tiff + 2, be) != 42)
            return -1;
        const std::uint32_t ifdOffset = readU32(b, tiff + 4, be);
        if (ifdOffset > std::uint32_t(end - tiff) || end - tiff - qsizetype(ifdOffset) < 2)
            return -1;
        const qsizetype ifd = tiff + qsizetype(ifdOffset);
        const std::uint32_t count = readU16(b, ifd, be);
        for (std::uint32_t i = 0; i < count; ++i) {
            const qsizetype entry = ifd + 2 + qsizetype(i) * 12;
            if (entry + 12 > end)
                break;
            // Tag 0x0112, a SHORT: its value sits in the entry itself.
            if (readU16(b, entry, be) == 0x0112 && readU16(b, entry + 2, be) == 3) {
                *bigEndian = be;
                return entry + 8;
            }
        }
        return -1;
    }

} // namespace

Orientation combine(Orientation first, Orientation second)
{
    // second after first: a mirror reverses the sense of the turns made before it.
    const int turns = second.turns + (second.mirrored ? -first.turns : first.turns);
    return { ((turns % 4) + 4) % 4, first.mirrored != second.mirrored };
}

Orientation afterOperation(Orientation o, int operation)
{
    return combine(o, operationOrientation(operation));
}

Orientation inverse(Orientation o)
{
    if (o.mirrored)
        return o; // every mirrored form undoes itself
    return { (4 - o.turns % 4) % 4, false };
}

Orientation fromExifOrientation(int exif)
{
    switch (exif) {
    case 2:
        return { 0, true };
    case 3:
        return { 2, false };
    case 4:
        return { 2, true };
    case 5:
        return { 3, true };
    case 6:
        return { 1, false };
    case 7:
        return { 1, true };
    case 8:
        return { 3, false };
    default:
        return {};
    }
}

QImage orientImage(const QImage &image, Orientation o)
{
    if (image.isNull())
        return {};
    QImage out = o.mirrored ? image.mirrored(true, false) : image;
    const int turns = ((o.turns % 4) + 4) % 4;
    if (turns != 0)
        out = out.transformed(QTransform().rotate(90.0 * turns));
    return out;
}

Orientation editOrientation(const ViewState &vs)
{
    return { vs.editTurns, vs.editMirrored };
}

bool ImageEditActive(const ViewState &vs)
{
    return !vs.current.isNull() && (vs.editTurns != 0 || vs.editMirrored || vs.brightness != 0 || vs.contrast != 0);
}

bool TransformImage(ViewState &vs, int operation)
{
    if (vs.current.isNull() || operation < RotateClockwise || operation > MirrorHorizontal)
        return false;
    ensureFullSize(vs);
    const Orientation step = operationOrientation(operation);
    QImage turned = orientImage(vs.current, step);
    if (turned.isNull())
        return false; // the image is shown unchanged
    QImage reference = vs.reference.isNull() ? turned : orientImage(vs.reference, step);
    if (reference.isNull())
        return false;
    vs.current = std::move(turned);
    vs.reference = std::move(reference);
    const Orientation o = combine(editOrientation(vs), step);
    vs.editTurns = o.turns;
    vs.editMirrored = o.mirrored;
    heldImageChanged(vs);
    return true;
}

bool EnhanceImage(ViewState &vs, int brightness, int contrast)
{
    if (vs.current.isNull())
        return false;
    brightness = std::clamp(brightness, -100, 100);
    contrast = std::clamp(contrast, -100, 100);
    if (vs.reference.isNull()) {
        if (brightness == 0 && contrast == 0)
            return false;
        ensureFullSize(vs);
        vs.reference = vs.current;
    }
    // Brightness and contrast work on the colours shown: a picture held in its
    // file's colours is turned to sRGB first (once; turns and mirrors need not).
    HoldInSrgb(vs);
    // Back at 0 and 0 the reference itself is shown, not the last adjustment.
    QImage adjusted =
        (brightness == 0 && contrast == 0) ? vs.reference : VEnhanceBMP(vs.reference, brightness, contrast);
    if (adjusted.isNull())
        return false;
    vs.current = std::move(adjusted);
    vs.brightness = brightness;
    vs.contrast = contrast;
    heldImageChanged(vs);
    return true;
}

void CommitImageEdits(ViewState &vs)
{
    vs.reference = QImage();
    vs.editTurns = vs.brightness = vs.contrast = 0;
    vs.editMirrored = false;
}

bool ResetImageEdits(ViewState &vs)
{
    if (vs.current.isNull() || (vs.reference.isNull() && !ImageEditActive(vs)))
        return false;
    const QImage &base = vs.reference.isNull() ? vs.current : vs.reference;
    QImage original = orientImage(base, inverse(editOrientation(vs)));
    if (original.isNull())
        return false;
    vs.current = std::move(original);
    vs.reference = QImage();
    vs.editTurns = vs.brightness = vs.contrast = 0;
    vs.editMirrored = false;
    heldImageChanged(vs);
    return true;
}

QImage ApplyImageEdits(const QImage &upright, Orientation o, int brightness, int contrast)
{
    QImage out = orientImage(upright, o);
    if (!out.isNull() && (brightness != 0 || contrast != 0))
        out = VEnhanceBMP(out, brightness, contrast);
    return out;
}

bool ResetExifOrientation(QByteArray &jpeg)
{
    const qsizetype size = jpeg.size();
    if (size < 4 || std::uint8_t(jpeg[0]) != 0xFF || std::uint8_t(jpeg[1]) != 0xD8)
        return false;
    qsizetype pos = 2;
    while (pos + 4 <= size) {
        if (std::uint8_t(jpeg[pos]) != 0xFF)
            return false;
        const std::uint8_t code = std::uint8_t(jpeg[pos + 1]);
        if (code == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        if (code == 0xDA || code == 0xD9)
            return false; // the EXIF block comes before the image data
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
            pos += 2;
            continue;
        }
        const qsizetype length = qsizetype(readU16(jpeg, pos + 2, true));
        const qsizetype start = pos + 4, end = pos + 2 + length;
        if (length < 2 || end > size)
            return false;
        if (code == 0xE1) {
            bool bigEndian = false;
            const qsizetype at = orientationValueAt(jpeg, start, end, &bigEndian);
            if (at >= 0) {
                jpeg[at] = char(bigEndian ? 0 : 1);
                jpeg[at + 1] = char(bigEndian ? 1 : 0);
                return true;
            }
        }
        pos = end;
    }
    return false;
}

bool LosslessJpegTransform(const QByteArray &jpeg, Orientation o, QByteArray &out)
{
    const codec::Bytes bytes { reinterpret_cast<const unsigned char *>(jpeg.constData()), std::size_t(jpeg.size()) };
    if (jpeg.isEmpty() || codec::sniff(bytes) != codec::Kind::Jpeg)
        return false;
    const Orientation total = combine(fromExifOrientation(codec::jpegOrientation(bytes)), o);
    tjhandle handle = tjInitTransform();
    if (!handle)
        return false;
    tjtransform xf {};
    xf.op = transformOp(total);
    // Edge blocks that are not whole would have to be dropped or recoded: refuse.
    xf.options = TJXOPT_PERFECT;
    unsigned char *dst = nullptr;
    unsigned long dstSize = 0;
    const int rc = tjTransform(handle, bytes.data, static_cast<unsigned long>(bytes.size), 1, &dst, &dstSize, &xf, 0);
    const bool ok = rc == 0 && dst && dstSize > 0;
    if (ok)
        out = QByteArray(reinterpret_cast<const char *>(dst), qsizetype(dstSize));
    if (dst)
        tjFree(dst);
    tjDestroy(handle);
    if (!ok)
        return false;
    ResetExifOrientation(out); // the pixels are upright now; a file without EXIF has nothing to reset
    return true;
}

SaveOutcome SaveShownImage(
    const QString &source, const QString &target, int outputBits, int jpegQuality, const ViewState &vs)
{
    if (!ImageEditActive(vs) || vs.currentFile != source || source.isEmpty() || target.isEmpty())
        return SaveOutcome::NothingToSave;
    const Orientation o = editOrientation(vs);
    const bool jpegTarget = QFileInfo(target).suffix().compare(QLatin1String("jpg"), Qt::CaseInsensitive) == 0;
    if (jpegTarget && vs.brightness == 0 && vs.contrast == 0) {
        QFile in(source);
        QByteArray turned;
        if (in.size() <= qint64(codec::MaxFileBytes) && in.open(QIODevice::ReadOnly)
            && LosslessJpegTransform(in.readAll(), o, turned)) {
            QSaveFile out(target);
            if (out.open(QIODevice::WriteOnly) && out.write(turned) == turned.size() && out.commit())
                return SaveOutcome::Lossless;
            return SaveOutcome::Failed;
        }
    }
    // Replayed on a full-size decode of the file, upright as the preview shows it.
    const QImage full = LoadImageDib(source, 0, true);
    if (full.isNull())
        return SaveOutcome::Failed;
    const QImage edited = ApplyImageEdits(full, o, vs.brightness, vs.contrast);
    if (edited.isNull() || !SaveImageDib(target, edited, outputBits, jpegQuality))
        return SaveOutcome::Failed;
    return SaveOutcome::Encoded;
}

} // namespace v7
