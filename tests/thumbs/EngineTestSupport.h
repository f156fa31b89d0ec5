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

} // namespace v7test
