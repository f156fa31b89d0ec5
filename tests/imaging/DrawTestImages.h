// Images and seams for the drawing tests: pictures made in code and a loader
// that counts its calls.
#pragma once

#include "imaging/Draw.h"

#include <QBuffer>
#include <QHash>
#include <QImage>

namespace v7test
{

inline const QColor QuadTopLeft(255, 0, 0), QuadTopRight(0, 255, 0), QuadBottomLeft(0, 0, 255),
    QuadBottomRight(255, 255, 0);

// Four solid quadrants, so positions survive any scaling within a pixel.
inline QImage quadrantImage(int w, int h, QImage::Format format = QImage::Format_RGB888)
{
    QImage img(w, h, format);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool right = x >= w / 2, bottom = y >= h / 2;
            img.setPixelColor(
                x, y, bottom ? (right ? QuadBottomRight : QuadBottomLeft) : (right ? QuadTopRight : QuadTopLeft));
        }
    return img;
}

// Each pixel tells where it is: red and green hold the low bytes of x and y,
// blue their high nibbles (sides up to 4096).
inline QImage positionImage(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y) {
        uchar *row = img.scanLine(y);
        for (int x = 0; x < w; ++x) {
            row[3 * x] = uchar(x & 0xFF);
            row[3 * x + 1] = uchar(y & 0xFF);
            row[3 * x + 2] = uchar(((x >> 8) << 4) | (y >> 8));
        }
    }
    return img;
}
inline QPoint positionOf(QRgb c)
{
    return QPoint(qRed(c) | ((qBlue(c) >> 4) << 8), qGreen(c) | ((qBlue(c) & 0xF) << 8));
}

inline QByteArray encoded(const QImage &img, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, format);
    return bytes;
}

// Installs a loader that serves images by file name and counts the loads, and
// counts the smooth resamplings; restores the defaults afterwards.
class FakeImages
{
public:
    FakeImages()
    {
        v7::DrawServices s;
        s.loadDib = [this](const QString &file, bool fullSize) {
            ++loads;
            lastFullSize = fullSize;
            return images.value(file);
        };
        s.loadDdb = [this](const QString &file, bool fullSize) {
            ++ddbLoads;
            lastFullSize = fullSize;
            return images.value(file).convertToFormat(QImage::Format_RGB32);
        };
        s.resample = [this](const QImage &image, QSize size) {
            ++resamples;
            return v7::resampleSmooth(image, size);
        };
        v7::setDrawServices(std::move(s));
    }
    ~FakeImages() { v7::setDrawServices(v7::defaultDrawServices()); }

    QHash<QString, QImage> images;
    int loads = 0; // as DIBs
    int ddbLoads = 0;
    int resamples = 0;
    bool lastFullSize = false;
};

} // namespace v7test
