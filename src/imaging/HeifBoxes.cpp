#include "imaging/HeifBoxes.h"

#include <algorithm>
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

    constexpr std::uint32_t fourcc(const char (&s)[5])
    {
        return std::uint32_t(std::uint8_t(s[0])) << 24 | std::uint32_t(std::uint8_t(s[1])) << 16
            | std::uint32_t(std::uint8_t(s[2])) << 8 | std::uint32_t(std::uint8_t(s[3]));
    }

    bool isDerived(std::uint32_t type)
    {
        return type == fourcc("grid") || type == fourcc("iovl");
    }

    // A derived item's descriptor is a few bytes; more pieces than this is no file
    // any writer makes.
    constexpr std::uint32_t MaxDerivedExtents = 64;

    struct Extent {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };
    struct Location {
        std::uint32_t itemId = 0;
        unsigned method = 0; // 0: file offsets, 1: within "idat"
        std::vector<Extent> extents;
    };

    bool fieldSize(unsigned n)
    {
        return n == 0 || n == 4 || n == 8;
    }

    // The locations of the derived items; others are stepped over without being kept.
    // doubt is set where the table could be read otherwise than libheif reads it.
    std::vector<Location> readIloc(Reader r, const std::map<std::uint32_t, std::uint32_t> &types, bool &doubt)
    {
        std::vector<Location> out;
        const std::uint32_t version = r.u8();
        r.read(3);
        const std::uint32_t sizes = r.u8();
        const std::uint32_t sizes2 = r.u8();
        const unsigned offsetSize = sizes >> 4, lengthSize = sizes & 15, baseSize = sizes2 >> 4;
        const unsigned indexSize = (version == 1 || version == 2) ? (sizes2 & 15) : 0;
        // Extent indexes in version 1 are read differently by different readers.
        if (version > 2 || !fieldSize(offsetSize) || !fieldSize(lengthSize) || !fieldSize(baseSize)
            || !fieldSize(indexSize) || (version == 1 && indexSize != 0)) {
            doubt = true;
            return out;
        }
        const std::uint32_t count = version < 2 ? r.u16() : r.u32();
        const std::uint64_t perExtent = indexSize + offsetSize + lengthSize;
        for (std::uint32_t i = 0; i < count && !r.failed; ++i) {
            Location loc;
            loc.itemId = version < 2 ? r.u16() : r.u32();
            if (version == 1 || version == 2)
                loc.method = r.u16() & 15;
            const std::uint32_t dataRef = r.u16();
            const std::uint64_t base = r.read(baseSize);
            const std::uint32_t extents = r.u16();
            const auto type = types.find(loc.itemId);
            if (type == types.end() || !isDerived(type->second)) {
                if (std::uint64_t(extents) * perExtent > std::uint64_t(r.end - std::min(r.at, r.end)))
                    r.failed = true;
                else
                    r.at += std::size_t(std::uint64_t(extents) * perExtent);
                continue;
            }
            if (dataRef != 0 || loc.method > 1 || extents == 0 || extents > MaxDerivedExtents) {
                doubt = true;
                continue;
            }
            for (std::uint32_t e = 0; e < extents && !r.failed; ++e) {
                r.read(indexSize);
                Extent x;
                const std::uint64_t offset = r.read(offsetSize);
                x.length = r.read(lengthSize);
                // Zero length means "the rest" to some readers and nothing to others.
                if (offset > UINT64_MAX - base || x.length == 0)
                    doubt = true;
                x.offset = base + offset;
                loc.extents.push_back(x);
            }
            out.push_back(std::move(loc));
        }
        if (r.failed)
            doubt = true;
        return out;
    }

    // item ID -> item type, from "iinf" entries of version 2 and 3. An ID given twice,
    // once as a derived item, is doubtful: readers differ on which entry counts.
    std::map<std::uint32_t, std::uint32_t> readIinf(Reader r, bool &doubt)
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
            if (e.failed)
                continue;
            const auto [at, added] = types.emplace(id, type);
            if (!added && (isDerived(at->second) || isDerived(type)))
                doubt = true;
        }
        return types;
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
        }
        for (const Extent &x : loc.extents) {
            if (x.offset > limit - from || x.length > limit - from - x.offset)
                break;
            const std::size_t at = from + std::size_t(x.offset);
            const std::size_t n = std::min(std::size_t(x.length), want - out.size());
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

HeifDerived heifDerivedItems(Bytes b)
{
    HeifDerived out;
    Reader top { b.data, 0, b.size };
    std::optional<Box> meta;
    while (top.at < top.end) {
        const std::optional<Box> box = nextBox(top);
        if (!box)
            break;
        if (is(*box, "meta")) {
            if (meta)
                out.doubtful = true; // readers differ on which one counts
            meta = box;
        }
    }
    if (!meta || meta->end - meta->payload < 4)
        return out;
    Reader inMeta { b.data, meta->payload + 4, meta->end }; // after version and flags
    std::optional<Box> iinf, iloc, idat;
    while (inMeta.at < inMeta.end) {
        const std::optional<Box> box = nextBox(inMeta);
        if (!box)
            break;
        std::optional<Box> *slot = is(*box, "iinf") ? &iinf
            : is(*box, "iloc")                      ? &iloc
            : is(*box, "idat")                      ? &idat
                                                    : nullptr;
        if (slot && *slot)
            out.doubtful = true;
        else if (slot)
            *slot = box;
    }
    if (!iinf)
        return out;
    const std::map<std::uint32_t, std::uint32_t> types =
        readIinf(Reader { b.data, iinf->payload, iinf->end }, out.doubtful);
    const bool anyDerived =
        std::any_of(types.cbegin(), types.cend(), [](const auto &kv) { return isDerived(kv.second); });
    if (!anyDerived)
        return out;
    if (!iloc) {
        out.doubtful = true;
        return out;
    }
    const std::vector<Location> locations = readIloc(Reader { b.data, iloc->payload, iloc->end }, types, out.doubtful);
    // Every derived item has its place, once.
    std::map<std::uint32_t, int> placed;
    for (const Location &loc : locations)
        ++placed[loc.itemId];
    for (const auto &[id, type] : types)
        if (isDerived(type) && placed[id] != 1)
            out.doubtful = true;
    for (const Location &loc : locations) {
        const std::uint32_t type = types.at(loc.itemId);
        if ((loc.method == 1 && !idat)) {
            out.doubtful = true;
            continue;
        }
        std::optional<HeifCanvas> c = canvasOf(type, itemHead(b, loc, idat, 32));
        if (!c) {
            out.doubtful = true;
            continue;
        }
        c->itemId = loc.itemId;
        out.canvases.push_back(*c);
    }
    return out;
}

bool heifCanvasesAllowed(Bytes b)
{
    const HeifDerived d = heifDerivedItems(b);
    return !d.doubtful && std::all_of(d.canvases.cbegin(), d.canvases.cend(), [](const HeifCanvas &c) {
        return sizeAllowed(c.width, c.height);
    });
}

bool heifItemCanvasAllowed(Bytes b, std::uint32_t itemId)
{
    const HeifDerived d = heifDerivedItems(b);
    if (d.doubtful)
        return false;
    // A coded item is decoded at its own size. A derived one is made of others,
    // which may be derived themselves: then every canvas in the file counts.
    const bool derived = std::any_of(
        d.canvases.cbegin(), d.canvases.cend(), [itemId](const HeifCanvas &c) { return c.itemId == itemId; });
    return !derived || std::all_of(d.canvases.cbegin(), d.canvases.cend(), [](const HeifCanvas &c) {
        return sizeAllowed(c.width, c.height);
    });
}

} // namespace v7::codec
