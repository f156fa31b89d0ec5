// The printed page of one image: the picture fitted to the page, then the file
// name, the size followed by " bytes" and the date, each on its own line below it.
//
// Threads: any thread that may paint on the given device.
#pragma once

#include <QImage>
#include <QRect>
#include <QStringList>

class QPainter;

namespace v7
{

// The three lines under the picture.
QStringList PrintPageLines(const QString &fileName, const QString &sizeText, const QString &dateText);

// Where the picture goes on a page of the given size, leaving textHeight below it:
// as large as fits, aspect kept, centred across.
QRect PrintImageRect(const QSize &imageSize, const QRect &page, int textHeight);

// Paints the page on an open painter over page (device coordinates).
void PaintPrintPage(QPainter &painter, const QRect &page, const QImage &image, const QStringList &lines);

} // namespace v7
