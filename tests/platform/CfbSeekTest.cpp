// Stream positions beyond the end: reads there give nothing, and a write there
// grows the stream over the gap, in the mini stream and in regular sectors.
#include "CfbTestUtil.h"

#include <QTemporaryDir>

using namespace v7::cfb;
using v7test::patternBytes;

namespace
{

constexpr std::uint32_t RW = mode::ReadWrite | mode::ShareExclusive;
constexpr std::uint32_t RT = mode::Read | mode::Transacted | mode::NoSnapshot;
constexpr std::uint32_t RX = mode::Read | mode::ShareExclusive;

} // namespace

TEST(CfbSeek, ReadsPastTheEndGiveNothingAndKeepThePosition)
{
    QTemporaryDir dir;
    const QString file = dir.path() + "/s.cfb";
    // Sizes in the mini stream, at its cutoff and in regular sectors; the neighbour
    // streams make sure there are bytes behind each stream's last sector.
    const int sizes[] = { 1, 100, 4095, 4096, 5000 };
    {
        Storage root = Storage::create(file, RW);
        for (int sz : sizes) {
            Stream s = root.createStream(QString::number(sz), RW);
            ASSERT_EQ(s.write(patternBytes(std::uint32_t(sz), sz)), Status::Ok);
            Stream n = root.createStream("n" + QString::number(sz), RW);
            ASSERT_EQ(n.write(patternBytes(7, 3000)), Status::Ok);
        }
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    Storage root = Storage::open(file, RT);
    ASSERT_TRUE(root.isOpen());
    for (int sz : sizes) {
        SCOPED_TRACE(sz);
        Stream s = root.openStream(QString::number(sz), RX);
        ASSERT_TRUE(s.isOpen());
        for (std::int64_t past : { 1, 63, 64, 511, 512, 100000 }) {
            std::uint64_t pos = 0;
            ASSERT_EQ(s.seek(past, Stream::End, &pos), Status::Ok);
            EXPECT_EQ(pos, std::uint64_t(sz + past));
            char buf[700];
            std::memset(buf, 'x', sizeof buf);
            std::uint64_t got = 99;
            EXPECT_EQ(s.read(buf, sizeof buf, &got), Status::Ok);
            EXPECT_EQ(got, 0u) << past;
            EXPECT_EQ(s.position(), std::uint64_t(sz + past));
            EXPECT_EQ(buf[0], 'x');
            // Seeking back from there reads the stream's own last bytes.
            ASSERT_EQ(s.seek(-past - 1, Stream::Current, &pos), Status::Ok);
            EXPECT_EQ(pos, std::uint64_t(sz - 1));
            ASSERT_EQ(s.read(buf, sizeof buf, &got), Status::Ok);
            ASSERT_EQ(got, 1u);
            EXPECT_EQ(buf[0], patternBytes(std::uint32_t(sz), sz).back());
        }
        // Exactly at the end.
        ASSERT_EQ(s.seek(0, Stream::End), Status::Ok);
        char c = 'x';
        std::uint64_t got = 99;
        EXPECT_EQ(s.read(&c, 1, &got), Status::Ok);
        EXPECT_EQ(got, 0u);
        // Before the start is refused and the position is kept.
        EXPECT_EQ(s.seek(-sz - 1, Stream::End), Status::InvalidParameter);
        EXPECT_EQ(s.position(), std::uint64_t(sz));
    }
}

TEST(CfbSeek, AWritePastTheEndGrowsTheStreamOverTheGap)
{
    QTemporaryDir dir;
    const QString file = dir.path() + "/g.cfb";
    struct Case {
        const char *name;
        int size, gap;
    } cases[] = {
        { "mini", 10, 30 }, // stays in the mini stream
        { "toRegular", 100, 5000 }, // moves to regular sectors
        { "regular", 6000, 1500 },
    };
    {
        Storage root = Storage::create(file, RW);
        // Freed sectors first, so the gap and the new end land on reused ones.
        for (int i = 0; i < 4; ++i) {
            Stream junk = root.createStream("junk" + QString::number(i), RW);
            ASSERT_EQ(junk.write(QByteArray(9000, char(0xAB))), Status::Ok);
            Stream mjunk = root.createStream("mjunk" + QString::number(i), RW);
            ASSERT_EQ(mjunk.write(QByteArray(2000, char(0xCD))), Status::Ok);
        }
        ASSERT_EQ(root.commit(), Status::Ok);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(root.destroyElement("junk" + QString::number(i)), Status::Ok);
            ASSERT_EQ(root.destroyElement("mjunk" + QString::number(i)), Status::Ok);
        }
        for (const Case &c : cases) {
            Stream s = root.createStream(c.name, RW);
            ASSERT_EQ(s.write(patternBytes(1, c.size)), Status::Ok);
            ASSERT_EQ(s.seek(c.gap, Stream::Current), Status::Ok);
            ASSERT_EQ(s.write("end", 3), Status::Ok);
        }
        ASSERT_EQ(root.commit(), Status::Ok);
    }
    v7test::expectClean(file);
    Storage root = Storage::open(file, RT);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Stream s = root.openStream(c.name, RX);
        QByteArray b;
        ASSERT_EQ(s.readAll(&b), Status::Ok);
        ASSERT_EQ(b.size(), c.size + c.gap + 3);
        EXPECT_EQ(b.left(c.size), patternBytes(1, c.size));
        // The gap's bytes are not defined (as in structured storage); the ones
        // around it are.
        EXPECT_EQ(b.right(3), QByteArray("end"));
    }
}
