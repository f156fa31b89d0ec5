// Save, convert and export from the batch dialog: nothing existing is replaced
// without the user's word, never a source by itself, and no half-written file.
#include "fileops/BatchConvert.h"

#include "BatchTestSupport.h"
#include "TestEnv.h"
#include "fileops/ImageSave.h"
#include "imaging/Codecs.h"
#include "imaging/ImageLoad.h"

#include <QDir>
#include <QFile>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>

using namespace v7;
using namespace v7test;

namespace
{

class BatchConvertTest : public BatchHome
{
protected:
    void SetUp() override
    {
        BatchHome::SetUp();
        QDir().mkpath(out());
    }
    QString out() const { return root() + "/out"; }
    QStringList leftovers(const QString &folder) const
    {
        return QDir(folder).entryList({ ".v7*" }, QDir::Files | QDir::Hidden);
    }
};

ReplacePolicy answering(std::vector<ExistingAnswer> answers, int *asked)
{
    auto shared = std::make_shared<std::vector<ExistingAnswer>>(std::move(answers));
    return ReplacePolicy([shared, asked](const QString &) {
        ++*asked;
        const ExistingAnswer a = shared->empty() ? ExistingAnswer::Skip : shared->front();
        if (!shared->empty())
            shared->erase(shared->begin());
        return a;
    });
}

} // namespace

TEST_F(BatchConvertTest, FormatEntries)
{
    QStringList captions;
    for (const ConvertFormat &f : convertFormats())
        captions << QString::fromLatin1(f.caption) + ':' + QString::number(f.bits);
    EXPECT_EQ(captions,
        QStringList({ "Bmp - 8bit:8",
            "Bmp - 24bit:24",
            "Gif - 8bit:8",
            "Jpg - 24bit:24",
            "Png - 8bit:8",
            "Png - 24bit:24",
            "Webp:24",
            "Avif:24" }));
    EXPECT_EQ(formatExtension("Jpg - 24bit"), "jpg");
    EXPECT_EQ(formatExtension("Webp"), "webp");
    EXPECT_EQ(formatExtension("Avif"), "avif");
    EXPECT_EQ(saveExtensionFor("a.JPEG"), "jpg");
    EXPECT_EQ(saveExtensionFor("a.Png"), "png");
}

TEST_F(BatchConvertTest, AnExistingTargetIsKeptUnlessReplaced)
{
    const QStringList files = makeJpegs(m_folder, 3);
    for (const QString &f : files)
        writeFile(out() + '/' + QFileInfo(f).completeBaseName() + ".png", "old " + f.toUtf8());
    int asked = 0;
    ReplacePolicy policy = answering({ ExistingAnswer::Skip, ExistingAnswer::Replace, ExistingAnswer::Skip }, &asked);
    std::vector<WriteResult> results;
    for (const QString &f : files)
        results.push_back(
            convertOne(m_folder + '/' + f, out() + '/' + QFileInfo(f).completeBaseName() + ".png", 24, 80, policy));
    EXPECT_EQ(asked, 3);
    // Skip: that file's bytes unchanged, no size.
    EXPECT_EQ(results[0].outcome, WriteOutcome::Skipped);
    EXPECT_EQ(results[0].size, -1);
    EXPECT_EQ(readFile(out() + "/img000.png"), "old img000.jpg");
    EXPECT_EQ(readFile(out() + "/img002.png"), "old img002.jpg");
    // Replace: a whole new image in its place.
    EXPECT_EQ(results[1].outcome, WriteOutcome::Written);
    EXPECT_EQ(results[1].size, QFileInfo(out() + "/img001.png").size());
    EXPECT_EQ(QImage(out() + "/img001.png").size(), QSize(160, 120));
    EXPECT_TRUE(leftovers(out()).isEmpty());

    // "Replace all" and "Skip all" hold for the rest of the batch.
    int askedAll = 0;
    ReplacePolicy all = answering({ ExistingAnswer::SkipAll }, &askedAll);
    for (const QString &f : files)
        EXPECT_EQ(
            convertOne(m_folder + '/' + f, out() + '/' + QFileInfo(f).completeBaseName() + ".png", 24, 80, all).outcome,
            WriteOutcome::Skipped);
    EXPECT_EQ(askedAll, 1);
    EXPECT_EQ(readFile(out() + "/img000.png"), "old img000.jpg");
    ReplacePolicy replaceAll = answering({ ExistingAnswer::ReplaceAll }, &askedAll);
    for (const QString &f : files)
        EXPECT_EQ(
            convertOne(m_folder + '/' + f, out() + '/' + QFileInfo(f).completeBaseName() + ".png", 8, 80, replaceAll)
                .outcome,
            WriteOutcome::Written);
    EXPECT_EQ(askedAll, 2);
    EXPECT_FALSE(QImage(out() + "/img000.png").isNull());
}

TEST_F(BatchConvertTest, ASourceIsNeverReplacedByItsOwnCopy)
{
    const QStringList files = makeJpegs(m_folder, 1);
    const QString src = m_folder + '/' + files[0];
    const QByteArray before = readFile(src);
    int asked = 0;
    ReplacePolicy policy = answering({ ExistingAnswer::ReplaceAll }, &asked);
    // The same path, and the same file through another path.
    EXPECT_EQ(convertOne(src, src, 24, 10, policy).outcome, WriteOutcome::SameAsSource);
    EXPECT_EQ(convertOne(src, m_folder + "/./" + files[0], 24, 10, policy).outcome, WriteOutcome::SameAsSource);
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(readFile(src), before);
    EXPECT_TRUE(leftovers(m_folder).isEmpty());
}

TEST_F(BatchConvertTest, FailuresLeaveNoFileAndNoSize)
{
    writeFile(m_folder + "/broken.jpg", QByteArray(500, 'x'));
    int asked = 0;
    ReplacePolicy policy = answering({}, &asked);
    const WriteResult load = convertOne(m_folder + "/broken.jpg", out() + "/broken.png", 24, 80, policy);
    EXPECT_EQ(load.outcome, WriteOutcome::LoadFailed);
    EXPECT_EQ(load.size, -1);
    // A type no writer serves writes nothing.
    const QStringList files = makeJpegs(m_folder, 1);
    const WriteResult tif = convertOne(m_folder + '/' + files[0], out() + "/x.tif", 24, 80, policy);
    EXPECT_EQ(tif.outcome, WriteOutcome::WriteFailed);
    EXPECT_EQ(tif.size, -1);
    EXPECT_TRUE(QDir(out()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    // A folder that is not there: the write fails, nothing is made.
    const WriteResult missing = convertOne(m_folder + '/' + files[0], root() + "/nowhere/x.png", 24, 80, policy);
    EXPECT_EQ(missing.outcome, WriteOutcome::WriteFailed);
    EXPECT_FALSE(QFileInfo::exists(root() + "/nowhere"));
}

TEST_F(BatchConvertTest, WebpAndAvifEntriesWriteFilesOfThatType)
{
    const QStringList files = makeJpegs(m_folder, 1);
    const QString source = m_folder + '/' + files[0];
    ImageFileInfo src;
    src.fileName = source;
    ASSERT_TRUE(GetImageInfo(src));
    int asked = 0;
    ReplacePolicy policy = answering({}, &asked);
    for (const ConvertFormat &f : convertFormats()) {
        const QString ext = formatExtension(QString::fromLatin1(f.caption));
        if (ext != "webp" && ext != "avif")
            continue;
        const QString target = out() + "/converted." + ext;
        const WriteResult w = convertOne(source, target, f.bits, 80, policy);
        EXPECT_EQ(w.outcome, WriteOutcome::Written) << ext.toStdString();
        EXPECT_GT(w.size, 0);
        ImageFileInfo info;
        info.fileName = target;
        ASSERT_TRUE(GetImageInfo(info)) << ext.toStdString();
        EXPECT_EQ(info.format.toLower(), ext);
        EXPECT_EQ(info.width, src.width);
        EXPECT_EQ(info.height, src.height);
    }
    EXPECT_TRUE(QFileInfo::exists(out() + "/converted.webp"));
    EXPECT_TRUE(QFileInfo::exists(out() + "/converted.avif"));
}

TEST_F(BatchConvertTest, JpegToJpegKeepsExifWithTheOrientationReset)
{
    const QString sample = QString::fromLocal8Bit(qgetenv("V7_SAMPLES")) + "/portrait-exif6.jpg";
    ASSERT_TRUE(QFile::exists(sample)) << sample.toStdString();
    ImageFileInfo srcInfo;
    srcInfo.fileName = sample;
    ASSERT_TRUE(GetImageInfo(srcInfo));
    ASSERT_EQ(srcInfo.extra1, 6);
    int asked = 0;
    ReplacePolicy policy = answering({}, &asked);
    const WriteResult w = convertOne(sample, out() + "/portrait.jpg", 24, 85, policy);
    ASSERT_EQ(w.outcome, WriteOutcome::Written);
    EXPECT_FALSE(JpegExifPayload(readFile(out() + "/portrait.jpg")).isEmpty());
    ImageFileInfo info;
    info.fileName = out() + "/portrait.jpg";
    ASSERT_TRUE(GetImageInfo(info));
    EXPECT_EQ(info.extra1, 1);
    // Upright pixels: the width and height of the upright source.
    EXPECT_EQ(QSize(info.width, info.height), QSize(srcInfo.width, srcInfo.height));
}

TEST_F(BatchConvertTest, ExportWritesStoredThumbnailsWithoutReplacing)
{
    const QStringList files = makeJpegs(m_folder, 3);
    runThumbJob(m_folder, files);
    const auto cached = cachedThumbsOf(m_folder);
    ASSERT_EQ(cached.size(), 3);
    writeFile(out() + "/TN-img001.jpg", "keep me");
    writeFile(m_folder + "/uncached.jpg", "x");
    int asked = 0;
    ReplacePolicy policy = answering({ ExistingAnswer::Skip }, &asked);
    const auto results = exportThumbnails(m_folder,
        { { "img000.jpg", out() + "/TN-img000.jpg" },
            { "img001.jpg", out() + "/TN-img001.jpg" },
            { "uncached.jpg", out() + "/TN-uncached.jpg" },
            { "img002.jpg", QString() } },
        policy);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(results[0].outcome, WriteOutcome::Written);
    EXPECT_EQ(readFile(out() + "/TN-img000.jpg"), cached["img000.jpg"]); // the stored bytes, as they are
    EXPECT_EQ(results[0].size, cached["img000.jpg"].size());
    EXPECT_EQ(results[1].outcome, WriteOutcome::Skipped);
    EXPECT_EQ(readFile(out() + "/TN-img001.jpg"), "keep me");
    EXPECT_EQ(results[2].size, -1); // no thumbnail: nothing written
    EXPECT_FALSE(QFile::exists(out() + "/TN-uncached.jpg"));
    EXPECT_EQ(results[3].size, -1);
    EXPECT_TRUE(leftovers(out()).isEmpty());
}

TEST_F(BatchConvertTest, AFolderThatCannotBeMadeSaysWhy)
{
    writeFile(root() + "/plainfile", "x");
    QString error;
    EXPECT_FALSE(ensureFolder(root() + "/plainfile/sub/deeper", &error));
    EXPECT_EQ(error, QString::fromLocal8Bit(strerror(ENOTDIR)));
    EXPECT_TRUE(ensureFolder(root() + "/made/two/levels", &error));
    EXPECT_TRUE(QFileInfo(root() + "/made/two/levels").isDir());
}
