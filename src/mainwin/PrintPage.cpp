#include "mainwin/PrintPage.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

namespace v7
{

QStringList PrintPageLines(const QString &fileName, const QString &sizeText, const QString &dateText)
{
    return { fileName, sizeText + QStringLiteral(" bytes"), dateText };
}

QRect PrintImageRect(const QSize &imageSize, const QRect &page, int textHeight)
{
    const int availW = page.width();
    const int availH = page.height() - std::max(0, textHeight);
    if (imageSize.isEmpty() || availW <= 0 || availH <= 0)
        return QRect(page.topLeft(), QSize(0, 0));
    const QSize size = imageSize.scaled(availW, availH, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    return QRect(page.left() + (availW - size.width()) / 2, page.top(), size.width(), size.height());
}

void PaintPrintPage(QPainter &painter, const QRect &page, const QImage &image, const QStringList &lines)
{
    const QFontMetrics metrics(painter.font(), painter.device());
    const int lineHeight = metrics.lineSpacing();
    // The lines, then the two line breaks that end the page's text.
    const int textHeight = lineHeight * int(lines.size() + 2);
    const QRect target = PrintImageRect(image.size(), page, textHeight);
    if (!target.isEmpty())
        painter.drawImage(target, image);
    int y = target.bottom() + 1 + lineHeight;
    for (const QString &line : lines) {
        painter.drawText(QPoint(page.left(), y), line);
        y += lineHeight;
    }
}

} // namespace v7
