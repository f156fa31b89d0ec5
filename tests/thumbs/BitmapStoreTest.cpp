#include "EngineTestSupport.h"
#include "thumbs/ThumbX.h"

#include <QPainter>
#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

std::int64_t g_now = 0;
std::int64_t fakeClock()
{
    return g_now;
}

class BitmapStoreTest : public EngineHome
{
protected:
    void SetUp() override
    {
        EngineHome::SetUp();
        settings().CacheThumbs = true;
        settings().ThumbColor = 0x000000FF; // red
        settings().ThumbColorFrame = 0x0000FF00; // green
        g_now = 1000;
    }
    QByteArray jpeg(int seed)
    {
        QByteArray b;
        EXPECT_TRUE(wrjpgstreamdib(testPicture(96, 72, seed), 75, b));
        return b;
    }
    FakeHost m_host;
};

TEST(BitmapStoreText, CompletionText)
{
    EXPECT_EQ(BitmapStore::completionText(25, 1500), "25 Thumbnails processed in 1.500 sec");
    EXPECT_EQ(BitmapStore::completionText(1, 7), "1 Thumbnails processed in 0.007 sec");
    EXPECT_EQ(BitmapStore::completionText(3000, 1234567), "3000 Thumbnails processed in 1,234.567 sec");
}

TEST_F(BitmapStoreTest, TheDecoderReusesOneBufferForEverySize)
{
    ThumbDecoder decoder;
    QByteArray landscape, small, portrait;
    ASSERT_TRUE(wrjpgstreamdib(testPicture(96, 72, 1), 75, landscape));
    ASSERT_TRUE(wrjpgstreamdib(testPicture(40, 30, 2), 75, small));
    ASSERT_TRUE(wrjpgstreamdib(testPicture(54, 72, 3), 75, portrait));
    const uchar *pixels = nullptr;
    for (const QByteArray *b : { &landscape, &small, &portrait, &landscape, &small }) {
        const QImage &image = decoder.decode(b->constData(), std::size_t(b->size()));
        const QImage expected = decodeThumb(*b).convertToFormat(QImage::Format_RGB888);
        ASSERT_EQ(image.size(), expected.size());
        EXPECT_EQ(image.convertToFormat(QImage::Format_RGB888), expected);
        if (!pixels)
            pixels = image.constBits();
        EXPECT_EQ(image.constBits(), pixels) << image.width() << "x" << image.height();
    }
}

TEST_F(BitmapStoreTest, AcceptThumbKeepsBytesAndCompletes)
{
    BitmapStore store(&m_host, { 0, 3, 3, 3, 0, 0 }, m_folder);
    store.setClockForTest(fakeClock);
    const QByteArray a = jpeg(1), b = jpeg(2);
    EXPECT_TRUE(store.AcceptThumb(2, a.constData(), int(a.size()), false));
    EXPECT_EQ(m_host.repaints, 0);
    EXPECT_FALSE(store.painted());
    EXPECT_TRUE(store.AcceptThumb(0, nullptr, 0, true)); // counted, not kept; the refresh paints
    EXPECT_EQ(m_host.repaints, 1);
    EXPECT_TRUE(store.painted());
    EXPECT_FALSE(store.hasThumb(0));
    EXPECT_FALSE(store.finished());
    g_now = 2500;
    EXPECT_TRUE(store.AcceptThumb(1, b.constData(), int(b.size()), true)); // painted already
    EXPECT_EQ(store.processed(), 3);
    EXPECT_TRUE(store.finished());
    EXPECT_EQ(store.thumbBytes(2), a);
    EXPECT_EQ(store.thumbBytes(1), b);
    EXPECT_EQ(m_host.panels.value(5), "3 Thumbnails processed in 1.500 sec");
    EXPECT_EQ(m_host.postDisplays, 1);
    EXPECT_EQ(m_host.repaints, 2); // the first refresh, then the end
}

TEST_F(BitmapStoreTest, CancelStopsTheJobAndLeavesProcessedZero)
{
    const QStringList files = makeJpegFolder(m_folder, 6, 40, 30);
    BitmapStore store(&m_host, { 0, 3, 6, 6, 0, 0 }, m_folder);
    // The window's cancel arrives while the third thumbnail is delivered.
    struct CancelOnThird : DirectStoreLink {
        BitmapStore *store;
        int n = 0;
        explicit CancelOnThird(BitmapStore *s)
            : DirectStoreLink(s, false)
            , store(s)
        {
        }
        bool deliver(const ThumbDelivery &d) override
        {
            if (++n == 3)
                store->RequestCancel();
            return DirectStoreLink::deliver(d);
        }
    } cancelling(&store);
    ThumbMain job(&cancelling);
    job.setJob(m_folder, files);
    job.RunThumbJob();
    EXPECT_EQ(cancelling.n, 3);
    EXPECT_EQ(store.processed(), 0);
    EXPECT_EQ(store.expected(), 0);
    EXPECT_TRUE(store.finished());
    EXPECT_EQ(cachedThumbs(m_folder).size(), 3); // what was stored is indexed
}

TEST_F(BitmapStoreTest, ForgetThumb)
{
    BitmapStore store(&m_host, { 0, 3, 5, 5, 0, 0 }, m_folder);
    const QByteArray a = jpeg(1);
    store.AcceptThumb(3, a.constData(), int(a.size()), false);
    store.ForgetThumb(4); // never received
    store.ForgetThumb(-1);
    EXPECT_TRUE(store.hasThumb(3));
    EXPECT_EQ(store.processed(), 1);
    store.ForgetThumb(3);
    EXPECT_FALSE(store.hasThumb(3));
    EXPECT_TRUE(store.thumbBytes(3).isEmpty());
    store.ForgetThumb(3);
}

TEST_F(BitmapStoreTest, DrawStoredAndCachedThumbs)
{
    const QStringList files = makeJpegFolder(m_folder, 2, 40, 30); // 40 x 30: centred, background around
    m_host.files = files;
    BitmapStore store(&m_host, { 0, 3, 2, 2, 0, 0 }, m_folder);
    DirectStoreLink link(&store, false);
    ThumbMain job(&link);
    job.setJob(m_folder, files);
    job.RunThumbJob();
    ASSERT_TRUE(store.hasThumb(1));

    auto draw = [&](bool cached, BitmapStore &s, int index) {
        QImage cell(96, 102, QImage::Format_RGB32);
        cell.fill(Qt::black);
        QPainter p(&cell);
        if (cached)
            s.DrawCachedThumb(p, index);
        else
            s.DrawStoredThumb(p, index);
        p.end();
        return cell;
    };
    const QImage stored = draw(false, store, 1);
    EXPECT_EQ(stored.pixelColor(0, 0), QColor(255, 0, 0)); // ThumbColor around the picture
    EXPECT_EQ(stored.pixelColor(5, 90), QColor(0, 255, 0)); // the caption strip
    const QColor centre = stored.pixelColor(48, 36);
    EXPECT_NE(centre, QColor(255, 0, 0));

    // A new store, nothing received: the same picture comes from the cache file.
    BitmapStore later(&m_host, { 0, 3, 2, 2, 0, 0 }, m_folder);
    EXPECT_EQ(draw(false, later, 1).pixelColor(48, 36), QColor(255, 0, 0));
    EXPECT_EQ(draw(true, later, 1), stored);

    // No cache for another folder: background and strip only.
    BitmapStore other(&m_host, { 0, 3, 2, 2, 0, 0 }, root() + "/elsewhere");
    EXPECT_FALSE(other.OpenDisplayCache());
    EXPECT_EQ(draw(true, other, 1).pixelColor(48, 36), QColor(255, 0, 0));
}

TEST_F(BitmapStoreTest, ThumbsDisplayKeepsAndShowsInArrivalCells)
{
    BitmapStore store(&m_host, { 0, 2, 3, 3, 0, 0 }, m_folder);
    store.setClockForTest(fakeClock);
    const QByteArray a = jpeg(1);
    EXPECT_TRUE(store.ThumbsDisplay(2, a));
    EXPECT_EQ(m_host.panels.value(5), "Processing thumbnail... ");
    EXPECT_TRUE(store.ThumbsDisplay(0, QByteArray()));
    EXPECT_TRUE(store.ThumbsDisplay(1, a));
    EXPECT_EQ(m_host.shown, (std::vector<int> { 2, 1 }));
    EXPECT_TRUE(store.finished());
    EXPECT_EQ(m_host.panels.value(5), "3 Thumbnails processed in 0.000 sec");
    store.RequestCancel();
    EXPECT_FALSE(store.ThumbsDisplay(1, a));
}

} // namespace

TEST_F(BitmapStoreTest, EveryArrivalIsAnnouncedAndAFileWithoutThumbnailIsMarked)
{
    // The host hears of each cell as it comes, not only at the one refresh.
    struct ArrivalHost : FakeHost {
        std::vector<int> arrived;
        void ThumbArrived(int index) override { arrived.push_back(index); }
    } host;
    BitmapStore store(&host, { 0, 3, 5, 5, 0, 0 }, m_folder);
    const QByteArray a = jpeg(1), b = jpeg(2);
    store.AcceptThumb(0, a.constData(), int(a.size()), true);
    store.AcceptThumb(1, b.constData(), int(b.size()), false);
    store.AcceptThumb(2, nullptr, 0, false); // a damaged file
    store.AcceptThumb(3, a.constData(), int(a.size()), false);
    EXPECT_EQ(host.arrived, std::vector<int>({ 0, 1, 2, 3 }));
    EXPECT_EQ(host.repaints, 1);

    EXPECT_TRUE(store.isBroken(2));
    EXPECT_TRUE(store.arrived(2));
    EXPECT_FALSE(store.isBroken(1));
    EXPECT_FALSE(store.arrived(4)); // not reached yet: neither
    const auto markPixels = [&](int index) {
        QImage cell(96, 72 + 30, QImage::Format_RGB32);
        QPainter p(&cell);
        store.DrawStoredThumb(p, index);
        p.end();
        int n = 0;
        for (int y = 0; y < 72; ++y)
            for (int x = 0; x < 96; ++x)
                n += QColor(cell.pixel(x, y)) == BrokenMarkColor ? 1 : 0;
        return n;
    };
    EXPECT_GT(markPixels(2), 20);
    EXPECT_EQ(markPixels(4), 0); // still waiting: background only
    EXPECT_EQ(markPixels(1), 0);

    // The external worker's empty delivery marks the cell the same way.
    BitmapStore external(&host, { 0, 3, 2, 2, 0, 0 }, m_folder);
    host.arrived.clear();
    external.ThumbsDisplay(1, QByteArray());
    EXPECT_TRUE(external.isBroken(1));
    EXPECT_EQ(host.arrived, std::vector<int>({ 1 }));
}
