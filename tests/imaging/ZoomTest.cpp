#include "imaging/Zoom.h"

#include <gtest/gtest.h>

using namespace v7;

TEST(ZoomFactor, ShortestText)
{
    const std::pair<std::int64_t, const char *> rows[] = { { 12500, "1.25" },
        { 5000, "0.5" },
        { 30000, "3" },
        { 100000, "10" },
        { 12345, "1.2345" },
        { 10, "0.001" },
        { 1, "0.0001" },
        { 0, "0" },
        { -2500, "-0.25" } };
    for (const auto &[scaled, text] : rows)
        EXPECT_EQ(ZoomFactor::fromScaled(scaled).text(), QString::fromLatin1(text)) << scaled;
    // One zoom-in from 1.
    EXPECT_EQ(ZoomFactor::fromWhole(1).stepped(u"+").statusText(), "Zoom: 1.25X");
}

TEST(ZoomFactor, ZeroReadsAsOne)
{
    const ZoomFactor unset;
    EXPECT_TRUE(unset.isUnset());
    EXPECT_EQ(unset.effective(), ZoomFactor::fromWhole(1));
    EXPECT_EQ(unset.apply(123), 123);
    EXPECT_EQ(ZoomFactor::fromDouble(1.25).scaled(), 12500);
}

TEST(ZoomFactor, ApplyRoundsHalvesToEven)
{
    const std::tuple<std::int64_t, int, std::int64_t> rows[] = { { 20000, 100, 200 },
        { 20000, 50, 100 },
        { 12500, 3, 4 },
        { 5000, 5, 2 },
        { 5000, 7, 4 },
        { 100000, 6000, 60000 },
        { 2500, 1, 0 } };
    for (const auto &[scaled, side, expected] : rows)
        EXPECT_EQ(ZoomFactor::fromScaled(scaled).apply(side), expected) << scaled << " x " << side;
}

TEST(ZoomFactor, StepStaysInRange)
{
    const std::tuple<std::int64_t, const char *, std::int64_t> rows[] = { { 0, "+", 12500 },
        { 10000, "+", 12500 },
        { 10000, "-", 7500 },
        { 100000, "+", 100000 },
        { 99000, "+", 99000 },
        { 5000, "-", 5000 },
        { 7500, "-", 5000 },
        { 6000, "-", 6000 },
        { 30000, "", 30000 },
        { 0, "", 10000 },
        { 20000, "*", 20000 } };
    for (const auto &[from, op, to] : rows)
        EXPECT_EQ(ZoomFactor::fromScaled(from).stepped(QString::fromLatin1(op)).scaled(), to) << from << op;
    EXPECT_TRUE(ZoomFactor::fromScaled(5000).inRange());
    EXPECT_TRUE(ZoomFactor::fromScaled(100000).inRange());
    EXPECT_FALSE(ZoomFactor::fromScaled(4999).inRange());
    EXPECT_FALSE(ZoomFactor::fromScaled(100001).inRange());
}
