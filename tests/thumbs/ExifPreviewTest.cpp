// Thumbnails from a JPEG's embedded EXIF preview: when the preview stands in for the
// image, when it is refused, orientation on both paths, and the setting.
#include "CameraJpeg.h"
#include "EngineTestSupport.h"

#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

// The main image's halves carry blue, the preview's do not: the thumbnail's blue
// channel tells which one its pixels came from.
const QColor MainLeft(255, 0, 160), MainRight(0, 255, 160);
const QColor PreviewLeft(255, 0, 0), PreviewRight(0, 255, 0);

bool fromPreview(const QImage &thumb)
{
    return thumb.pixelColor(thumb.width() / 4, thumb.height() / 2).blue() < 60
        && thumb.pixelColor(3 * thumb.width() / 4, thumb.height() / 2).blue() < 60;
}
bool fromImage(const QImage &thumb)
{
    return thumb.pixelColor(thumb.width() / 4, thumb.height() / 2).blue() > 100
        && thumb.pixelColor(3 * thumb.width() / 4, thumb.height() / 2).blue() > 100;
}
bool reddish(QColor c)
{
    return c.red() > 180 && c.green() < 70;
}
bool greenish(QColor c)
{
    return c.green() > 180 && c.red() < 70;
}

class ExifPreviewTest : public EngineHome
{
protected:
    QString put(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_folder + '/' + name;
        writeFile(path, bytes);
        return path;
    }
    static QImage thumb(const QString &path, bool usePreview)
    {
        Settings cfg = settings();
        cfg.UseEmbeddedThumbs = usePreview;
        return MakeThumbImage(path, cfg);
    }
};

TEST_F(ExifPreviewTest, APreviewThatServesGivesThePixelsAtTheDecodedSizeAndPlace)
{
    struct Case {
        int w, h, pw, ph;
    } cases[] = {
        { 800, 600, 160, 120 }, // the common camera case: 100 x 75 decoded, 96 x 72 fitted
        { 801, 601, 160, 120 }, // odd sizes: the decoded size rounds up, the fit truncates
        { 1200, 800, 160, 107 }, // 3:2, the preview's height rounded
        { 150, 100, 150, 100 }, // no reduction; a preview the image's own size
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << 'x' << c.h << " preview " << c.pw << 'x' << c.ph);
        const QString path = put("a.jpg",
            cameraJpeg(
                twoTone(c.w, c.h, MainLeft, MainRight), jpegBytes(twoTone(c.pw, c.ph, PreviewLeft, PreviewRight))));
        const QImage decoded = thumb(path, false);
        const QImage previewed = thumb(path, true);
        ASSERT_FALSE(decoded.isNull());
        ASSERT_FALSE(previewed.isNull());
        EXPECT_TRUE(fromImage(decoded));
        EXPECT_TRUE(fromPreview(previewed));
        EXPECT_EQ(previewed.size(), decoded.size());
        EXPECT_EQ(previewed.format(), decoded.format());
        // The halves stay where they are: nothing is mirrored or cropped.
        EXPECT_TRUE(reddish(previewed.pixelColor(1, previewed.height() / 2)));
        EXPECT_TRUE(greenish(previewed.pixelColor(previewed.width() - 2, previewed.height() / 2)));
    }
}

TEST_F(ExifPreviewTest, PreviewsThatDoNotServeAreRefusedForTheImage)
{
    const QImage main43 = twoTone(800, 600, MainLeft, MainRight);
    const QByteArray good = jpegBytes(twoTone(160, 120, PreviewLeft, PreviewRight));
    QByteArray garbage("\xFF\xD8\xFF\xDB", 4);
    garbage += QByteArray(300, '\x55');
    const struct {
        const char *what;
        QByteArray file;
    } cases[] = {
        { "another aspect ratio", cameraJpeg(main43, jpegBytes(twoTone(160, 90, PreviewLeft, PreviewRight))) },
        { "4:3 preview with bars for a 16:9 image", cameraJpeg(twoTone(800, 450, MainLeft, MainRight), good) },
        { "two pixels off the fitted height",
            cameraJpeg(main43, jpegBytes(twoTone(96, 74, PreviewLeft, PreviewRight))) },
        { "smaller than the fitted size", cameraJpeg(main43, jpegBytes(twoTone(80, 60, PreviewLeft, PreviewRight))) },
        { "cut short", cameraJpeg(main43, good.left(good.size() / 2)) },
        { "not a JPEG inside", cameraJpeg(main43, garbage) },
        { "length beyond the segment", cameraJpeg(main43, good, 0, 100000) },
        { "no preview", jpegBytes(main43) },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_FALSE(c.file.isEmpty());
        const QString path = put("b.jpg", c.file);
        const QImage decoded = thumb(path, false);
        const QImage t = thumb(path, true);
        ASSERT_FALSE(t.isNull());
        EXPECT_TRUE(fromImage(t));
        EXPECT_EQ(t, decoded);
    }
}

TEST_F(ExifPreviewTest, AnOrientedPhotoIsUprightEitherWay)
{
    // Stored sideways: the stored left half is red. Orientation 6 shows the stored
    // left side at the top, 8 at the bottom, 3 on the right.
    const QByteArray preview = jpegBytes(twoTone(160, 120, PreviewLeft, PreviewRight));
    const QImage main = twoTone(800, 600, MainLeft, MainRight);
    for (int orientation : { 6, 8, 3 }) {
        const QString path = put("o.jpg", cameraJpeg(main, preview, orientation));
        for (bool usePreview : { true, false }) {
            SCOPED_TRACE(testing::Message() << "orientation " << orientation << " preview " << usePreview);
            const QImage t = thumb(path, usePreview);
            ASSERT_FALSE(t.isNull());
            const int w = t.width(), h = t.height();
            if (orientation == 3) {
                EXPECT_EQ(t.size(), QSize(96, 72));
                EXPECT_TRUE(greenish(t.pixelColor(1, h / 2)));
                EXPECT_TRUE(reddish(t.pixelColor(w - 2, h / 2)));
            } else {
                EXPECT_EQ(t.size(), QSize(54, 72)); // 75 x 100 decoded, fitted to the box's height
                const QColor top = t.pixelColor(w / 2, 1), bottom = t.pixelColor(w / 2, h - 2);
                EXPECT_TRUE(orientation == 6 ? reddish(top) : greenish(top));
                EXPECT_TRUE(orientation == 6 ? greenish(bottom) : reddish(bottom));
            }
            EXPECT_TRUE(usePreview ? fromPreview(t) : fromImage(t));
        }
    }
}

TEST_F(ExifPreviewTest, TheSettingOffAlwaysDecodesTheImage)
{
    EXPECT_TRUE(settings().UseEmbeddedThumbs); // the default
    const QString path = put("c.jpg",
        cameraJpeg(twoTone(800, 600, MainLeft, MainRight), jpegBytes(twoTone(160, 120, PreviewLeft, PreviewRight))));
    QByteArray bytes;
    ASSERT_TRUE(MakeThumbBytes(path, &bytes));
    EXPECT_TRUE(fromPreview(decodeThumb(bytes)));

    settings().UseEmbeddedThumbs = false;
    SaveSettings();
    settings() = Settings();
    LoadSettings();
    EXPECT_FALSE(settings().UseEmbeddedThumbs);
    ASSERT_TRUE(MakeThumbBytes(path, &bytes));
    EXPECT_TRUE(fromImage(decodeThumb(bytes)));

    settings().UseEmbeddedThumbs = true;
    SaveSettings();
    settings() = Settings();
    settings().UseEmbeddedThumbs = false;
    LoadSettings();
    EXPECT_TRUE(settings().UseEmbeddedThumbs);
}

TEST(PreviewServesThumb, SizeAndShapeLimits)
{
    EXPECT_TRUE(previewServesThumb({ 160, 120 }, { 96, 72 }));
    EXPECT_TRUE(previewServesThumb({ 96, 72 }, { 96, 72 })); // exactly the fitted size
    EXPECT_TRUE(previewServesThumb({ 160, 121 }, { 96, 72 })); // 72.6: within one pixel
    EXPECT_TRUE(previewServesThumb({ 160, 107 }, { 96, 64 })); // 3:2 with a rounded side
    EXPECT_FALSE(previewServesThumb({ 160, 124 }, { 96, 72 })); // 74.4: more than one off
    EXPECT_FALSE(previewServesThumb({ 95, 72 }, { 96, 72 })); // one pixel too narrow
    EXPECT_FALSE(previewServesThumb({ 96, 71 }, { 96, 72 }));
    EXPECT_FALSE(previewServesThumb({ 160, 120 }, { 96, 54 })); // 4:3 preview of a 16:9 image
    EXPECT_FALSE(previewServesThumb({ 120, 160 }, { 96, 72 })); // the other way round
    EXPECT_FALSE(previewServesThumb({ 160, 120 }, {})); // nothing to fit
}

} // namespace
