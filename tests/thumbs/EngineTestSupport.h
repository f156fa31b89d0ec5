// Fixtures shared by the thumbnail engine's tests: a fake window for the store,
// folders of generated images, and the cache's content read back.
#pragma once

#include "TestEnv.h"
#include "app/Settings.h"
#include "imaging/Codecs.h"
#include "imaging/ImageLoad.h"
#include "thumbs/BitmapStore.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/ThumbMain.h"

#include <QDir>
#include <QImage>
#include <QMap>
#include <QStringList>
#include <vector>

namespace v7test
{

class FakeHost : public v7::ThumbDisplayHost
{
public:
    void RequestRepaint() override { ++repaints; }
    void PostDisplay() override { ++postDisplays; }
    void SetStatusPanelText(int panel, const QString &text) override { panels[panel] = text; }
    int ProgressWidth() override { return progressWidth; }
    void DrawProgress(int length, int height, const QString &counter) override
    {
        progress.push_back({ length, height });
        lastCounter = counter;
    }
    void ShowDeliveredThumb(int index, int, int) override { shown.push_back(index); }
    QString FileNameAt(int index) override { return index >= 0 && index < files.size() ? files[index] : QString(); }

    int repaints = 0;
    int postDisplays = 0;
    QMap<int, QString> panels;
    int progressWidth = 103;
    std::vector<std::pair<int, int>> progress;
    QString lastCounter;
    std::vector<int> shown;
    QStringList files;
};

// A fresh home with the settings loaded; m_folder is where the pictures go.
class EngineHome : public TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        v7::LoadSettings();
        m_folder = root() + QStringLiteral("/pictures");
    }
    QString m_folder;
};

// Records what a job hands over; answers "stop" after stopAfter deliveries.
class RecordingLink : public v7::ThumbJobLink
{
public:
    v7::StoreValues storeValues() override { return values; }
    v7::PaneValues paneValues() override { return pane; }
    bool deliver(const v7::ThumbDelivery &d) override
    {
        deliveries.push_back(d);
        return stopAfter < 0 || int(deliveries.size()) < stopAfter;
    }
    bool cancelRequested() override { return false; }
    void progress(int, int) override { }
    void jobFinished() override { ++finished; }

    v7::StoreValues values { 3, 0, 0, 103 };
    v7::PaneValues pane;
    int stopAfter = -1;
    int finished = 0;
    std::vector<v7::ThumbDelivery> deliveries;
    std::vector<int> order() const
    {
        std::vector<int> o;
        for (const auto &d : deliveries)
            o.push_back(d.index);
        return o;
    }
};

// Caching on, no switches, and jobs over a folder (m_folder unless given).
class JobHome : public EngineHome
{
protected:
    void SetUp() override
    {
        EngineHome::SetUp();
        v7::settings().CacheThumbs = true;
        v7::startFlags() = {};
        QDir().mkpath(m_folder);
    }
    std::vector<v7::ThumbDelivery> run(
        const QStringList &files, RecordingLink &link, int pool = 0, const QString &folder = {})
    {
        link.values.fileCount = int(files.size());
        v7::ThumbMain job(&link);
        job.setPoolSize(pool);
        job.setJob(folder.isEmpty() ? m_folder : folder, files);
        job.RunThumbJob();
        EXPECT_FALSE(job.surfaceHeld());
        EXPECT_EQ(link.finished, 1);
        return link.deliveries;
    }
    std::vector<v7::ThumbDelivery> run(const QStringList &files)
    {
        RecordingLink link;
        return run(files, link);
    }
    static QString cachePath() { return v7::OLEStorage::cacheFilePath(v7::OLEStorage::CacheFileName); }
};

#ifdef V7_CACHE_TOOL_PATH
// vorlane7-cache, run as a user would run it.
inline ProgramRun tool(const QStringList &args)
{
    const ProgramRun r = runProgram(QStringLiteral(V7_CACHE_TOOL_PATH), args, 120000);
    EXPECT_NE(r.code, -1) << "vorlane7-cache did not end normally: " << args.join(' ').toStdString();
    return r;
}
#endif

inline QImage decodeThumb(const QByteArray &bytes)
{
    return v7::DecodeThumbStream(bytes.constData(), std::size_t(bytes.size()));
}

// The blue at a thumbnail's centre (-1 when it does not decode): the camera files
// of these tests have a blue image and a preview without blue.
inline int centreBlue(const QByteArray &thumbBytes)
{
    const QImage t = decodeThumb(thumbBytes);
    return t.isNull() ? -1 : t.pixelColor(t.width() / 2, t.height() / 2).blue();
}

// A picture that differs with the seed, so thumbnails of different files differ.
inline QImage testPicture(int w, int h, int seed)
{
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixelColor(x, y, QColor((x * 7 + seed * 40) % 256, (y * 5 + seed * 90) % 256, (seed * 13) % 256));
    return img;
}

// A picture of noise: its thumbnail is too large for the mini stream.
inline QImage noisePicture(int w, int h, int seed)
{
    QImage img(w, h, QImage::Format_RGB888);
    std::uint32_t x = 2463534242u + std::uint32_t(seed);
    for (int y = 0; y < h; ++y)
        for (int c = 0; c < w; ++c) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            img.setPixelColor(c, y, QColor(int(x & 0xFF), int((x >> 8) & 0xFF), int((x >> 16) & 0xFF)));
        }
    return img;
}

// count JPEG files "img000.jpg"... of w x h in folder; returns the names.
inline QStringList makeJpegFolder(const QString &folder, int count, int w = 160, int h = 120)
{
    QDir().mkpath(folder);
    QStringList names;
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("img%1.jpg").arg(i, 3, 10, QLatin1Char('0'));
        EXPECT_TRUE(v7::wrjpgfiledib(folder + '/' + name, 90, testPicture(w, h, i)));
        names.push_back(name);
    }
    return names;
}

// The folder's thumbnails in the cache: file name -> stream bytes (through the index).
inline QMap<QString, QByteArray> cachedThumbs(const QString &folder)
{
    using v7::OLEStorage;
    QMap<QString, QByteArray> out;
    OLEStorage::SetCurrentFolder(folder);
    if (!OLEStorage::OpenCacheForDisplay()) {
        OLEStorage::CloseCache();
        return out;
    }
    QStringList names;
    OLEStorage::CurrentIndex().forEach([&](const v7::IndexEntry &e) { names.push_back(e.Name); });
    for (const QString &n : names) {
        QByteArray b;
        OLEStorage::ReadThumb(n, &b);
        out.insert(n, b);
    }
    OLEStorage::ClearIndex();
    OLEStorage::CloseCache();
    return out;
}

// A folder storage of n thumbnails of the given size written straight into the file,
// bytes that only a size check reads.
inline void writeRawFolder(v7::cfb::Storage &root, const QString &folder, int n, int bytes)
{
    v7::cfb::Storage st = root.createStorage(v7::NameCrc(folder), v7::OLEStorage::ModeWriteDirect);
    v7::ThumbIndex index;
    for (int i = 0; i < n; ++i) {
        const QString name = QStringLiteral("f%1.jpg").arg(i);
        v7::cfb::Stream s = st.createStream(v7::NameCrc(name), v7::OLEStorage::ModeWriteDirect);
        ASSERT_EQ(s.write(QByteArray(bytes, char('B' + i % 7))), v7::cfb::Status::Ok);
        index.add({ v7::nameCrcValue(name), bytes, name });
    }
    v7::cfb::Stream is = st.createStream(v7::OLEStorage::IndexStreamName, v7::OLEStorage::ModeWriteDirect);
    ASSERT_EQ(is.write(v7::serializeIndex(index)), v7::cfb::Status::Ok);
}

} // namespace v7test
