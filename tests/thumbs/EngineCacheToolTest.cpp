// vorlane7-cache's engine commands, run as a user would run them.
#include "CameraJpeg.h"
#include "EngineTestSupport.h"
#include "thumbs/CacheUpkeep.h"
#include "thumbs/ThumbX.h"

#include <gtest/gtest.h>

using namespace v7;
using namespace v7test;

namespace
{

using Result = ProgramRun;

class EngineCacheToolTest : public EngineHome
{
protected:
    void SetUp() override
    {
        EngineHome::SetUp();
        m_files = makeJpegFolder(m_folder, 5, 320, 240);
        ASSERT_TRUE(wrpngfiledib(m_folder + "/tiny.png", 24, testPicture(12, 9, 3)));
        writeFile(m_folder + "/notes.txt", "not an image");
    }
    QStringList m_files;
};

TEST_F(EngineCacheToolTest, PrefillMakesTheSameBytesAsADisplayJob)
{
    const Result r = tool({ "prefill", "--quiet", m_folder });
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const auto byTool = cachedThumbs(m_folder);
    EXPECT_EQ(byTool.size(), 6); // the text file is not an image type
    QFile::remove(OLEStorage::cacheFilePath(OLEStorage::CacheFileName));

    FakeHost host;
    BitmapStore store(&host, { 0, 3, 6, 6, 0, 0 }, m_folder);
    DirectStoreLink link(&store, false);
    ThumbMain job(&link);
    job.setJob(m_folder, byTool.keys());
    job.RunThumbJob();
    EXPECT_EQ(cachedThumbs(m_folder), byTool);

    const Result ls = tool({ "ls", "--known", root() });
    EXPECT_EQ(ls.code, 0);
    EXPECT_TRUE(ls.out.contains(m_folder)) << ls.out.toStdString();
    EXPECT_TRUE(ls.out.contains("1 folders, 6 thumbnails")) << ls.out.toStdString();

    const Result ex = tool({ "export", m_folder, root() + "/out" });
    EXPECT_EQ(ex.code, 0);
    EXPECT_EQ(readFile(root() + "/out/tiny.png.bmp"), byTool.value("tiny.png"));
    EXPECT_EQ(readFile(root() + "/out/" + m_files[0] + ".jpg"), byTool.value(m_files[0]));

    EXPECT_EQ(tool({ "check" }).code, 0);
}

TEST_F(EngineCacheToolTest, PrefillFillsTheCacheWhenTheHiveHasCachingOff)
{
    settings().CacheThumbs = false;
    SaveSettings();
    const Result r = tool({ "prefill", "--quiet", m_folder });
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(cachedThumbs(m_folder).size(), 6);
    settings() = Settings();
    LoadSettings();
    EXPECT_FALSE(settings().CacheThumbs); // the hive is not changed
}

TEST_F(EngineCacheToolTest, CheckFindsAStreamThatDoesNotDecode)
{
    ASSERT_EQ(tool({ "prefill", "--quiet", m_folder }).code, 0);
    OLEStorage::SetCurrentFolder(m_folder);
    ASSERT_TRUE(OLEStorage::OpenCacheFile(OLEStorage::ModeWriteDirect, OLEStorage::CacheFileName));
    ASSERT_TRUE(
        OLEStorage::OpenFolderStorage(OLEStorage::FolderStorageName(m_folder), nullptr, OLEStorage::ModeWriteDirect));
    cfb::Stream s =
        OLEStorage::FolderStorage().openStream(NameCrc(m_files[1]), cfb::mode::ReadWrite | cfb::mode::ShareExclusive);
    ASSERT_TRUE(s.isOpen());
    ASSERT_EQ(s.write(QByteArray(4, 'x')), cfb::Status::Ok); // the first byte is neither 0xFF nor "B"
    s.release();
    OLEStorage::FolderStorage().destroyElement(NameCrc(m_files[2]));
    OLEStorage::CommitCache();
    OLEStorage::CloseCache();
    const Result r = tool({ "check" });
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.out.contains(m_files[1] + "): does not decode")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(m_files[2] + "): no stream")) << r.out.toStdString();
}

TEST_F(EngineCacheToolTest, PrefillHonoursUseEmbeddedThumbs)
{
    // The preview has no blue, the image does: the cached thumbnail shows which was used.
    const QString camera = root() + "/camera";
    writeFile(camera + "/dsc.jpg",
        cameraJpeg(twoTone(800, 600, QColor(0, 0, 255), QColor(0, 0, 255)),
            jpegBytes(twoTone(160, 120, QColor(255, 0, 0), QColor(255, 0, 0)))));
    auto cachedBlue = [&] {
        const int blue = centreBlue(cachedThumbs(camera).value("dsc.jpg"));
        QFile::remove(OLEStorage::cacheFilePath(OLEStorage::CacheFileName));
        return blue;
    };
    ASSERT_EQ(tool({ "prefill", "--quiet", camera }).code, 0);
    EXPECT_LT(cachedBlue(), 60); // default on
    ASSERT_EQ(tool({ "prefill", "--quiet", "--embedded-thumbs", "off", camera }).code, 0);
    EXPECT_GT(cachedBlue(), 180);

    settings().UseEmbeddedThumbs = false;
    SaveSettings();
    ASSERT_EQ(tool({ "prefill", "--quiet", camera }).code, 0);
    EXPECT_GT(cachedBlue(), 180); // off in the hive
    ASSERT_EQ(tool({ "prefill", "--quiet", "--embedded-thumbs", "on", camera }).code, 0);
    EXPECT_LT(cachedBlue(), 60); // the option wins
}

TEST_F(EngineCacheToolTest, ExportTrustsNoNameFromTheCacheFile)
{
    // A crafted cache: the folder's index names files outside DEST, with a NUL, and
    // "." and ".." alone; each has a stream of its own CRC holding a real thumbnail.
    const QByteArray thumb = jpegBytes(testPicture(40, 30, 1));
    const QString nul = QStringLiteral("a") + QChar(0) + QStringLiteral("b");
    const QStringList names = { "../victim", "../../victim", "sub/x", nul, ".", "..", "kept", "link", "fine" };
    {
        cfb::Storage root =
            cfb::Storage::create(OLEStorage::cacheFilePath(OLEStorage::CacheFileName), OLEStorage::ModeWriteDirect);
        cfb::Storage folder = root.createStorage(NameCrc(m_folder), OLEStorage::ModeWriteDirect);
        ThumbIndex index;
        for (const QString &n : names) {
            cfb::Stream s = folder.createStream(NameCrc(n), OLEStorage::ModeWriteDirect);
            ASSERT_EQ(s.write(thumb), cfb::Status::Ok);
            index.add({ nameCrcValue(n), int(thumb.size()), n });
        }
        cfb::Stream is = folder.createStream(OLEStorage::IndexStreamName, OLEStorage::ModeWriteDirect);
        ASSERT_EQ(is.write(serializeIndex(index)), cfb::Status::Ok);
        is.release();
        folder.release();
        ASSERT_TRUE(saveUse(root, { { NameCrc(m_folder), { 1, m_folder } } })); // a folder prune knows
        ASSERT_EQ(root.commit(), cfb::Status::Ok);
    }
    const QString dest = root() + "/out/deep";
    QDir().mkpath(dest);
    writeFile(root() + "/out/victim.jpg", "precious");
    writeFile(root() + "/victim.jpg", "precious too");
    writeFile(dest + "/kept.jpg", "mine");
    writeFile(root() + "/linked.jpg", "behind a link");
    ASSERT_TRUE(QFile::link(root() + "/linked.jpg", dest + "/link.jpg"));

    Result r = tool({ "export", m_folder, dest });
    EXPECT_EQ(r.code, 1); // a crafted index is a failure, even though the rest was written
    EXPECT_EQ(readFile(root() + "/out/victim.jpg"), "precious");
    EXPECT_EQ(readFile(root() + "/victim.jpg"), "precious too");
    EXPECT_FALSE(QFileInfo::exists(dest + "/sub"));
    EXPECT_EQ(readFile(dest + "/fine.jpg"), thumb);
    EXPECT_EQ(readFile(dest + "/kept.jpg"), "mine"); // not replaced without --force
    EXPECT_EQ(readFile(root() + "/linked.jpg"), "behind a link");
    EXPECT_TRUE(r.err.contains("kept.jpg: already there, skipped")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("refused the index name \"../victim\"")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("refused the index name \"a?b\"")) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("1 thumbnails written")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("2 skipped")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("6 refused")) << r.out.toStdString();
    EXPECT_EQ(QDir(dest).entryList(QDir::Files | QDir::System | QDir::Hidden).size(), 3);

    // --force replaces the files in DEST, and a link there is replaced, not written through.
    r = tool({ "export", "--force", m_folder, dest });
    EXPECT_EQ(readFile(dest + "/kept.jpg"), thumb);
    EXPECT_EQ(readFile(dest + "/link.jpg"), thumb);
    EXPECT_FALSE(QFileInfo(dest + "/link.jpg").isSymLink());
    EXPECT_EQ(readFile(root() + "/linked.jpg"), "behind a link");
    EXPECT_EQ(readFile(root() + "/out/victim.jpg"), "precious");

    // The check names each such entry, and prune takes them out: they name no
    // file of the folder, though ".." and "." name folders that exist.
    r = tool({ "check" });
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out.count("not a plain file name"), 6) << r.out.toStdString();
    writeFile(m_folder + "/fine", "a file of the folder");
    r = tool({ "prune" });
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    OLEStorage::SetCurrentFolder(m_folder);
    ASSERT_TRUE(OLEStorage::OpenCacheForDisplay());
    QStringList left;
    OLEStorage::CurrentIndex().forEach([&](const IndexEntry &e) { left.push_back(e.Name); });
    OLEStorage::CloseCache();
    EXPECT_EQ(left, QStringList({ "fine" }));
}

// A cache whose root does not read is reported as damaged (exit 2) by every
// command that reads it, not as missing thumbnails.
TEST_F(EngineCacheToolTest, ADamagedRootIsReportedAsDamage)
{
    ASSERT_EQ(tool({ "prefill", "--quiet", m_folder }).code, 0);
    const QString path = OLEStorage::cacheFilePath(OLEStorage::CacheFileName);
    QByteArray file = readFile(path);
    const auto firstDir = qsizetype(std::uint8_t(file[0x30])) | qsizetype(std::uint8_t(file[0x31])) << 8
        | qsizetype(std::uint8_t(file[0x32])) << 16;
    file[(firstDir + 1) * 512 + 2] = char(file[(firstDir + 1) * 512 + 2] ^ 0x20); // the root entry's name
    writeFile(path, file);
    for (const QStringList &args : { QStringList { "ls" }, QStringList { "export", m_folder, root() + "/out" } }) {
        const Result r = tool(args);
        EXPECT_EQ(r.code, 2) << args.join(' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("damaged")) << r.err.toStdString();
    }
    EXPECT_EQ(tool({ "check" }).code, 2);
}

TEST_F(EngineCacheToolTest, BadArgumentsAndMissingThings)
{
    struct Row {
        QStringList args;
        int code;
        const char *message;
    } rows[] = {
        { { "prefill" }, 64, "prefill needs one FOLDER" },
        { { "prefill", "--threads", "0", "x" }, 64, "--threads needs a number" },
        { { "prefill", "--embedded-thumbs", "yes", "x" }, 64, "--embedded-thumbs needs on or off" },
        { { "export", "x" }, 64, "export needs FOLDER and DEST" },
        { { "ls", "--bogus" }, 64, "unknown option --bogus" },
        { { "frobnicate" }, 64, "usage:" },
        { { "prefill", "/no/such/folder" }, 1, "not a folder" },
        { { "check" }, 1, "no cache file" },
        { { "ls" }, 1, "cannot open the cache file" },
    };
    for (const Row &row : rows) {
        const Result r = tool(row.args);
        EXPECT_EQ(r.code, row.code) << row.args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(row.message)) << r.err.toStdString();
    }
    const Result help = tool({ "--help" });
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.contains("prefill FOLDER"));
}

} // namespace
