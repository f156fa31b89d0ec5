// The look into a HEIF file's derived items (grids and overlays) that guards
// libheif's canvas allocation.
#include "imaging/HeifBoxes.h"

#include "imaging/CodecsInternal.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <cstring>
#include <gtest/gtest.h>

using namespace v7::codec;

namespace
{

void put(QByteArray &b, std::uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        b.append(char((v >> (8 * i)) & 0xFF));
}

QByteArray box(const char *type, const QByteArray &payload, bool large = false)
{
    QByteArray b;
    if (large) {
        put(b, 1, 4);
        b += QByteArray(type, 4);
        put(b, std::uint64_t(payload.size()) + 16, 8);
        return b + payload;
    }
    put(b, std::uint64_t(payload.size()) + 8, 4);
    return b + QByteArray(type, 4) + payload;
}

QByteArray fullBox(const char *type, int version, const QByteArray &payload, bool large = false)
{
    QByteArray head;
    put(head, std::uint64_t(version) << 24, 4);
    return box(type, head + payload, large);
}

struct Shape {
    std::uint64_t width, height;
    bool wide = false; // 32-bit sizes in the descriptor
    bool inIdat = true; // else in the file after "meta"
    int ilocVersion = 1;
    int infeVersion = 2;
    const char *type = "grid";
    int pieces = 1; // extents the descriptor is split into
    int fieldBytes = 4; // iloc offset, length and base sizes
    bool zeroLength = false; // the first extent says length 0
    int dataRef = 0;
    bool sameIdTwice = false; // a second "infe" for the item, as a coded image
    bool twoMeta = false;
    bool largeMeta = false; // "meta" with a 64-bit size
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

QByteArray infe(const Shape &s, const char *type)
{
    QByteArray b;
    put(b, 7, s.infeVersion == 2 ? 2 : 4);
    put(b, 0, 2);
    b += QByteArray(type, 4) + QByteArray(1, '\0');
    return fullBox("infe", s.infeVersion, b);
}

// A file with one derived item (ID 7) of the given shape.
QByteArray heifFile(const Shape &s)
{
    const QByteArray ftyp = box("ftyp", QByteArray("heic\0\0\0\0mif1heic", 16));
    const QByteArray data = descriptor(s);
    QByteArray iinfBody;
    put(iinfBody, s.sameIdTwice ? 2 : 1, 2);
    iinfBody += infe(s, s.type);
    if (s.sameIdTwice)
        iinfBody += infe(s, "hvc1");
    const QByteArray iinf = fullBox("iinf", 0, iinfBody);
    const int f = s.fieldBytes;
    auto iloc = [&](std::uint64_t dataAt) {
        QByteArray b;
        put(b, std::uint64_t(f << 4 | f), 1); // offset and length sizes
        put(b, s.ilocVersion == 0 ? 0 : std::uint64_t(f << 4), 1); // base offset size (versions 1 and 2)
        put(b, 1, s.ilocVersion < 2 ? 2 : 4);
        put(b, 7, s.ilocVersion < 2 ? 2 : 4);
        if (s.ilocVersion > 0)
            put(b, s.inIdat ? 1 : 0, 2);
        put(b, std::uint64_t(s.dataRef), 2);
        if (s.ilocVersion > 0)
            put(b, 0, f);
        put(b, std::uint64_t(s.pieces + (s.zeroLength ? 1 : 0)), 2);
        if (s.zeroLength) {
            put(b, dataAt, f);
            put(b, 0, f);
        }
        // Pieces of one byte, the last one the rest.
        for (int i = 0; i < s.pieces; ++i) {
            const int last = i == s.pieces - 1;
            put(b, dataAt + std::uint64_t(i), f);
            put(b, last ? std::uint64_t(data.size() - i) : 1, f);
        }
        return fullBox("iloc", s.ilocVersion, b);
    };
    const QByteArray idat = s.inIdat ? box("idat", data) : QByteArray();
    const auto meta = [&](std::uint64_t dataAt) { return fullBox("meta", 0, iinf + iloc(dataAt) + idat, s.largeMeta); };
    const qsizetype mdatAt = ftyp.size() + meta(0).size();
    QByteArray file = ftyp + meta(s.inIdat ? 0 : std::uint64_t(mdatAt) + 8);
    if (!s.inIdat)
        file += box("mdat", data);
    if (s.twoMeta)
        file += fullBox("meta", 0, QByteArray());
    return file;
}

Bytes bytesOf(const QByteArray &b)
{
    return Bytes { reinterpret_cast<const unsigned char *>(b.constData()), std::size_t(b.size()) };
}

HeifDerived derived(const Shape &s)
{
    const QByteArray file = heifFile(s);
    return heifDerivedItems(bytesOf(file));
}

} // namespace

TEST(HeifBoxes, CanvasSizesAreReadFromEveryLayout)
{
    for (const bool inIdat : { true, false })
        for (const int ilocVersion : { 0, 1, 2 })
            for (const int infeVersion : { 2, 3 })
                for (const bool wide : { false, true })
                    for (const char *type : { "grid", "iovl" })
                        for (const int fieldBytes : { 4, 8 })
                            for (const int pieces : { 1, 5 }) {
                                if (inIdat && ilocVersion == 0)
                                    continue; // version 0 has no construction method
                                SCOPED_TRACE(testing::Message()
                                    << type << " idat " << inIdat << " iloc v" << ilocVersion << " infe v"
                                    << infeVersion << " wide " << wide << " fields " << fieldBytes << " pieces "
                                    << pieces);
                                Shape s {
                                    4000, 3000, wide, inIdat, ilocVersion, infeVersion, type, pieces, fieldBytes
                                };
                                s.largeMeta = pieces == 5;
                                const QByteArray file = heifFile(s);
                                const HeifDerived d = heifDerivedItems(bytesOf(file));
                                EXPECT_FALSE(d.doubtful);
                                ASSERT_EQ(d.canvases.size(), 1u);
                                EXPECT_EQ(d.canvases[0].itemId, 7u);
                                EXPECT_EQ(d.canvases[0].width, 4000);
                                EXPECT_EQ(d.canvases[0].height, 3000);
                                EXPECT_TRUE(heifCanvasesAllowed(bytesOf(file)));
                            }
}

TEST(HeifBoxes, OversizedCanvasesAndFilesThatReadTwoWaysAreRefused)
{
    // Past the side limit, and within it but over the pixel limit.
    EXPECT_FALSE(heifCanvasesAllowed(bytesOf(heifFile({ 65535u * 4 + 1, 16, true }))));
    EXPECT_FALSE(heifCanvasesAllowed(bytesOf(heifFile({ 60000, 60000 }))));
    EXPECT_FALSE(heifCanvasesAllowed(bytesOf(heifFile({ 0, 100 }))));
    EXPECT_FALSE(heifCanvasesAllowed(bytesOf(heifFile({ 50000, 50000, false, false, 2, 3, "iovl" }))));
    // Only the item decoded counts when one item is decoded alone.
    const QByteArray big = heifFile({ 60000, 60000 });
    EXPECT_FALSE(heifItemCanvasAllowed(bytesOf(big), 7));
    EXPECT_TRUE(heifItemCanvasAllowed(bytesOf(big), 3)); // a coded item

    // Layouts libheif may read otherwise than we do: a small canvas here could be a
    // huge one there, so the file is not decoded.
    Shape s { 100, 100 };
    EXPECT_FALSE(derived(s).doubtful);
    const auto doubtful = [](Shape shape) { return derived(shape).doubtful; };
    s.zeroLength = true;
    EXPECT_TRUE(doubtful(s)) << "zero-length extent";
    s = { 100, 100 };
    s.dataRef = 1;
    EXPECT_TRUE(doubtful(s)) << "data in another file";
    s = { 100, 100 };
    s.sameIdTwice = true;
    EXPECT_TRUE(doubtful(s)) << "an item ID given twice";
    s = { 100, 100 };
    s.twoMeta = true;
    EXPECT_TRUE(doubtful(s)) << "two meta boxes";
    s = { 100, 100 };
    s.pieces = 70;
    s.wide = true;
    EXPECT_TRUE(doubtful(s)) << "a descriptor in more pieces than any writer makes";
    s = { 100, 100 };
    s.fieldBytes = 2;
    EXPECT_TRUE(doubtful(s)) << "a field size the format does not have";
    for (Shape bad : { Shape { 100, 100, false, true, 1 }, Shape { 100, 100, true, false, 2, 3, "iovl" } }) {
        bad.zeroLength = true;
        EXPECT_FALSE(heifCanvasesAllowed(bytesOf(heifFile(bad))));
    }
}

TEST(HeifBoxes, DamagedAndCraftedTablesAreSurvived)
{
    // Every cut of a file is read without a fault (the sanitizer build checks the
    // bounds); a cut inside the tables makes the file doubtful, never a wrong size.
    const QByteArray whole = heifFile({ 60000, 60000, true, false });
    for (qsizetype n = 0; n <= whole.size(); ++n) {
        const QByteArray cut = whole.left(n);
        const HeifDerived d = heifDerivedItems(bytesOf(cut));
        for (const HeifCanvas &c : d.canvases)
            EXPECT_EQ(c.width, 60000) << n;
        EXPECT_FALSE(heifCanvasesAllowed(bytesOf(cut)) && n == whole.size()) << n;
    }
    // Many coded items each declaring 65,535 extents of no bytes: stepped over.
    QByteArray iloc;
    put(iloc, 0x00, 1);
    put(iloc, 0x00, 1);
    const std::uint32_t items = 20000;
    put(iloc, items, 4);
    for (std::uint32_t i = 0; i < items; ++i) {
        put(iloc, i + 100, 4); // not the grid
        put(iloc, 0, 2);
        put(iloc, 0, 2);
        put(iloc, 0xFFFF, 2);
    }
    QByteArray iinfBody;
    put(iinfBody, 1, 2);
    QByteArray infe;
    put(infe, 7, 2);
    put(infe, 0, 2);
    infe += QByteArray("grid", 4) + QByteArray(1, '\0');
    iinfBody += fullBox("infe", 2, infe);
    const QByteArray file = box("ftyp", QByteArray("heic\0\0\0\0mif1heic", 16))
        + fullBox("meta", 0, fullBox("iinf", 0, iinfBody) + fullBox("iloc", 2, iloc));
    const HeifDerived d = heifDerivedItems(bytesOf(file));
    EXPECT_TRUE(d.canvases.empty());
    EXPECT_FALSE(heifCanvasesAllowed(bytesOf(file))) << "a grid without a location";
}

TEST(HeifBoxes, GridWhoseCanvasDisagreesWithItsSizeIsNotDecoded)
{
    // Found by fuzzing: a grid that reports 24 x 16 but declares a 24950 x 26982
    // canvas, which libheif allocated (gigabytes) before failing.
    QFile f(QDir(QStringLiteral(V7_FUZZ_CORPUS_DIR)).filePath(QStringLiteral("fuzz_heif/grid-canvas-oversized.heic")));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray file = f.readAll();
    const HeifDerived d = heifDerivedItems(bytesOf(file));
    EXPECT_FALSE(d.doubtful);
    ASSERT_EQ(d.canvases.size(), 2u);
    EXPECT_EQ(d.canvases[0].itemId, 2u);
    EXPECT_EQ(d.canvases[0].width, 24950);
    EXPECT_EQ(d.canvases[0].height, 26982);
    EXPECT_FALSE(heifCanvasesAllowed(bytesOf(file)));
    EXPECT_TRUE(decodeHeif(bytesOf(file)).isNull());
    // A coded item (a thumbnail, say) may still be decoded alone; a derived one may
    // be made of the oversized one, so it is not.
    EXPECT_TRUE(heifItemCanvasAllowed(bytesOf(file), 1));
    EXPECT_FALSE(heifItemCanvasAllowed(bytesOf(file), 4));
    QFile overlay(
        QDir(QStringLiteral(V7_FUZZ_CORPUS_DIR)).filePath(QStringLiteral("fuzz_heif/thumbnail-grid-of-overlay.heic")));
    ASSERT_TRUE(overlay.open(QIODevice::ReadOnly));
    // Found by fuzzing: the thumbnail is an 8 x 4 grid of a 12360 x 64381 overlay.
    const QByteArray nested = overlay.readAll();
    EXPECT_FALSE(heifItemCanvasAllowed(bytesOf(nested), 4));
    QSize primary;
    EXPECT_TRUE(decodeHeifThumbnail(bytesOf(nested), &primary).isNull());

    // Ordinary images have no derived items and decode as before.
    QFile sample(QDir(QStringLiteral(V7_SAMPLES_DIR)).filePath(QStringLiteral("canyon.heic")));
    ASSERT_TRUE(sample.open(QIODevice::ReadOnly));
    const QByteArray photo = sample.readAll();
    const HeifDerived none = heifDerivedItems(bytesOf(photo));
    EXPECT_FALSE(none.doubtful);
    EXPECT_TRUE(none.canvases.empty());
    EXPECT_FALSE(decodeHeif(bytesOf(photo)).isNull());
}
