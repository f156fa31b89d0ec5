// The look into a HEIF file's derived items (grids and overlays) that guards
// libheif's canvas allocation.
#include "imaging/HeifBoxes.h"

#include "imaging/CodecsInternal.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace v7::codec;

namespace
{

void put(QByteArray &b, std::uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        b.append(char((v >> (8 * i)) & 0xFF));
}

QByteArray box(const char *type, const QByteArray &payload)
{
    QByteArray b;
    put(b, std::uint64_t(payload.size()) + 8, 4);
    return b + QByteArray(type, 4) + payload;
}

QByteArray fullBox(const char *type, int version, const QByteArray &payload)
{
    QByteArray head;
    put(head, std::uint64_t(version) << 24, 4);
    return box(type, head + payload);
}

struct Shape {
    std::uint64_t width, height;
    bool wide = false; // 32-bit sizes in the descriptor
    bool inIdat = true; // else in the file after "meta"
    int ilocVersion = 1;
    int infeVersion = 2;
    const char *type = "grid";
};

QByteArray descriptor(const Shape &s)
{
    QByteArray d;
    put(d, 0, 1);
    put(d, s.wide ? 1 : 0, 1);
    if (std::strcmp(s.type, "grid") == 0)
        put(d, 0, 2); // one row, one column
    else
        put(d, 0, 8); // the overlay's fill colour
    put(d, s.width, s.wide ? 4 : 2);
    put(d, s.height, s.wide ? 4 : 2);
    return d;
}

// A file with one derived item (ID 7) of the given shape.
QByteArray heifFile(const Shape &s)
{
    const QByteArray ftyp = box("ftyp", QByteArray("heic\0\0\0\0mif1heic", 16));
    const QByteArray data = descriptor(s);
    QByteArray infe;
    put(infe, 7, s.infeVersion == 2 ? 2 : 4);
    put(infe, 0, 2);
    infe += QByteArray(s.type, 4) + QByteArray(1, '\0');
    QByteArray iinfBody;
    put(iinfBody, 1, 2);
    const QByteArray iinf = fullBox("iinf", 0, iinfBody + fullBox("infe", s.infeVersion, infe));
    auto iloc = [&](std::uint64_t offset) {
        QByteArray b;
        put(b, 0x44, 1); // offset and length: 4 bytes
        put(b, s.ilocVersion == 0 ? 0x00 : 0x40, 1); // base offset: 4 bytes in versions 1 and 2
        put(b, 1, s.ilocVersion < 2 ? 2 : 4);
        put(b, 7, s.ilocVersion < 2 ? 2 : 4);
        if (s.ilocVersion > 0)
            put(b, s.inIdat ? 1 : 0, 2);
        put(b, 0, 2); // this file
        if (s.ilocVersion > 0)
            put(b, 0, 4);
        put(b, 1, 2);
        put(b, offset, 4);
        put(b, std::uint64_t(data.size()), 4);
        return fullBox("iloc", s.ilocVersion, b);
    };
    const QByteArray idat = s.inIdat ? box("idat", data) : QByteArray();
    const auto meta = [&](std::uint64_t offset) { return fullBox("meta", 0, iinf + iloc(offset) + idat); };
    const qsizetype mdatAt = ftyp.size() + meta(0).size();
    return ftyp + meta(s.inIdat ? 0 : std::uint64_t(mdatAt) + 8) + (s.inIdat ? QByteArray() : box("mdat", data));
}

Bytes bytesOf(const QByteArray &b)
{
    return Bytes { reinterpret_cast<const unsigned char *>(b.constData()), std::size_t(b.size()) };
}

} // namespace

TEST(HeifBoxes, CanvasSizesAreReadFromEveryLayout)
{
    for (const bool inIdat : { true, false })
        for (const int ilocVersion : { 0, 1, 2 })
            for (const int infeVersion : { 2, 3 })
                for (const bool wide : { false, true })
                    for (const char *type : { "grid", "iovl" }) {
                        if (inIdat && ilocVersion == 0)
                            continue; // version 0 has no construction method
                        SCOPED_TRACE(testing::Message() << type << " idat " << inIdat << " iloc v" << ilocVersion
                                                        << " infe v" << infeVersion << " wide " << wide);
                        Shape s { 4000, 3000, wide, inIdat, ilocVersion, infeVersion, type };
                        const QByteArray file = heifFile(s);
                        const std::vector<HeifCanvas> c = heifDerivedCanvases(bytesOf(file));
                        ASSERT_EQ(c.size(), 1u);
                        EXPECT_EQ(c[0].itemId, 7u);
                        EXPECT_EQ(c[0].width, 4000);
                        EXPECT_EQ(c[0].height, 3000);
                        EXPECT_TRUE(heifCanvasesAllowed(bytesOf(file)));
                    }
}

TEST(HeifBoxes, OversizedCanvasesAreRefusedAndDamageIsSurvived)
{
    // Past the side limit, and within it but over the pixel limit.
    EXPECT_FALSE(heifCanvasesAllowed(bytesOf(heifFile({ 65535u * 4 + 1, 16, true }))));
    EXPECT_FALSE(heifCanvasesAllowed(bytesOf(heifFile({ 60000, 60000 }))));
    EXPECT_FALSE(heifCanvasesAllowed(bytesOf(heifFile({ 0, 100 }))));
    EXPECT_FALSE(heifCanvasesAllowed(bytesOf(heifFile({ 50000, 50000, false, false, 2, 3, "iovl" }))));
    // Every cut of a file is read without a fault (the sanitizer build checks the
    // bounds); a cut that loses the descriptor leaves nothing to check.
    const QByteArray whole = heifFile({ 60000, 60000, true, false });
    for (qsizetype n = 0; n <= whole.size(); ++n) {
        const QByteArray cut = whole.left(n);
        const std::vector<HeifCanvas> c = heifDerivedCanvases(bytesOf(cut));
        EXPECT_TRUE(c.empty() || (c.size() == 1 && c[0].width == 60000)) << n;
    }
    // Ordinary images have no derived items.
    QFile sample(QDir(QStringLiteral(V7_SAMPLES_DIR)).filePath(QStringLiteral("canyon.heic")));
    ASSERT_TRUE(sample.open(QIODevice::ReadOnly));
    const QByteArray photo = sample.readAll();
    EXPECT_TRUE(heifDerivedCanvases(bytesOf(photo)).empty());
    EXPECT_FALSE(decodeHeif(bytesOf(photo)).isNull());
}

TEST(HeifBoxes, GridWhoseCanvasDisagreesWithItsSizeIsNotDecoded)
{
    // Found by fuzzing: a grid that reports 24 x 16 but declares a 24950 x 26982
    // canvas, which libheif allocated (gigabytes) before failing.
    QFile f(QDir(QStringLiteral(V7_FUZZ_CORPUS_DIR)).filePath(QStringLiteral("fuzz_heif/grid-canvas-oversized.heic")));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray file = f.readAll();
    const std::vector<HeifCanvas> c = heifDerivedCanvases(bytesOf(file));
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].itemId, 2u);
    EXPECT_EQ(c[0].width, 24950);
    EXPECT_EQ(c[0].height, 26982);
    EXPECT_FALSE(heifCanvasesAllowed(bytesOf(file)));
    EXPECT_TRUE(decodeHeif(bytesOf(file)).isNull());
    QSize primary;
    EXPECT_TRUE(decodeHeifThumbnail(bytesOf(file), &primary).isNull());
}
