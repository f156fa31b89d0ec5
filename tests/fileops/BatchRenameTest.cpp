// Batch renames: never a lost or overwritten file, chains and swaps done whole,
// thumbnails that follow their files, and the undo of the last batch.
#include "fileops/BatchRename.h"

#include "BatchTestSupport.h"
#include "TestEnv.h"
#include "app/Settings.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/ThumbMain.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace v7;
using namespace v7test;

namespace
{

class BatchRenameTest : public BatchHome
{
protected:
    // Files with distinct contents; returns name -> bytes.
    QMap<QString, QByteArray> makeFiles(const QStringList &names)
    {
        QMap<QString, QByteArray> out;
        int k = 0;
        for (const QString &n : names) {
            ++k;
            const QByteArray bytes = "content of " + n.toUtf8() + QByteArray(100 + 37 * k, char('a' + k));
            writeFile(m_folder + '/' + n, bytes);
            out.insert(n, bytes);
        }
        return out;
    }
    // What the folder holds now: name -> bytes.
    QMap<QString, QByteArray> folderNow() const
    {
        QMap<QString, QByteArray> out;
        for (const QString &n : QDir(m_folder).entryList(QDir::Files | QDir::Hidden))
            out.insert(n, readFile(m_folder + '/' + n));
        return out;
    }
    RenameBatchResult run(const std::vector<RenameItem> &items, QStringList *messages = nullptr)
    {
        RenameCallbacks cb;
        cb.failed = [messages](int, const QString &e) {
            if (messages)
                *messages << e;
        };
        return runRenameBatch(m_folder, items, cb);
    }
};

} // namespace

TEST_F(BatchRenameTest, NoReplaceRenameRefusesAnExistingTargetBothWays)
{
    for (NoReplaceMethod m : { NoReplaceMethod::Auto, NoReplaceMethod::LinkUnlink }) {
        const auto before = makeFiles({ "a.jpg", "b.jpg" });
        QString error;
        EXPECT_FALSE(renameNoReplace(m_folder + "/a.jpg", m_folder + "/b.jpg", &error, m));
        EXPECT_EQ(error, systemErrorText(EEXIST));
        EXPECT_EQ(error, QString::fromLocal8Bit(strerror(EEXIST)));
        EXPECT_EQ(folderNow(), before);
        ASSERT_TRUE(renameNoReplace(m_folder + "/a.jpg", m_folder + "/c.jpg", &error, m));
        EXPECT_EQ(readFile(m_folder + "/c.jpg"), before["a.jpg"]);
        EXPECT_FALSE(QFile::exists(m_folder + "/a.jpg"));
        // A missing source says so and creates nothing.
        EXPECT_FALSE(renameNoReplace(m_folder + "/gone.jpg", m_folder + "/d.jpg", &error, m));
        EXPECT_EQ(error, systemErrorText(ENOENT));
        EXPECT_FALSE(QFile::exists(m_folder + "/d.jpg"));
        QFile::remove(m_folder + "/b.jpg");
        QFile::remove(m_folder + "/c.jpg");
    }
}

TEST_F(BatchRenameTest, OneNameForEveryFileRenamesOnlyTheFirst)
{
    // A prefix without "*" and no number: every file would be "same.jpg".
    const auto before = makeFiles({ "a.jpg", "b.jpg", "c.jpg", "d.jpg" });
    QStringList messages;
    const auto r =
        run({ { "a.jpg", "same.jpg" }, { "b.jpg", "same.jpg" }, { "c.jpg", "same.jpg" }, { "d.jpg", "same.jpg" } },
            &messages);
    EXPECT_EQ(r.done, (std::vector<bool> { true, false, false, false }));
    EXPECT_EQ(messages, QStringList(3, systemErrorText(EEXIST))); // one box per failing entry
    const auto now = folderNow();
    ASSERT_EQ(now.size(), 4);
    EXPECT_EQ(now["same.jpg"], before["a.jpg"]);
    for (const char *n : { "b.jpg", "c.jpg", "d.jpg" })
        EXPECT_EQ(now[n], before[n]) << n;
    EXPECT_EQ(r.finalNames, QStringList({ "same.jpg", "b.jpg", "c.jpg", "d.jpg" }));
}

TEST_F(BatchRenameTest, TargetsHeldByOtherFilesAreNeverReplaced)
{
    const auto before = makeFiles({ "a.jpg", "b.jpg", "keep.jpg", "x.jpg" });
    QStringList messages;
    // keep.jpg is not in the batch; b.jpg is in it but stays unchecked (not listed).
    const auto r = run({ { "a.jpg", "keep.jpg" }, { "x.jpg", "b.jpg" } }, &messages);
    EXPECT_EQ(r.done, (std::vector<bool> { false, false }));
    EXPECT_EQ(messages.size(), 2);
    EXPECT_EQ(folderNow(), before);
    EXPECT_TRUE(r.steps.empty());
}

TEST_F(BatchRenameTest, SwapsChainsAndCyclesLoseNothing)
{
    const auto before = makeFiles({ "a.jpg", "b.jpg", "c.jpg", "p.jpg", "q.jpg", "r.jpg", "s.jpg" });
    QStringList messages;
    const auto r = run(
        {
            { "a.jpg", "b.jpg" }, // a <-> b
            { "b.jpg", "a.jpg" },
            { "p.jpg", "q.jpg" }, // chain p -> q -> r -> new (listed from its start)
            { "q.jpg", "r.jpg" },
            { "r.jpg", "t.jpg" },
            { "c.jpg", "s.jpg" }, // a second swap
            { "s.jpg", "c.jpg" },
        },
        &messages);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
    EXPECT_EQ(r.done, std::vector<bool>(7, true));
    const auto now = folderNow();
    EXPECT_EQ(now.size(), 7); // no temporary name left
    EXPECT_EQ(now["b.jpg"], before["a.jpg"]);
    EXPECT_EQ(now["a.jpg"], before["b.jpg"]);
    EXPECT_EQ(now["q.jpg"], before["p.jpg"]);
    EXPECT_EQ(now["r.jpg"], before["q.jpg"]);
    EXPECT_EQ(now["t.jpg"], before["r.jpg"]);
    EXPECT_EQ(now["s.jpg"], before["c.jpg"]);
    EXPECT_EQ(now["c.jpg"], before["s.jpg"]);
    EXPECT_FALSE(now.contains("p.jpg"));

    // A cycle of three, listed in an order that blocks every entry at first.
    const auto mid = folderNow();
    const auto r3 = run({ { "a.jpg", "b.jpg" }, { "b.jpg", "c.jpg" }, { "c.jpg", "a.jpg" } }, &messages);
    EXPECT_EQ(r3.done, std::vector<bool>(3, true));
    const auto after = folderNow();
    EXPECT_EQ(after.size(), 7);
    EXPECT_EQ(after["b.jpg"], mid["a.jpg"]);
    EXPECT_EQ(after["c.jpg"], mid["b.jpg"]);
    EXPECT_EQ(after["a.jpg"], mid["c.jpg"]);
}

TEST_F(BatchRenameTest, ACycleBlockedByAThirdFileStillLosesNothing)
{
    // a -> b, b -> a, and a second claimant of "a.jpg": it fails, the swap is done.
    const auto before = makeFiles({ "a.jpg", "b.jpg", "z.jpg" });
    QStringList messages;
    const auto r = run({ { "a.jpg", "b.jpg" }, { "b.jpg", "a.jpg" }, { "z.jpg", "a.jpg" } }, &messages);
    EXPECT_EQ(r.done, (std::vector<bool> { true, true, false }));
    const auto now = folderNow();
    EXPECT_EQ(now.size(), 3);
    EXPECT_EQ(now["a.jpg"], before["b.jpg"]);
    EXPECT_EQ(now["b.jpg"], before["a.jpg"]);
    EXPECT_EQ(now["z.jpg"], before["z.jpg"]);
}

TEST_F(BatchRenameTest, NamesTheFileSystemCannotTakeAreMarkedAndRefused)
{
    QDir().mkpath(m_folder + "/sub");
    const auto before = makeFiles({ "a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg" });
    const std::vector<RenameItem> items = {
        { "a.jpg", "sub/a.jpg" }, // would leave the folder
        { "b.jpg", "" },
        { "c.jpg", QString(300, 'x') },
        { "d.jpg", ".." },
        { "e.jpg", "a.jpg" }, // a.jpg exists and is not renamed away by this batch
    };
    const auto problems = checkRenames(items, QDir(m_folder).entryList(QDir::Files));
    EXPECT_EQ(problems,
        (std::vector<NameProblem> { NameProblem::Invalid,
            NameProblem::Invalid,
            NameProblem::Invalid,
            NameProblem::Invalid,
            NameProblem::ClashExisting }));
    QStringList messages;
    const auto r = run(items, &messages);
    EXPECT_EQ(r.done, std::vector<bool>(5, false));
    EXPECT_EQ(messages.size(), 5);
    EXPECT_EQ(folderNow(), before);
    EXPECT_TRUE(QDir(m_folder + "/sub").isEmpty());
}

TEST_F(BatchRenameTest, CheckMarksClashesBeforeAnythingIsTouched)
{
    const QStringList existing = { "a.jpg", "b.jpg", "c.jpg", "other.jpg" };
    const auto problems = checkRenames(
        {
            { "a.jpg", "b.jpg" }, // b is renamed away: fine
            { "b.jpg", "x.jpg" },
            { "c.jpg", "other.jpg" }, // an existing file that stays
            { "d.jpg", "y.jpg" }, // two entries proposing y.jpg
            { "e.jpg", "y.jpg" },
            { "f.jpg", "f.jpg" }, // unchanged
            { "g.jpg", "bad/name" },
        },
        existing);
    EXPECT_EQ(problems,
        (std::vector<NameProblem> { NameProblem::None,
            NameProblem::None,
            NameProblem::ClashExisting,
            NameProblem::ClashProposed,
            NameProblem::ClashProposed,
            NameProblem::None,
            NameProblem::Invalid }));

    // A name is free only when the file holding it really moves away: not when that
    // file's own rename is going to fail, nor through a chain ending in such a file.
    const auto chained = checkRenames(
        {
            { "p.jpg", "same.jpg" }, // first to claim same.jpg: moves
            { "q.jpg", "same.jpg" }, // fails, so q.jpg stays
            { "r.jpg", "q.jpg" }, // q.jpg stays: trouble
            { "s.jpg", "r.jpg" }, // r.jpg stays in turn
            { "t.jpg", "p.jpg" }, // p.jpg moves away: fine
            { "u.jpg", "v.jpg" }, // v.jpg cannot move: u.jpg stays
            { "v.jpg", "w/x" },
            { "m.jpg", "n.jpg" }, // a swap: both free each other
            { "n.jpg", "m.jpg" },
        },
        { "p.jpg", "q.jpg", "r.jpg", "s.jpg", "t.jpg", "u.jpg", "v.jpg", "m.jpg", "n.jpg" });
    EXPECT_EQ(chained,
        (std::vector<NameProblem> { NameProblem::ClashProposed,
            NameProblem::ClashProposed,
            NameProblem::ClashExisting,
            NameProblem::ClashExisting,
            NameProblem::None,
            NameProblem::ClashExisting,
            NameProblem::Invalid,
            NameProblem::None,
            NameProblem::None }));
    // What the batch then does agrees with the marks.
    for (const char *n : { "p", "q", "r", "s", "t", "u", "v", "m", "n" })
        writeFile(m_folder + '/' + n + ".jpg", n);
    const std::vector<RenameItem> items = { { "p.jpg", "same.jpg" },
        { "q.jpg", "same.jpg" },
        { "r.jpg", "q.jpg" },
        { "s.jpg", "r.jpg" },
        { "t.jpg", "p.jpg" },
        { "u.jpg", "v.jpg" },
        { "v.jpg", "w/x" },
        { "m.jpg", "n.jpg" },
        { "n.jpg", "m.jpg" } };
    const RenameBatchResult r = runRenameBatch(m_folder, items);
    EXPECT_EQ(r.done, (std::vector<bool> { true, false, false, false, true, false, false, true, true }));
}

TEST_F(BatchRenameTest, ACancelStopsBetweenEntries)
{
    const auto before = makeFiles({ "a.jpg", "b.jpg", "c.jpg", "d.jpg" });
    RenameCallbacks cb;
    int calls = 0;
    cb.progress = [&calls](int, int) { return ++calls < 2; }; // stop after the second
    const auto r = runRenameBatch(
        m_folder, { { "a.jpg", "1.jpg" }, { "b.jpg", "2.jpg" }, { "c.jpg", "3.jpg" }, { "d.jpg", "4.jpg" } }, cb);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.done, (std::vector<bool> { true, true, false, false }));
    const auto now = folderNow();
    EXPECT_EQ(now.size(), 4);
    EXPECT_EQ(now["1.jpg"], before["a.jpg"]);
    EXPECT_EQ(now["2.jpg"], before["b.jpg"]);
    EXPECT_EQ(now["c.jpg"], before["c.jpg"]);
    EXPECT_EQ(now["d.jpg"], before["d.jpg"]);

    // A stop asked in the middle of a swap finishes the swap first.
    const auto mid = folderNow();
    int stops = 0;
    const auto r2 = runRenameBatch(m_folder, { { "1.jpg", "2.jpg" }, { "2.jpg", "1.jpg" } }, { {}, [&stops](int, int) {
                                                                                                  ++stops;
                                                                                                  return false;
                                                                                              } });
    EXPECT_EQ(stops, 2); // asked to stop after the first, the second still went
    EXPECT_EQ(r2.done, (std::vector<bool> { true, true }));
    const auto after = folderNow();
    EXPECT_EQ(after.size(), 4);
    EXPECT_EQ(after["1.jpg"], mid["2.jpg"]);
    EXPECT_EQ(after["2.jpg"], mid["1.jpg"]);
    EXPECT_EQ(after["c.jpg"], mid["c.jpg"]);
}

namespace
{

void setMtime(const QString &path, time_t seconds)
{
    struct timespec times[2] = { { seconds, 0 }, { seconds, 0 } };
    ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

} // namespace

TEST_F(BatchRenameTest, ThumbnailsFollowTheirFilesAndNoneIsMadeAgain)
{
    const QStringList files = makeJpegs(m_folder, 4); // img000.jpg ... img003.jpg
    for (const QString &f : files)
        setMtime(m_folder + '/' + f, 1700000000);
    const QMap<int, QByteArray> first = runThumbJob(m_folder, files);
    ASSERT_EQ(cachedThumbsOf(m_folder).size(), 4);
    // A swap, and a plain rename.
    const std::vector<RenameItem> items = {
        { "img000.jpg", "img001.jpg" }, { "img001.jpg", "img000.jpg" }, { "img002.jpg", "new.jpg" }
    };
    const auto r = runRenameBatch(m_folder, items);
    ASSERT_EQ(r.done, std::vector<bool>(3, true));
    finishRenameBatch(m_folder, items, r, false);

    // Spoil every file's pixels while keeping its size and time: a thumbnail made
    // again now would not decode, so a picture that shows came from the cache.
    const QStringList now = { "img000.jpg", "img001.jpg", "new.jpg", "img003.jpg" };
    for (const QString &f : now) {
        const QString p = m_folder + '/' + f;
        const qint64 size = QFileInfo(p).size();
        writeFile(p, QByteArray(size, '\0'));
        setMtime(p, 1700000000);
    }
    const QMap<int, QByteArray> second = runThumbJob(m_folder, now);
    ASSERT_EQ(second.size(), 4);
    EXPECT_EQ(second[0], first[1]); // img000.jpg is the old img001.jpg
    EXPECT_EQ(second[1], first[0]);
    EXPECT_EQ(second[2], first[2]);
    EXPECT_EQ(second[3], first[3]);
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(second[i].isEmpty()) << i;
    // No temporary name is left in the cache's index.
    const auto cached = cachedThumbsOf(m_folder);
    EXPECT_EQ(QStringList(cached.keys()), QStringList({ "img000.jpg", "img001.jpg", "img003.jpg", "new.jpg" }));
}

TEST_F(BatchRenameTest, UndoOfTheLastBatch)
{
    const auto before = makeFiles({ "a.jpg", "b.jpg", "c.jpg" });
    const std::vector<RenameItem> items = {
        { "a.jpg", "b.jpg" }, { "b.jpg", "a.jpg" }, { "c.jpg", "Holiday-001.jpg" }
    };
    const auto r = runRenameBatch(m_folder, items);
    const auto renamed = finishRenameBatch(m_folder, items, r, true);
    EXPECT_EQ(renamed.size(), 3u);
    RenameJournal j;
    ASSERT_TRUE(readRenameJournal(&j));
    EXPECT_EQ(j.folder, m_folder);
    EXPECT_EQ(j.renames.size(), 3u);

    // Something else took c.jpg's old name meanwhile: that entry cannot go back.
    writeFile(m_folder + "/c.jpg", "a newcomer");
    QString folder;
    std::vector<std::pair<QString, QString>> back;
    QStringList messages;
    RenameCallbacks cb;
    cb.failed = [&messages](int, const QString &e) { messages << e; };
    ASSERT_TRUE(undoLastRenameBatch(cb, &folder, &back));
    EXPECT_EQ(folder, m_folder);
    EXPECT_EQ(messages, QStringList({ systemErrorText(EEXIST) }));
    const auto now = folderNow();
    EXPECT_EQ(now["a.jpg"], before["a.jpg"]);
    EXPECT_EQ(now["b.jpg"], before["b.jpg"]);
    EXPECT_EQ(now["Holiday-001.jpg"], before["c.jpg"]);
    EXPECT_EQ(now["c.jpg"], "a newcomer");
    // One level: what went back is gone from the journal, the rest stays.
    ASSERT_TRUE(readRenameJournal(&j));
    ASSERT_EQ(j.renames.size(), 1u);
    EXPECT_EQ(j.renames[0].second, m_folder + "/Holiday-001.jpg");

    QFile::remove(m_folder + "/c.jpg");
    ASSERT_TRUE(undoLastRenameBatch(cb, &folder, &back));
    EXPECT_EQ(folderNow(), before);
    EXPECT_FALSE(readRenameJournal(&j));
    EXPECT_FALSE(undoLastRenameBatch(cb, &folder, &back));
}

TEST_F(BatchRenameTest, AJournalThatIsNotOursReadsAsNone)
{
    RenameJournal j;
    const QString path = root() + "/journal.json";
    for (const QByteArray &bytes : { QByteArray("not json"),
             QByteArray("{\"kind\":\"other\"}"),
             QByteArray(),
             QByteArray("{\"kind\":\"vorlane7-renames\",\"folder\":\"/x\",\"renames\":[1,{\"old\":5}]}"),
             QByteArray("[]") }) {
        writeFile(path, bytes);
        EXPECT_FALSE(readRenameJournal(&j, path)) << bytes.toStdString();
        EXPECT_TRUE(j.renames.empty());
    }
    // Pairs outside the journal's folder are not undone.
    j.folder = "/photos";
    j.renames = {
        { "/photos/a.jpg", "/photos/b.jpg" }, { "/etc/passwd", "/photos/c" }, { "/photos/x", "/photos/sub/y" }
    };
    const auto items = undoItems(j);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].oldName, "b.jpg");
    EXPECT_EQ(items[0].newName, "a.jpg");
}
