// Camera-style JPEG files for the tests: a main image with an EXIF block that
// carries an orientation and a preview JPEG in IFD1, as cameras and phones write them.
#pragma once

#include "imaging/Codecs.h"

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <cstdint>

namespace v7test
{

// w x h, the left half one colour and the right half another.
inline QImage twoTone(int w, int h, QColor left, QColor right)
{
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y) {
        uchar *p = img.scanLine(y);
        for (int x = 0; x < w; ++x, p += 3) {
            const QColor &c = x < w / 2 ? left : right;
            p[0] = uchar(c.red());
            p[1] = uchar(c.green());
            p[2] = uchar(c.blue());
        }
    }
    return img;
}

inline void putLe16(QByteArray &b, int at, unsigned v)
{
    b[at] = char(v & 0xFF);
    b[at + 1] = char((v >> 8) & 0xFF);
}
inline void putLe32(QByteArray &b, int at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xFF);
}

// The main image's JPEG with an APP1 "Exif" segment right after SOI: IFD0 with the
// orientation (none when 0), IFD1 pointing at previewBytes. previewLengthDelta is
// added to the length IFD1 states (to point past the segment).
inline QByteArray cameraJpeg(
    const QImage &main, const QByteArray &previewBytes, int orientation = 0, int previewLengthDelta = 0)
{
    QByteArray mainBytes;
    if (!v7::wrjpgstreamdib(main, 90, mainBytes))
        return {};
    const int ifd0Entries = orientation ? 1 : 0;
    const int ifd0 = 8;
    const int ifd1 = ifd0 + 2 + 12 * ifd0Entries + 4;
    const int ifd1Entries = 3;
    const int previewAt = ifd1 + 2 + 12 * ifd1Entries + 4;
    QByteArray tiff(previewAt, '\0');
    tiff[0] = 'I';
    tiff[1] = 'I';
    putLe16(tiff, 2, 42);
    putLe32(tiff, 4, ifd0);
    putLe16(tiff, ifd0, ifd0Entries);
    if (orientation) {
        putLe16(tiff, ifd0 + 2, 0x0112);
        putLe16(tiff, ifd0 + 4, 3);
        putLe32(tiff, ifd0 + 6, 1);
        putLe16(tiff, ifd0 + 10, unsigned(orientation));
    }
    putLe32(tiff, ifd0 + 2 + 12 * ifd0Entries, ifd1);
    putLe16(tiff, ifd1, ifd1Entries);
    const struct {
        unsigned tag, type;
        std::uint32_t value;
    } entries[] = { { 0x0103, 3, 6 },
        { 0x0201, 4, std::uint32_t(previewAt) },
        { 0x0202, 4, std::uint32_t(previewBytes.size() + previewLengthDelta) } };
    for (int i = 0; i < ifd1Entries; ++i) {
        const int e = ifd1 + 2 + 12 * i;
        putLe16(tiff, e, entries[i].tag);
        putLe16(tiff, e + 2, entries[i].type);
        putLe32(tiff, e + 4, 1);
        putLe32(tiff, e + 8, entries[i].value);
    }
    tiff += previewBytes;
    QByteArray app1("\xFF\xE1", 2);
    const int len = 2 + 6 + int(tiff.size());
    app1 += char((len >> 8) & 0xFF);
    app1 += char(len & 0xFF);
    app1 += QByteArray("Exif\0\0", 6);
    app1 += tiff;
    return mainBytes.left(2) + app1 + mainBytes.mid(2);
}

inline QByteArray jpegBytes(const QImage &image, int quality = 90)
{
    QByteArray out;
    v7::wrjpgstreamdib(image, quality, out);
    return out;
}

} // namespace v7test
