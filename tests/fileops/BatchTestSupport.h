// Fixtures of the batch dialog's tests: a fresh home with the settings loaded, a
// folder of small JPEG files, and the folder's thumbnails read back from the cache.
#pragma once

#include "TestEnv.h"
#include "app/Settings.h"
#include "imaging/Codecs.h"
#include "thumbs/OLEStorage.h"
#include "thumbs/ThumbMain.h"

#include <QColor>
#include <QDir>
#include <QImage>
#include <QMap>
#include <QStringList>

namespace v7test
{

class BatchHome : public TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        v7::LoadSettings();
        m_folder = root() + QStringLiteral("/pictures");
        QDir().mkpath(m_folder);
    }
    QString m_folder;
};

// count JPEG files "img000.jpg"... of w x h, each a different picture.
inline QStringList makeJpegs(const QString &folder, int count, int w = 160, int h = 120)
{
    QDir().mkpath(folder);
    QStringList names;
    for (int i = 0; i < count; ++i) {
        QImage img(w, h, QImage::Format_RGB888);
        img.fill(QColor((i * 70) % 256, (i * 30 + 60) % 256, (i * 110 + 20) % 256));
        const QString name = QStringLiteral("img%1.jpg").arg(i, 3, 10, QLatin1Char('0'));
        EXPECT_TRUE(v7::wrjpgfiledib(folder + '/' + name, 90, img));
        names.push_back(name);
    }
    return names;
}

// A job's link that keeps what it was given and asks nothing.
class KeepingLink : public v7::ThumbJobLink
{
public:
    explicit KeepingLink(int files)
        : m_files(files)
    {
    }
    v7::StoreValues storeValues() override { return { 3, m_files, 0, 103 }; }
    v7::PaneValues paneValues() override { return {}; }
    bool deliver(const v7::ThumbDelivery &d) override
    {
        bytes[d.index] = d.bytes;
        return true;
    }
    bool cancelRequested() override { return false; }
    void progress(int, int) override { }
    void jobFinished() override { }
    QMap<int, QByteArray> bytes;

private:
    int m_files;
};

// Runs a thumbnail job over the files; what it delivered, by index.
inline QMap<int, QByteArray> runThumbJob(const QString &folder, const QStringList &files)
{
    KeepingLink link(int(files.size()));
    v7::ThumbMain job(&link);
    job.setJob(folder, files);
    job.RunThumbJob();
    return link.bytes;
}

// The folder's thumbnails in the cache: file name -> stream bytes.
inline QMap<QString, QByteArray> cachedThumbsOf(const QString &folder)
{
    using v7::OLEStorage;
    QMap<QString, QByteArray> out;
    OLEStorage::SetCurrentFolder(folder);
    if (OLEStorage::OpenCacheForDisplay()) {
        QStringList names;
        OLEStorage::CurrentIndex().forEach([&](const v7::IndexEntry &e) { names.push_back(e.Name); });
        for (const QString &n : names) {
            QByteArray b;
            OLEStorage::ReadThumb(n, &b);
            out.insert(n, b);
        }
        OLEStorage::ClearIndex();
    }
    OLEStorage::CloseCache();
    return out;
}

} // namespace v7test
