#include "fileops/ImageSave.h"

#include "imaging/ImageLoad.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libexif/exif-data.h>
#include <libexif/exif-mem.h>
#include <libexif/exif-utils.h>
#include <unistd.h>

namespace v7
{

QImage ComposeImageForSave(const QString &path)
{
    // Full size: the preview may hold a reduced decode of a large JPEG.
    return LoadImageDib(path, 0, true);
}

int SaveDepthFor(int bitsPerPixel)
{
    return bitsPerPixel > 8 ? 24 : bitsPerPixel;
}

QByteArray JpegExifPayload(const QByteArray &jpeg)
{
    const auto *p = reinterpret_cast<const uchar *>(jpeg.constData());
    const qsizetype n = jpeg.size();
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8)
        return {};
    qsizetype at = 2;
    while (at + 4 <= n && p[at] == 0xFF) {
        const uchar marker = p[at + 1];
        if (marker == 0xDA || marker == 0xD9)
            break; // image data: no more header segments
        const qsizetype len = (qsizetype(p[at + 2]) << 8) | p[at + 3];
        if (len < 2 || at + 2 + len > n)
            break;
        if (marker == 0xE1 && len >= 8 && std::memcmp(p + at + 4, "Exif\0\0", 6) == 0)
            return jpeg.mid(at + 4, len - 2);
        at += 2 + len;
    }
    return {};
}

QByteArray UprightExifPayload(const QByteArray &payload, int width, int height, bool dropPreview)
{
    if (payload.size() < 14)
        return {};
    ExifData *ed = exif_data_new();
    if (!ed)
        return {};
    // Keep every tag as it came, unknown ones too.
    exif_data_unset_option(ed, EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    exif_data_unset_option(ed, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_load_data(ed, reinterpret_cast<const unsigned char *>(payload.constData()), unsigned(payload.size()));
    const ExifByteOrder order = exif_data_get_byte_order(ed);
    if (ExifEntry *e = exif_content_get_entry(ed->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
        e && e->format == EXIF_FORMAT_SHORT && e->size >= 2) {
        // The embedded preview was stored sideways as well: it no longer matches.
        dropPreview = dropPreview || exif_get_short(e->data, order) != 1;
        exif_set_short(e->data, order, 1);
    }
    const std::pair<ExifTag, int> dims[2] = { { EXIF_TAG_PIXEL_X_DIMENSION, width },
        { EXIF_TAG_PIXEL_Y_DIMENSION, height } };
    for (const auto &[tag, value] : dims) {
        ExifEntry *e = exif_content_get_entry(ed->ifd[EXIF_IFD_EXIF], tag);
        if (!e)
            continue;
        if (e->format == EXIF_FORMAT_SHORT && e->size >= 2 && value <= 0xFFFF)
            exif_set_short(e->data, order, ExifShort(value));
        else if (e->format == EXIF_FORMAT_LONG && e->size >= 4)
            exif_set_long(e->data, order, ExifLong(value));
    }
    if (dropPreview) {
        if (ed->data) {
            ExifMem *mem = exif_mem_new_default();
            exif_mem_free(mem, ed->data);
            exif_mem_unref(mem);
            ed->data = nullptr;
            ed->size = 0;
        }
        ExifContent *ifd1 = ed->ifd[EXIF_IFD_1];
        while (ifd1 && ifd1->count > 0)
            exif_content_remove_entry(ifd1, ifd1->entries[0]);
    }
    unsigned char *out = nullptr;
    unsigned int size = 0;
    exif_data_save_data(ed, &out, &size);
    exif_data_unref(ed);
    QByteArray result;
    // An APP1 segment holds at most 65533 bytes of payload.
    if (out && size >= 6 && size <= 65533 && std::memcmp(out, "Exif\0\0", 6) == 0)
        result = QByteArray(reinterpret_cast<const char *>(out), qsizetype(size));
    std::free(out);
    return result;
}

QByteArray WithExifPayload(const QByteArray &jpeg, const QByteArray &payload)
{
    const auto *p = reinterpret_cast<const uchar *>(jpeg.constData());
    const qsizetype n = jpeg.size();
    if (payload.isEmpty() || payload.size() > 65533 || n < 4 || p[0] != 0xFF || p[1] != 0xD8)
        return jpeg;
    QByteArray head("\xFF\xD8", 2);
    qsizetype at = 2;
    // A JFIF APP0 stays first; an EXIF APP1 already there is replaced.
    while (at + 4 <= n && p[at] == 0xFF) {
        const uchar marker = p[at + 1];
        const qsizetype len = (qsizetype(p[at + 2]) << 8) | p[at + 3];
        if (marker == 0xDA || len < 2 || at + 2 + len > n)
            break;
        const bool exif = marker == 0xE1 && len >= 8 && std::memcmp(p + at + 4, "Exif\0\0", 6) == 0;
        if (marker == 0xE0 && head.size() == 2) {
            head += jpeg.mid(at, 2 + len);
            at += 2 + len;
            continue;
        }
        if (exif) {
            at += 2 + len;
            continue;
        }
        break;
    }
    const qsizetype len = payload.size() + 2;
    head += char(0xFF);
    head += char(0xE1);
    head += char((len >> 8) & 0xFF);
    head += char(len & 0xFF);
    head += payload;
    return head + jpeg.mid(at);
}

bool SaveImageFile(const QString &target,
    const QImage &image,
    int outputBits,
    int jpegQuality,
    const QString &exifSource,
    bool pixelsChanged)
{
    if (image.isNull())
        return false;
    const QFileInfo info(target);
    const QString ext = info.suffix();
    // The source's EXIF is read before anything is written: it may be the target itself.
    QByteArray payload;
    if (ext.toLower() == QLatin1String("jpg") && !exifSource.isEmpty()) {
        QFile src(exifSource);
        if (src.open(QIODevice::ReadOnly)) {
            const QByteArray head = src.read(256 * 1024);
            const QByteArray raw = JpegExifPayload(head);
            if (!raw.isEmpty())
                payload = UprightExifPayload(raw, image.width(), image.height(), pixelsChanged);
        }
    }
    // Beside the target, with its extension, so the writer picks the same type.
    const QString temp =
        QDir(info.absolutePath())
            .filePath(
                QStringLiteral(".%1.v7save-%2.%3").arg(info.completeBaseName().left(100)).arg(::getpid()).arg(ext));
    QFile::remove(temp);
    if (!SaveImageDib(temp, image, outputBits, jpegQuality)) {
        QFile::remove(temp);
        return false;
    }
    if (!payload.isEmpty()) {
        QFile f(temp);
        QByteArray bytes;
        if (f.open(QIODevice::ReadOnly))
            bytes = f.readAll();
        f.close();
        const QByteArray with = WithExifPayload(bytes, payload);
        if (with.size() != bytes.size()) {
            QFile w(temp);
            if (!w.open(QIODevice::WriteOnly | QIODevice::Truncate) || w.write(with) != with.size() || !w.flush()) {
                w.close();
                QFile::remove(temp);
                return false;
            }
        }
    }
    if (info.exists()) // a replaced file keeps its permissions
        QFile::setPermissions(temp, QFile::permissions(target));
    if (::rename(QFile::encodeName(temp).constData(), QFile::encodeName(target).constData()) != 0) {
        QFile::remove(temp);
        return false;
    }
    return true;
}

} // namespace v7
