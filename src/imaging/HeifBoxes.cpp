#include "imaging/HeifBoxes.h"

#include <cstring>
#include <map>
#include <optional>

namespace v7::codec
{

namespace
{

    // A byte range [at, end) of the file with bounded big-endian reads; a read past
    // the end marks the reader failed and gives 0.
    struct Reader {
        const unsigned char *data;
        std::size_t at;
        std::size_t end;
        bool failed = false;

        std::uint64_t read(unsigned bytes)
        {
            if (bytes > 8 || at > end || end - at < bytes) {
                failed = true;
                at = end;
                return 0;
            }
            std::uint64_t v = 0;
            for (unsigned i = 0; i < bytes; ++i)
                v = (v << 8) | data[at++];
            return v;
        }
        std::uint32_t u8() { return std::uint32_t(read(1)); }
        std::uint32_t u16() { return std::uint32_t(read(2)); }
        std::uint32_t u32() { return std::uint32_t(read(4)); }
    };

    struct Box {
        char type[4] {};
        std::size_t payload = 0; // first byte after the header
        std::size_t end = 0;
    };

    // The box that starts at r.at, or none when its header does not fit [at, end).
    std::optional<Box> nextBox(Reader &r)
    {
        const std::size_t start = r.at;
        const std::uint64_t size32 = r.read(4);
        Box box;
        if (r.failed || r.end - r.at < 4)
            return std::nullopt;
        std::memcpy(box.type, r.data + r.at, 4);
        r.at += 4;
        std::uint64_t size = size32;
        if (size32 == 1)
            size = r.read(8);
        else if (size32 == 0)
            size = r.end - start;
        if (r.failed || size < r.at - start || size > r.end - start)
            return std::nullopt;
        box.payload = r.at;
        box.end = start + std::size_t(size);
        r.at = box.end;
        return box;
    }

    bool is(const Box &box, const char *type)
    {
        return std::memcmp(box.type, type, 4) == 0;
    }

    struct Extent {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };
    struct Location {
        std::uint32_t itemId = 0;
        unsigned method = 0; // 0: file offsets, 1: within "idat"
        std::vector<Extent> extents;
    };

    std::vector<Location> readIloc(Reader r)
    {
        std::vector<Location> out;
        const std::uint32_t version = r.u8();
        r.read(3);
        const std::uint32_t sizes = r.u8();
        const std::uint32_t sizes2 = r.u8();
        const unsigned offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = sizes2 >> 4;
        const unsigned indexSize = (version == 1 || version == 2) ? (sizes2 & 15) : 0;
        const std::uint32_t count = version < 2 ? r.u16() : r.u32();
        for (std::uint32_t i = 0; i < count && !r.failed; ++i) {
            Location loc;
            loc.itemId = version < 2 ? r.u16() : r.u32();
            if (version == 1 || version == 2)
                loc.method = r.u16() & 15;
            const std::uint32_t dataRef = r.u16();
            const std::uint64_t base = r.read(baseSize);
            const std::uint32_t extents = r.u16();
            for (std::uint32_t e = 0; e < extents && !r.failed; ++e) {
                r.read(indexSize);
                Extent x;
                x.offset = base + r.read(offsetSize);
                x.length = r.read(lengthSize);
                // Only the first bytes of an item are ever read here.
                if (loc.extents.size() < 8)
                    loc.extents.push_back(x);
            }
            if (!r.failed && dataRef == 0)
                out.push_back(std::move(loc));
        }
        return out;
    }

    // item ID -> item type, from "iinf" entries of version 2 and 3.
    std::map<std::uint32_t, std::uint32_t> readIinf(Reader r)
    {
        std::map<std::uint32_t, std::uint32_t> types;
        const std::uint32_t version = r.u8();
        r.read(3);
        r.read(version == 0 ? 2 : 4); // the entry count; the boxes themselves say how many
        while (!r.failed && r.at < r.end) {
            const std::optional<Box> box = nextBox(r);
            if (!box)
                break;
            if (!is(*box, "infe"))
                continue;
            Reader e { r.data, box->payload, box->end };
            const std::uint32_t infeVersion = e.u8();
            e.read(3);
            if (infeVersion < 2)
                continue;
            const std::uint32_t id = infeVersion == 2 ? e.u16() : e.u32();
            e.u16(); // protection index
            const std::uint32_t type = e.u32();
            if (!e.failed)
                types[id] = type;
        }
        return types;
    }

    constexpr std::uint32_t fourcc(const char (&s)[5])
    {
        return std::uint32_t(std::uint8_t(s[0])) << 24 | std::uint32_t(std::uint8_t(s[1])) << 16
            | std::uint32_t(std::uint8_t(s[2])) << 8 | std::uint32_t(std::uint8_t(s[3]));
    }

    // The item's first bytes (at most want), joined across its extents.
    std::vector<unsigned char> itemHead(Bytes file, const Location &loc, std::optional<Box> idat, std::size_t want)
    {
        std::vector<unsigned char> out;
        std::size_t from = 0, limit = file.size;
        if (loc.method == 1) {
            if (!idat)
                return out;
            from = idat->payload;
            limit = idat->end;
        } else if (loc.method != 0) {
            return out;
        }
        for (const Extent &x : loc.extents) {
            if (x.offset > limit - from)
                break;
            const std::size_t at = from + std::size_t(x.offset);
            std::size_t n = limit - at;
            if (x.length != 0 && x.length < n)
                n = std::size_t(x.length);
            n = std::min(n, want - out.size());
            out.insert(out.end(), file.data + at, file.data + at + n);
            if (out.size() == want)
                break;
        }
        return out;
    }

    // Canvas size of a "grid" or "iovl" descriptor; nullopt when it is too short.
    std::optional<HeifCanvas> canvasOf(std::uint32_t type, const std::vector<unsigned char> &d)
    {
        Reader r { d.data(), 0, d.size() };
        r.u8(); // version
        const bool wide = (r.u8() & 1) != 0;
        if (type == fourcc("grid"))
            r.read(2); // rows - 1, columns - 1
        else
            r.read(8); // the fill colour, four 16-bit values
        HeifCanvas c;
        c.width = std::int64_t(r.read(wide ? 4 : 2));
        c.height = std::int64_t(r.read(wide ? 4 : 2));
        if (r.failed)
            return std::nullopt;
        return c;
    }

} // namespace

std::vector<HeifCanvas> heifDerivedCanvases(Bytes b)
{
    std::vector<HeifCanvas> out;
    Reader top { b.data, 0, b.size };
    std::optional<Box> meta;
    while (!meta && top.at < top.end) {
        const std::optional<Box> box = nextBox(top);
        if (!box)
            return out;
        if (is(*box, "meta"))
            meta = box;
    }
    if (!meta || meta->end - meta->payload < 4)
        return out;
    Reader inMeta { b.data, meta->payload + 4, meta->end }; // after version and flags
    std::optional<Box> iinf, iloc, idat;
    while (inMeta.at < inMeta.end) {
        const std::optional<Box> box = nextBox(inMeta);
        if (!box)
            break;
        if (is(*box, "iinf") && !iinf)
            iinf = box;
        else if (is(*box, "iloc") && !iloc)
            iloc = box;
        else if (is(*box, "idat") && !idat)
            idat = box;
    }
    if (!iinf || !iloc)
        return out;
    const std::map<std::uint32_t, std::uint32_t> types = readIinf(Reader { b.data, iinf->payload, iinf->end });
    for (const Location &loc : readIloc(Reader { b.data, iloc->payload, iloc->end })) {
        const auto type = types.find(loc.itemId);
        if (type == types.end() || (type->second != fourcc("grid") && type->second != fourcc("iovl")))
            continue;
        if (std::optional<HeifCanvas> c = canvasOf(type->second, itemHead(b, loc, idat, 32))) {
            c->itemId = loc.itemId;
            out.push_back(*c);
        }
    }
    return out;
}

bool heifCanvasesAllowed(Bytes b)
{
    for (const HeifCanvas &c : heifDerivedCanvases(b))
        if (!sizeAllowed(c.width, c.height))
            return false;
    return true;
}

} // namespace v7::codec
