// Pictures with a colour profile are shown in sRGB: a Display P3 file lands at the
// values lcms2's own command-line tools give, a file without a profile stays as it
// is, and a profile that does not read leaves the picture unconverted.
#include "imaging/ColourManage.h"

#include "ImagingTestUtil.h"
#include "TestEnv.h"
#include "app/Settings.h"
#include "imaging/Codecs.h"
#include "imaging/CodecsInternal.h"
#include "imaging/ImageLoad.h"
#include "imaging/Prefetch.h"
#include "thumbs/ThumbMain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

// Patches inside the sRGB gamut once converted, and a saturated red beyond it.
const QRgb kPatches[] = { qRgb(200, 90, 80), qRgb(60, 150, 90), qRgb(90, 100, 190), qRgb(225, 30, 30) };
constexpr int Patch = 32;

QImage patches()
{
    QImage img(Patch * 4, Patch, QImage::Format_RGB888);
    for (int i = 0; i < 4; ++i)
        for (int y = 0; y < Patch; ++y)
            for (int x = 0; x < Patch; ++x)
                img.setPixel(i * Patch + x, y, kPatches[i]);
    return img;
}

QRgb centre(const QImage &img, int patch)
{
    return img.pixel(patch * Patch + Patch / 2, Patch / 2);
}

int channelDiff(QRgb a, QRgb b)
{
    return std::max({ std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b)) });
}

class ColourManage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char *tool : { "convert", "tificc", "jpgicc", "python3" })
            if (!haveTool(QString::fromLatin1(tool)))
                GTEST_SKIP() << tool << " is not installed (Debian: imagemagick, liblcms2-utils, python3)";
        const QString script =
            QDir(qEnvironmentVariable("V7_SAMPLES", QStringLiteral(V7_SAMPLES_DIR))).filePath("make-p3-profile.py");
        ASSERT_TRUE(runTool(QStringLiteral("python3"), { script, path("p3.icc") }));
        m_p3 = readFile(path("p3.icc"));
        ASSERT_GT(m_p3.size(), 128);
        ASSERT_TRUE(patches().save(path("plain.png")));
        // An untagged picture given a profile keeps its numbers: they are P3 values now.
        ASSERT_TRUE(runTool(QStringLiteral("convert"),
            { path("plain.png"),
                QStringLiteral("-profile"),
                path("p3.icc"),
                QStringLiteral("-depth"),
                QStringLiteral("8"),
                path("p3.tif") }));
        ASSERT_TRUE(runTool(QStringLiteral("tificc"), { path("p3.tif"), path("ref.tif") }));
        m_reference = peerDecode(path("ref.tif"));
        ASSERT_EQ(m_reference.size(), patches().size());
    }

    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    // Every patch within tolerance of the reference transform's value.
    void expectReference(const QImage &img, int tolerance, int scale = 1) const
    {
        ASSERT_FALSE(img.isNull());
        for (int i = 0; i < 4; ++i) {
            const QRgb want = centre(m_reference, i);
            const QRgb got = img.pixel((i * Patch + Patch / 2) / scale, Patch / 2 / scale);
            EXPECT_LE(channelDiff(got, want), tolerance)
                << "patch " << i << ": got " << qRed(got) << "," << qGreen(got) << "," << qBlue(got) << " want "
                << qRed(want) << "," << qGreen(want) << "," << qBlue(want);
        }
    }

    QTemporaryDir m_dir;
    QByteArray m_p3;
    QImage m_reference;
};

} // namespace

TEST_F(ColourManage, DisplayP3FilesLandAtTheReferenceValues)
{
    // The reference moves every patch: an unconverted picture would fail below.
    for (int i = 0; i < 4; ++i)
        ASSERT_GT(channelDiff(centre(m_reference, i), kPatches[i]), 4) << i;

    expectReference(LoadImageDib(path("p3.tif"), 24, true), 1);
    expectReference(LoadImageDdb(path("p3.tif"), 32, true), 1);

    ASSERT_TRUE(runTool(
        QStringLiteral("convert"), { path("plain.png"), QStringLiteral("-profile"), path("p3.icc"), path("p3.png") }));
    expectReference(LoadImageDib(path("p3.png"), 24, true), 1);

    // JPEG: jpgicc converts the decoded pixels and writes them again at quality 100.
    ASSERT_TRUE(runTool(QStringLiteral("convert"),
        { path("plain.png"),
            QStringLiteral("-profile"),
            path("p3.icc"),
            QStringLiteral("-quality"),
            QStringLiteral("100"),
            QStringLiteral("-sampling-factor"),
            QStringLiteral("1x1"),
            path("p3.jpg") }));
    ASSERT_TRUE(runTool(QStringLiteral("jpgicc"), { QStringLiteral("-q100"), path("p3.jpg"), path("ref.jpg") }));
    const QImage jpegRef = peerDecode(path("ref.jpg"));
    const QImage ours = LoadImageDib(path("p3.jpg"), 24, true);
    ASSERT_EQ(ours.size(), jpegRef.size());
    for (int i = 0; i < 4; ++i)
        EXPECT_LE(channelDiff(centre(ours, i), centre(jpegRef, i)), 2) << i;
    expectReference(ours, 3);
}

TEST_F(ColourManage, ThumbnailsAndPalettesAreConvertedToo)
{
    // A 4x larger picture makes a thumbnail through the reduced decode and shrink.
    ASSERT_TRUE(runTool(QStringLiteral("convert"),
        { path("plain.png"),
            QStringLiteral("-scale"),
            QStringLiteral("400%"),
            QStringLiteral("-profile"),
            path("p3.icc"),
            QStringLiteral("-quality"),
            QStringLiteral("100"),
            QStringLiteral("-sampling-factor"),
            QStringLiteral("1x1"),
            path("big.jpg") }));
    Settings cfg = settings();
    cfg.ThumbW = 128;
    cfg.ThumbH = 96;
    cfg.UseEmbeddedThumbs = false;
    const QImage thumb = MakeThumbImage(path("big.jpg"), cfg);
    ASSERT_EQ(thumb.size(), QSize(128, 32));
    expectReference(thumb, 3);

    // An 8-bit display: the palette is converted.
    const QImage pal = LoadImageDib(path("p3.tif"), 8, true);
    ASSERT_EQ(pal.format(), QImage::Format_Indexed8);
    expectReference(pal, 1);

    // The preview of a large JPEG decodes it reduced to the view: converted too.
    for (int reduction : { 2, 4 }) {
        const QImage preview = LoadPreviewImage(path("big.jpg"), reduction);
        ASSERT_EQ(preview.width(), 512 / reduction) << reduction;
        expectReference(preview.scaled(patches().size()), 3);
    }
}

TEST_F(ColourManage, WebpAndNclxProfilesConvert)
{
    // A WebP with the profile in its ICCP chunk.
    QByteArray simple;
    ASSERT_TRUE(codec::encodeWebp(patches(), 100, true, simple));
    QByteArray vp8x("\x20\0\0\0", 4);
    for (int v : { Patch * 4 - 1, Patch - 1 })
        for (int i = 0; i < 3; ++i)
            vp8x.append(char((v >> (8 * i)) & 0xFF));
    auto chunk = [](const char *id, const QByteArray &p) {
        QByteArray c(id, 4);
        for (int i = 0; i < 4; ++i)
            c.append(char((p.size() >> (8 * i)) & 0xFF));
        return c + p + (p.size() % 2 ? QByteArray(1, '\0') : QByteArray());
    };
    const QByteArray body = "WEBP" + chunk("VP8X", vp8x) + chunk("ICCP", m_p3) + simple.mid(12);
    QByteArray riff = "RIFF";
    for (int i = 0; i < 4; ++i)
        riff.append(char((body.size() >> (8 * i)) & 0xFF));
    writeFile(path("p3.webp"), riff + body);
    expectReference(LoadImageDib(path("p3.webp"), 24, true), 1);

    // nclx data naming the Display P3 primaries with the sRGB curve.
    NclxColour p3 { 12, 13, { 0.680f, 0.320f, 0.265f, 0.690f, 0.150f, 0.060f, 0.3127f, 0.3290f } };
    const QByteArray fromNclx = iccFromNclx(p3);
    ASSERT_FALSE(fromNclx.isEmpty());
    expectReference(convertToSrgb(patches(), fromNclx), 1);
    // sRGB itself, and transfers that need tone mapping, give no profile.
    NclxColour srgb { 1, 13, { 0.64f, 0.33f, 0.30f, 0.60f, 0.15f, 0.06f, 0.3127f, 0.3290f } };
    EXPECT_TRUE(iccFromNclx(srgb).isEmpty());
    NclxColour pq = p3;
    pq.transfer = 16;
    EXPECT_TRUE(iccFromNclx(pq).isEmpty());
}

TEST_F(ColourManage, NoProfileOrAnUnreadableOneLeavesThePictureAsItIs)
{
    ASSERT_TRUE(runTool(QStringLiteral("convert"),
        { path("plain.png"), QStringLiteral("-depth"), QStringLiteral("8"), path("plain.tif") }));
    EXPECT_EQ(maxChannelDiff(LoadImageDib(path("plain.tif"), 24, true), patches()), 0);
    EXPECT_EQ(maxChannelDiff(LoadImageDib(path("plain.png"), 24, true), patches()), 0);

    // A JPEG whose ICC chunk holds rubbish shows as the same JPEG without it.
    QByteArray plain;
    ASSERT_TRUE(codec::encodeJpeg(patches(), 95, plain));
    QByteArray app2 = QByteArray("ICC_PROFILE\0\x01\x01", 14) + QByteArray(300, 'x');
    QByteArray segment("\xFF\xE2", 2);
    segment.append(char((app2.size() + 2) >> 8));
    segment.append(char((app2.size() + 2) & 0xFF));
    writeFile(path("rubbish.jpg"), plain.left(2) + segment + app2 + plain.mid(2));
    writeFile(path("plain.jpg"), plain);
    const QImage withRubbish = LoadImageDib(path("rubbish.jpg"), 24, true);
    ASSERT_FALSE(withRubbish.isNull());
    EXPECT_EQ(maxChannelDiff(withRubbish, LoadImageDib(path("plain.jpg"), 24, true)), 0);
    EXPECT_FALSE(profileConverts(app2));

    // An sRGB profile converts nothing; a grey profile on colour pixels is ignored.
    const QByteArray srgb = iccFromNclx({ 1, 8, { 0.64f, 0.33f, 0.30f, 0.60f, 0.15f, 0.06f, 0.3127f, 0.3290f } });
    ASSERT_FALSE(srgb.isEmpty()); // linear sRGB does convert
    EXPECT_TRUE(profileConverts(srgb));
    EXPECT_TRUE(profileConverts(m_p3));
    EXPECT_EQ(convertToSrgb(patches(), QByteArray()), patches());
    EXPECT_EQ(convertToSrgb(patches(), QByteArray("not a profile")), patches());
}

TEST(ColourProfiles, EmbeddedProfilesAreFoundOnlyWhenWhole)
{
    // Two chunks in order give the profile; a missing chunk gives none.
    const QByteArray first = QByteArray("ICC_PROFILE\0\x01\x02", 14) + "abc";
    const QByteArray second = QByteArray("ICC_PROFILE\0\x02\x02", 14) + "def";
    auto seg = [](const QByteArray &p) {
        QByteArray s("\xFF\xE2", 2);
        s.append(char((p.size() + 2) >> 8));
        s.append(char((p.size() + 2) & 0xFF));
        return s + p;
    };
    const QByteArray tail("\xFF\xDA\0\x02", 4);
    const QByteArray both = QByteArray("\xFF\xD8", 2) + seg(second) + seg(first) + tail;
    EXPECT_EQ(embeddedIccProfile(reinterpret_cast<const unsigned char *>(both.constData()), std::size_t(both.size())),
        QByteArray("abcdef"));
    const QByteArray one = QByteArray("\xFF\xD8", 2) + seg(first) + tail;
    EXPECT_TRUE(embeddedIccProfile(reinterpret_cast<const unsigned char *>(one.constData()), std::size_t(one.size()))
                    .isEmpty());
    EXPECT_TRUE(embeddedIccProfile(nullptr, 0).isEmpty());
}
