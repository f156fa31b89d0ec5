#include "imaging/Prefetch.h"

#include <QMutex>
#include <QMutexLocker>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <utility>
#include <vector>

using namespace v7;

namespace
{

// A loader whose images tell what was decoded: 4 x 4 at reduction 1, one pixel
// less per side for each halving; red for "a", blue otherwise.
class CountingLoader
{
public:
    Prefetcher::Loader loader()
    {
        return [this](const QString &file, int reduction, QByteArray *) {
            {
                QMutexLocker lock(&m_mutex);
                m_calls.emplace_back(file, reduction);
            }
            const int side = reduction >= 8 ? 1 : reduction == 4 ? 2 : reduction == 2 ? 3 : 4;
            QImage img(side, side, QImage::Format_RGB32);
            img.fill(file == QLatin1String("a") ? Qt::red : Qt::blue);
            return img;
        };
    }
    std::vector<std::pair<QString, int>> calls() const
    {
        QMutexLocker lock(&m_mutex);
        return m_calls;
    }

private:
    mutable QMutex m_mutex;
    std::vector<std::pair<QString, int>> m_calls;
};

using Calls = std::vector<std::pair<QString, int>>;

} // namespace

TEST(Prefetch, PreparedImagesAreHandedOverOnceAndOthersDecodedOnTheSpot)
{
    CountingLoader decodes;
    Prefetcher p(decodes.loader(), 2);
    p.prefetch(QStringLiteral("a"));
    p.prefetch(QStringLiteral("a")); // already under way: not started twice
    EXPECT_EQ(p.decodesStarted(), 1);
    EXPECT_EQ(p.take(QStringLiteral("a")).pixelColor(0, 0), QColor(Qt::red));
    EXPECT_EQ(p.served(), 1);
    EXPECT_EQ(decodes.calls().size(), 1u);
    EXPECT_TRUE(p.pending().isEmpty());
    EXPECT_EQ(p.take(QStringLiteral("b")).pixelColor(0, 0), QColor(Qt::blue)); // not prepared: decoded now
    EXPECT_EQ(decodes.calls().size(), 2u);
    EXPECT_EQ(p.served(), 1);

    // No more than keep images are held; the oldest goes first.
    p.prefetch(QStringLiteral("1"));
    p.prefetch(QStringLiteral("2"));
    p.prefetch(QStringLiteral("3"));
    EXPECT_EQ(p.pending(), QStringList({ "2", "3" }));
}

TEST(Prefetch, APreparedImageServesOnlyARequestItIsLargeEnoughFor)
{
    CountingLoader decodes;
    auto owner = std::make_unique<Prefetcher>(decodes.loader(), 2);
    Prefetcher &p = *owner;

    // Prepared at 1/4 for a fitted view; then the fit changed and the whole image
    // is asked for: the small one must not be handed over.
    p.prefetch(QStringLiteral("a"), 4);
    QImage image = p.take(QStringLiteral("a"), 1);
    EXPECT_EQ(image.size(), QSize(4, 4));
    EXPECT_EQ(p.served(), 0);
    EXPECT_TRUE(p.pending().isEmpty()); // the unfit one is not kept either

    // Prepared larger than asked (whole, asked 1/8): it serves.
    p.prefetch(QStringLiteral("b"), 1);
    EXPECT_EQ(p.take(QStringLiteral("b"), 8).size(), QSize(4, 4));
    // The same reduction serves, a larger one does not.
    p.prefetch(QStringLiteral("c"), 2);
    EXPECT_EQ(p.take(QStringLiteral("c"), 2).size(), QSize(3, 3));
    p.prefetch(QStringLiteral("d"), 8);
    EXPECT_EQ(p.take(QStringLiteral("d"), 4).size(), QSize(2, 2));
    EXPECT_EQ(p.served(), 2);
    // Dropped decodes run to their end, in any order, by the time the prefetcher goes.
    owner.reset();
    Calls calls = decodes.calls();
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(calls, (Calls { { "a", 1 }, { "a", 4 }, { "b", 1 }, { "c", 2 }, { "d", 4 }, { "d", 8 } }));
}

TEST(Prefetch, AskingAgainForALargerSizeReplacesThePreparedImage)
{
    CountingLoader decodes;
    auto owner = std::make_unique<Prefetcher>(decodes.loader(), 2);
    Prefetcher &p = *owner;
    p.prefetch(QStringLiteral("a"), 8);
    p.prefetch(QStringLiteral("n"), 1);
    // The zoom went up while "a" was waiting: it is prepared again, larger, and
    // the next step takes that one without a decode on the spot.
    p.prefetch(QStringLiteral("a"), 2);
    EXPECT_EQ(p.decodesStarted(), 3);
    EXPECT_EQ(p.pending(), QStringList({ "n", "a" }));
    EXPECT_EQ(p.take(QStringLiteral("a"), 2).size(), QSize(3, 3));
    EXPECT_EQ(p.served(), 1);
    // A smaller size asked for later keeps the larger one.
    p.prefetch(QStringLiteral("n"), 4);
    EXPECT_EQ(p.decodesStarted(), 3);
    EXPECT_EQ(p.take(QStringLiteral("n"), 4).size(), QSize(4, 4));
    owner.reset(); // the dropped decode has run by now
    EXPECT_EQ(decodes.calls().size(), 3u);
}
