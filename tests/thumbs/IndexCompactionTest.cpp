// An index that loses most of its entries at once (a batch delete, a batch rename)
// drops its holes on the way; every entry left must still be found by its name,
// with its own values, in the order of the stream.
#include "TestEnv.h"
#include "app/Settings.h"
#include "thumbs/OLEStorage.h"

#include <functional>
#include <gtest/gtest.h>

using namespace v7;

namespace
{

QString nameAt(int i)
{
    return QStringLiteral("photo%1.jpg").arg(i, 3, 10, QLatin1Char('0'));
}

// Distinct values per name, so a lookup that lands on a neighbour shows.
IndexEntry entryFor(const QString &name, int i)
{
    return { nameCrcValue(name), 1000 + i, name };
}

QStringList namesOf(const ThumbIndex &idx)
{
    QStringList out;
    idx.forEach([&out](const IndexEntry &e) { out << e.Name; });
    return out;
}

// Every name of expect is found with its own entry, nothing else is, and the
// order is expect's.
void expectIndex(const ThumbIndex &idx, const std::vector<IndexEntry> &expect, const QStringList &gone)
{
    ASSERT_EQ(idx.size(), int(expect.size()));
    QStringList order;
    for (const IndexEntry &e : expect) {
        order << e.Name;
        const IndexEntry *f = idx.find(e.Name);
        ASSERT_NE(f, nullptr) << e.Name.toStdString();
        EXPECT_EQ(f->Name, e.Name);
        EXPECT_EQ(f->StreamId, e.StreamId) << e.Name.toStdString();
        EXPECT_EQ(f->ByteCount, e.ByteCount) << e.Name.toStdString();
        EXPECT_TRUE(idx.contains(e.Name));
    }
    EXPECT_EQ(namesOf(idx), order);
    for (const QString &n : gone) {
        EXPECT_FALSE(idx.contains(n)) << n.toStdString();
        EXPECT_EQ(idx.find(n), nullptr) << n.toStdString();
    }
}

} // namespace

TEST(IndexCompaction, LosingMostEntriesKeepsEveryLookupRight)
{
    // Removal orders that compact at different moments: from the front, from the
    // back, every other entry first, and all but one.
    struct Order {
        const char *what;
        std::function<bool(int)> removed; // by position among 200
    } orders[] = {
        { "front 150", [](int i) { return i < 150; } },
        { "back 150", [](int i) { return i >= 50; } },
        { "all but multiples of 7", [](int i) { return i % 7 != 0; } },
        { "all but the last", [](int i) { return i != 199; } },
        { "all but the first", [](int i) { return i != 0; } },
    };
    for (const Order &o : orders) {
        SCOPED_TRACE(o.what);
        ThumbIndex idx;
        std::vector<IndexEntry> kept;
        QStringList gone;
        for (int i = 0; i < 200; ++i)
            ASSERT_TRUE(idx.add(entryFor(nameAt(i), i)));
        // Odd positions first, then even ones: holes spread before the compaction.
        for (int pass = 0; pass < 2; ++pass)
            for (int i = 1 - pass; i < 200; i += 2)
                if (o.removed(i)) {
                    ASSERT_TRUE(idx.remove(nameAt(i)));
                    EXPECT_FALSE(idx.remove(nameAt(i))); // only once
                    gone << nameAt(i);
                }
        for (int i = 0; i < 200; ++i)
            if (!o.removed(i))
                kept.push_back(entryFor(nameAt(i), i));
        expectIndex(idx, kept, gone);

        // Added after the compaction: found, at the end, and the old ones still right.
        for (int i = 0; i < 3; ++i) {
            const QString n = QStringLiteral("new%1.jpg").arg(i);
            ASSERT_TRUE(idx.add(entryFor(n, 500 + i)));
            kept.push_back(entryFor(n, 500 + i));
        }
        EXPECT_FALSE(idx.add(entryFor(kept.front().Name, 9))); // already present
        expectIndex(idx, kept, gone);
        // A removed name can come back.
        ASSERT_TRUE(idx.add(entryFor(gone.front(), 777)));
        kept.push_back(entryFor(gone.front(), 777));
        gone.removeFirst();
        expectIndex(idx, kept, gone);
    }
}

// The same through the cache: a batch delete and a batch rename of most of a
// folder's thumbnails, each in one call, as the file commands make them.
class IndexCompactionCache : public v7test::TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        settings().CacheThumbsDir = root();
        settings().CacheThumbs = true;
        startFlags().TransactedCache = false;
        OLEStorage::SetCurrentFolder(QStringLiteral("/photos/batch"));
    }
    void TearDown() override
    {
        OLEStorage::CloseCache();
        OLEStorage::ClearIndex();
        TempHome::TearDown();
    }
    static QByteArray bytesOf(const QString &name) { return "BM" + name.toUtf8().repeated(3); }
    void cache(const QStringList &names)
    {
        ASSERT_TRUE(OLEStorage::OpenCacheForThumbs());
        OLEStorage::LoadIndex();
        for (const QString &n : names) {
            const QByteArray b = bytesOf(n);
            ASSERT_TRUE(OLEStorage::WriteThumbStream(n, b.constData(), int(b.size())));
        }
        OLEStorage::SaveIndex();
        ASSERT_TRUE(OLEStorage::CommitCache());
        OLEStorage::CloseCache();
    }
    // What the display finds: name -> bytes, for every name in the committed index.
    std::vector<std::pair<QString, QByteArray>> displayed()
    {
        std::vector<std::pair<QString, QByteArray>> out;
        if (OLEStorage::OpenCacheForDisplay()) {
            const QStringList names = namesOf(OLEStorage::CurrentIndex());
            for (const QString &n : names) {
                QByteArray b;
                OLEStorage::ReadThumb(n, &b);
                out.push_back({ n, b });
            }
        }
        OLEStorage::ClearIndex();
        OLEStorage::CloseCache();
        return out;
    }
};

TEST_F(IndexCompactionCache, BatchDeleteAndRenameOfMostThumbnails)
{
    QStringList all;
    for (int i = 0; i < 200; ++i)
        all << nameAt(i);
    cache(all);

    // Delete 130 of 200 in one batch: the index compacts past the 101st.
    NameMap deletes;
    QStringList left;
    for (int i = 0; i < 200; ++i)
        if (i % 3 == 0 && i < 198)
            left << nameAt(i);
        else
            deletes.push_back({ nameAt(i), QString() });
    ASSERT_GT(deletes.size(), 100u);
    OLEStorage::RenameThumbs(2, deletes);
    auto shown = displayed();
    ASSERT_EQ(shown.size(), std::size_t(left.size()));
    qint64 bytes = 0;
    for (int k = 0; k < left.size(); ++k) {
        EXPECT_EQ(shown[std::size_t(k)].first, left[k]);
        EXPECT_EQ(shown[std::size_t(k)].second, bytesOf(left[k])) << left[k].toStdString();
        bytes += bytesOf(left[k]).size();
    }
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName(QString())), bytes);

    // Rename all that is left but the first, and drop them all again: a renamed
    // entry keeps its byte count and reads its own stream under the new name.
    NameMap renames;
    for (int k = 1; k < left.size(); ++k)
        renames.push_back({ left[k], "r-" + left[k] });
    OLEStorage::RenameThumbs(1, renames);
    shown = displayed();
    ASSERT_EQ(shown.size(), std::size_t(left.size()));
    EXPECT_EQ(shown[0].first, left[0]);
    for (int k = 1; k < left.size(); ++k) {
        EXPECT_EQ(shown[std::size_t(k)].first, "r-" + left[k]);
        EXPECT_EQ(shown[std::size_t(k)].second, bytesOf(left[k])) << left[k].toStdString();
    }
    ThumbIndex idx;
    OLEStorage::LoadFolderIndexInto(OLEStorage::FolderStorageName(QString()), idx);
    for (int k = 1; k < left.size(); ++k) {
        const IndexEntry *e = idx.find("r-" + left[k]);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->StreamId, nameCrcValue("r-" + left[k]));
        EXPECT_EQ(e->ByteCount, bytesOf(left[k]).size());
    }
    EXPECT_EQ(OLEStorage::FolderCacheBytes(OLEStorage::FolderStorageName(QString())), bytes);
}
