#include "fileops/ImageSave.h"

#include "TestEnv.h"
#include "imaging/ImageLoad.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <libexif/exif-data.h>
#include <sys/stat.h>

using namespace v7;
using v7test::readFile;
using v7test::writeFile;

namespace
{

void put16(QByteArray &b, int v)
{
    b += char(v & 0xFF);
    b += char((v >> 8) & 0xFF);
}
void put32(QByteArray &b, quint32 v)
{
    put16(b, int(v & 0xFFFF));
    put16(b, int(v >> 16));
}

// "Exif\0\0" and a little-endian TIFF block: IFD0 with Make "Vorlane" and the orientation.
QByteArray exifPayload(int orientation)
{
    QByteArray t("II*\0", 4);
    put32(t, 8);
    put16(t, 2);
    put16(t, 0x010F); // Make, ASCII, 8 bytes at offset 38
    put16(t, 2);
    put32(t, 8);
    put32(t, 38);
    put16(t, 0x0112); // Orientation, SHORT
    put16(t, 3);
    put32(t, 1);
    put16(t, orientation);
    put16(t, 0);
    put32(t, 0); // no next IFD
    t += QByteArray("Vorlane\0", 8);
    return QByteArray("Exif\0\0", 6) + t;
}

struct ExifRead {
    bool present = false;
    int orientation = 0;
    QString make;
};

ExifRead readExif(const QString &path)
{
    ExifRead out;
    const QByteArray payload = JpegExifPayload(readFile(path));
    if (payload.isEmpty())
        return out;
    ExifData *ed =
        exif_data_new_from_data(reinterpret_cast<const unsigned char *>(payload.constData()), unsigned(payload.size()));
    if (!ed)
        return out;
    out.present = true;
    if (ExifEntry *e = exif_content_get_entry(ed->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION))
        out.orientation = exif_get_short(e->data, exif_data_get_byte_order(ed));
    if (ExifEntry *e = exif_content_get_entry(ed->ifd[EXIF_IFD_0], EXIF_TAG_MAKE))
        out.make = QString::fromLatin1(reinterpret_cast<const char *>(e->data), int(e->size)).remove(QChar(0));
    exif_data_unref(ed);
    return out;
}

QImage gradient(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixelColor(x, y, QColor((x * 255) / w, (y * 255) / h, 128));
    return img;
}

QSize fileSize(const QString &path)
{
    ImageFileInfo info;
    info.fileName = path;
    return GetImageInfo(info) ? QSize(info.width, info.height) : QSize();
}

} // namespace

TEST(ImageSave, AJpegSavedAsJpegKeepsItsExifWithTheOrientationReset)
{
    QTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("plain.jpg"));
    ASSERT_TRUE(SaveImageDib(plain, gradient(64, 32), 24, 90));
    const QString src = dir.filePath(QStringLiteral("turned.jpg"));
    writeFile(src, WithExifPayload(readFile(plain), exifPayload(6)));
    const ExifRead before = readExif(src);
    ASSERT_TRUE(before.present);
    ASSERT_EQ(before.orientation, 6);

    const QImage upright = ComposeImageForSave(src);
    ASSERT_EQ(upright.size(), QSize(32, 64)) << "decoded upright";
    const QString out = dir.filePath(QStringLiteral("out.jpg"));
    ASSERT_TRUE(SaveImageFile(out, upright, 24, 85, src));
    const ExifRead after = readExif(out);
    EXPECT_TRUE(after.present);
    EXPECT_EQ(after.orientation, 1);
    EXPECT_EQ(after.make, QStringLiteral("Vorlane"));
    EXPECT_EQ(fileSize(out), QSize(32, 64)) << "not turned a second time when read back";

    // Saved over itself: the block is read before the file is replaced.
    ASSERT_TRUE(SaveImageFile(src, upright, 24, 85, src));
    EXPECT_EQ(readExif(src).orientation, 1);
    EXPECT_EQ(readExif(src).make, QStringLiteral("Vorlane"));
    // Another type carries no EXIF; a JPEG without EXIF gets none.
    ASSERT_TRUE(SaveImageFile(dir.filePath(QStringLiteral("p.jpg")), upright, 24, 85, plain));
    EXPECT_FALSE(readExif(dir.filePath(QStringLiteral("p.jpg"))).present);
}

TEST(ImageSave, AFailedSaveLeavesTheTargetAndNoTemporaryFile)
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("keep.tif"));
    writeFile(target, "original bytes");
    EXPECT_FALSE(SaveImageFile(target, gradient(8, 8), 24, 85));
    EXPECT_EQ(readFile(target), QByteArray("original bytes"));
    EXPECT_FALSE(SaveImageFile(dir.filePath(QStringLiteral("x.jpg")), QImage(), 24, 85));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList { QStringLiteral("keep.tif") });
    // A replaced file keeps its permissions.
    const QString jpg = dir.filePath(QStringLiteral("mode.jpg"));
    ASSERT_TRUE(SaveImageDib(jpg, gradient(8, 8), 24, 85));
    ASSERT_TRUE(QFile::setPermissions(jpg, QFile::ReadOwner | QFile::WriteOwner));
    ASSERT_TRUE(SaveImageFile(jpg, gradient(8, 8), 24, 85));
    struct stat st {
    };
    ASSERT_EQ(::stat(QFile::encodeName(jpg).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(ImageSave, FullSizeDecodeAndDepths)
{
    QTemporaryDir dir;
    const QString big = dir.filePath(QStringLiteral("big.jpg"));
    ASSERT_TRUE(SaveImageDib(big, gradient(2400, 1600), 24, 80));
    EXPECT_EQ(ComposeImageForSave(big).size(), QSize(2400, 1600));
    EXPECT_EQ(SaveDepthFor(32), 24);
    EXPECT_EQ(SaveDepthFor(24), 24);
    EXPECT_EQ(SaveDepthFor(8), 8);
    EXPECT_EQ(SaveDepthFor(1), 1);
}

TEST(ImageSave, ExifSegmentsOfAnyBytesNeverCrash)
{
    const QByteArray good = exifPayload(3);
    EXPECT_EQ(JpegExifPayload(QByteArray()), QByteArray());
    EXPECT_EQ(JpegExifPayload(QByteArray("\xFF\xD8\xFF\xE1\xFF\xFF", 6)), QByteArray()) << "a length past the end";
    EXPECT_EQ(WithExifPayload(QByteArray("not a jpeg"), good), QByteArray("not a jpeg"));
    // Every truncation of a valid block, and flipped bytes: no crash, and what comes
    // back is either nothing or a block that starts as EXIF does.
    for (int n = 0; n <= good.size(); ++n) {
        const QByteArray cut = UprightExifPayload(good.left(n), 10, 10, false);
        EXPECT_TRUE(cut.isEmpty() || cut.startsWith(QByteArray("Exif\0\0", 6)));
    }
    for (int i = 6; i < good.size(); ++i) {
        QByteArray bad = good;
        bad[i] = char(bad[i] ^ 0xA5);
        const QByteArray out = UprightExifPayload(bad, 10, 10, true);
        EXPECT_TRUE(out.isEmpty() || out.startsWith(QByteArray("Exif\0\0", 6)));
    }
}
