#include "imaging/Prefetch.h"

#include <atomic>
#include <gtest/gtest.h>

using namespace v7;

TEST(Prefetch, PreparedImagesAreHandedOverOnceAndOthersDecodedOnTheSpot)
{
    std::atomic<int> loads { 0 };
    Prefetcher p(
        [&loads](const QString &file) {
            ++loads;
            QImage img(4, 4, QImage::Format_RGB32);
            img.fill(file == QLatin1String("a") ? Qt::red : Qt::blue);
            return img;
        },
        2);
    p.prefetch(QStringLiteral("a"));
    p.prefetch(QStringLiteral("a")); // already under way: not started twice
    EXPECT_EQ(p.decodesStarted(), 1);
    EXPECT_EQ(p.take(QStringLiteral("a")).pixelColor(0, 0), QColor(Qt::red));
    EXPECT_EQ(loads.load(), 1);
    EXPECT_TRUE(p.pending().isEmpty());
    EXPECT_EQ(p.take(QStringLiteral("b")).pixelColor(0, 0), QColor(Qt::blue)); // not prepared: decoded now
    EXPECT_EQ(loads.load(), 2);

    // No more than keep images are held; the oldest goes first.
    p.prefetch(QStringLiteral("1"));
    p.prefetch(QStringLiteral("2"));
    p.prefetch(QStringLiteral("3"));
    EXPECT_EQ(p.pending(), QStringList({ "2", "3" }));
}
