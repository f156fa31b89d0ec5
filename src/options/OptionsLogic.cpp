#include "options/OptionsLogic.h"

#include "browser/Listing.h"
#include "imaging/Draw.h"
#include "imaging/Transition.h"
#include "thumbs/GridLayout.h"

#include <QDir>
#include <algorithm>
#include <cmath>

namespace v7
{

namespace
{

    const QString kStartUp = QStringLiteral("StartUp");
    const QString kDeletePermanently = QStringLiteral("DeletePermanently");
    const QString kEditorCommand = QStringLiteral("EditorCommand");

    constexpr double LandscapeRatio = 0.75;

    int clampTo(int v, OptionRange r)
    {
        return std::clamp(v, r.min, r.max);
    }

    QString normalisedType(const QString &text)
    {
        QString t = text.trimmed();
        if (t.startsWith(QLatin1String("*.")))
            t = t.mid(2);
        else if (t.startsWith(QLatin1Char('.')))
            t = t.mid(1);
        return t.toUpper();
    }

    bool listed(const QList<FileTypeChoice> &list, const QString &type)
    {
        return std::any_of(list.begin(), list.end(), [&](const FileTypeChoice &c) { return c.type == type; });
    }

} // namespace

const QStringList &EffectNames()
{
    static const QStringList names = [] {
        QStringList n;
        for (int i = 0;; ++i) {
            const QString name = transitionEffectName(i);
            if (name.isEmpty())
                break;
            n << name;
        }
        return n;
    }();
    return names;
}

const QStringList &KnownFileTypes()
{
    // One entry per type the codecs read; a new codec adds its type here.
    static const QStringList types = {
        QStringLiteral("BMP"),
        QStringLiteral("GIF"),
        QStringLiteral("JPG"),
        QStringLiteral("PCD"),
        QStringLiteral("PCX"),
        QStringLiteral("PNG"),
        QStringLiteral("TIF"),
        QStringLiteral("WEBP"),
        QStringLiteral("HEIC"),
        QStringLiteral("HEIF"),
        QStringLiteral("AVIF"),
        QStringLiteral("JXL"),
    };
    return types;
}

int AspectIndexFor(int thumbW, int thumbH)
{
    if (thumbH <= 0)
        return 0;
    return double(thumbW) / double(thumbH) <= LandscapeRatio ? 1 : 0;
}

int ThumbHeightFor(int size, int aspect)
{
    const double r = aspect == 1 ? 1.0 / LandscapeRatio : LandscapeRatio;
    // nearbyint follows the default rounding mode: to nearest, halves to even.
    return int(std::nearbyint(double(size) * r));
}

QList<FileTypeChoice> FileTypeChoicesFor(const Settings &s)
{
    QList<FileTypeChoice> list;
    for (const QString &t : KnownFileTypes())
        list.push_back({ t, false });
    for (const QString &slot : s.FileTypes) {
        const QString t = slot.toUpper();
        if (t.isEmpty())
            continue;
        auto it = std::find_if(list.begin(), list.end(), [&](const FileTypeChoice &c) { return c.type == t; });
        if (it == list.end())
            list.push_back({ t, true });
        else
            it->checked = true;
    }
    return list;
}

bool AddFileTypeChoice(QList<FileTypeChoice> &list, const QString &text)
{
    if (text.isEmpty() || text == QLatin1String("*"))
        return false;
    const QString t = normalisedType(text);
    // A type is a name part: nothing that would widen the folder search.
    if (t.isEmpty() || listed(list, t) || t.contains(QLatin1Char('*')) || t.contains(QLatin1Char('?'))
        || t.contains(QLatin1Char('/')) || t.contains(QChar(0)))
        return false;
    list.push_back({ t, true });
    return true;
}

void RefillFileTypes(Settings &s, const QList<FileTypeChoice> &list)
{
    s.FileTypes.fill(QString());
    std::size_t slot = 0;
    for (const FileTypeChoice &c : list) {
        if (!c.checked)
            continue;
        if (slot >= s.FileTypes.size())
            break;
        s.FileTypes[slot++] = c.type;
    }
}

bool ReadDeletePermanently()
{
    return settingToBool(ReadSetting(kStartUp, kDeletePermanently));
}

QString ReadEditorCommand()
{
    return settingToText(ReadSetting(kStartUp, kEditorCommand));
}

OptionsValues LoadOptions(const Settings &s, const WindowOptions &w)
{
    OptionsValues v;
    v.effectIndex = std::clamp(s.E_Index, 0, std::max(0, int(EffectNames().size()) - 1));
    v.effectIter = clampTo(s.E_Iter, IterationsRange);
    v.effectDelay = clampTo(s.E_Delay, DelayRange);
    v.quality = s.E_Quality;
    v.thumbSize = clampTo(s.ThumbW, ThumbSizeRange);
    v.aspect = AspectIndexFor(s.ThumbW, s.ThumbH);
    v.frame = clampTo(s.MarginW, FrameRange);
    v.thumbsRow = clampTo(w.thumbsRow, ThumbsRowRange);
    v.cacheThumbs = s.CacheThumbs;
    v.showCaption = s.ShowCaption;
    v.cacheDir = s.CacheThumbsDir;
    v.threadMode = std::clamp(s.ThreadMode, 0, 2);
    v.viewColor = s.ViewColor;
    v.thumbColor = s.ThumbColor;
    v.frameColor = s.ThumbColorFrame;
    v.textColor = s.ThumbColorText;
    v.fileTypes = FileTypeChoicesFor(s);
    v.captionLine = std::clamp(s.CaptionLine, 0, 2);
    v.showInfo = w.showInfo;
    v.useEmbeddedThumbs = s.UseEmbeddedThumbs;
    v.cacheMaxMB = clampTo(s.CacheMaxMB, CacheMaxRange);
    v.deletePermanently = ReadDeletePermanently();
    v.editorCommand = ReadEditorCommand();
    return v;
}

ApplyOutcome ApplyOptionsTo(const OptionsValues &v, Settings &s, WindowOptions &w)
{
    const Settings before = s;
    ApplyOutcome out;
    s.E_Index = v.effectIndex;
    s.E_Iter = v.effectIter;
    s.E_Delay = v.effectDelay;
    s.E_Quality = v.quality;
    s.JPGQuality = 80;
    s.MarginW = s.MarginH = v.frame;
    s.ThumbW = v.thumbSize;
    s.ThumbH = ThumbHeightFor(v.thumbSize, v.aspect);
    s.ThreadMode = v.threadMode;
    s.CacheThumbs = v.cacheThumbs;
    // An empty folder would put the cache at the file-system root: the default stands in.
    s.CacheThumbsDir = v.cacheDir.trimmed().isEmpty() ? defaultCacheThumbsDir() : v.cacheDir.trimmed();
    s.ShowCaption = v.showCaption;
    s.CaptionLine = v.captionLine;
    s.ThumbColor = v.thumbColor;
    s.ThumbColorFrame = v.frameColor;
    s.ThumbColorText = v.textColor;
    s.ViewColor = v.viewColor;
    RefillFileTypes(s, v.fileTypes);
    s.UseEmbeddedThumbs = v.useEmbeddedThumbs;
    s.CacheMaxMB = v.cacheMaxMB;

    out.thumbsRowChanged = w.thumbsRow != v.thumbsRow;
    w.thumbsRow = v.thumbsRow;
    w.showInfo = v.showInfo;
    out.thumbHChanged = before.ThumbH != s.ThumbH;
    out.fileTypesChanged = before.FileTypes != s.FileTypes;
    out.gridChanged = before.ThumbW != s.ThumbW || before.MarginW != s.MarginW || before.MarginH != s.MarginH
        || before.ShowCaption != s.ShowCaption || before.CaptionLine != s.CaptionLine
        || before.ThumbColor != s.ThumbColor || before.ThumbColorFrame != s.ThumbColorFrame
        || before.ThumbColorText != s.ThumbColorText || before.E_Quality != s.E_Quality;
    return out;
}

void StoreOptions(const OptionsValues &v)
{
    SaveSettings();
    // As at start: a cache folder typed in the dialog is made now, so the next display
    // caches into it without waiting for a restart.
    const QString &cacheDir = settings().CacheThumbsDir;
    if (!cacheDir.isEmpty() && !QDir(cacheDir).exists())
        QDir().mkpath(cacheDir);
    WriteSetting(kStartUp, kDeletePermanently, std::int32_t(v.deletePermanently ? 1 : 0));
    WriteSetting(kStartUp, kEditorCommand, v.editorCommand.trimmed());
}

QString CacheSizeText(std::int64_t bytes)
{
    const std::int64_t b = std::max<std::int64_t>(0, bytes);
    const std::int64_t tenths = (b / 1024) * 10 + ((b % 1024) * 10 + 512) / 1024; // halves up
    return FormatThousands(tenths / 10) + QLatin1Char('.') + QString::number(tenths % 10) + QStringLiteral("KB");
}

QString DeleteCacheQuestion(const QString &folder)
{
    return QStringLiteral("This will delete the cache for ") + folder + QLatin1Char('\n')
        + QStringLiteral("Continue deleting this cache?");
}

QString SampleCaption(int captionLine)
{
    switch (captionLine) {
    case CaptionFileInfo:
        return QStringLiteral(" 640 x 480 - 24-bit ");
    case CaptionFileDate:
        return QStringLiteral(" 01/01/2000 10:30 ");
    default:
        return QStringLiteral(" 1,250 kb ");
    }
}

QSize SampleCellSize(const OptionsValues &v)
{
    const int h = ThumbHeightFor(v.thumbSize, v.aspect);
    return { v.thumbSize + 2 * v.frame, h + 2 * v.frame + (v.showCaption ? CaptionStripHeight : 0) };
}

void PaintSampleCell(QPainter &painter, const OptionsValues &v)
{
    const int w = v.thumbSize, h = ThumbHeightFor(v.thumbSize, v.aspect);
    const QRect cell(QPoint(0, 0), SampleCellSize(v));
    painter.fillRect(cell, colorFromBgr(v.frameColor));
    const QRect picture(v.frame, v.frame, w, h);
    painter.fillRect(picture, colorFromBgr(v.thumbColor));
    drawEdge(painter, picture.adjusted(-2, -2, 2, 2), EdgeStyle::Sunken);
    drawEdge(painter, cell, EdgeStyle::Raised);
    painter.setPen(colorFromBgr(v.textColor));
    painter.drawText(picture, Qt::AlignCenter, QStringLiteral("%1 x %2").arg(w).arg(h));
    if (!v.showCaption)
        return;
    const QRect strip(picture.left(), picture.bottom() + 1, w, CaptionStripHeight);
    painter.save();
    painter.setClipRect(cell);
    painter.drawText(
        strip.adjusted(-v.frame, 2, v.frame, 0), Qt::AlignHCenter | Qt::AlignTop, QStringLiteral(" Image001.jpg "));
    painter.drawText(
        strip.adjusted(-v.frame, 15, v.frame, 0), Qt::AlignHCenter | Qt::AlignTop, SampleCaption(v.captionLine));
    painter.restore();
}

QPoint ImageOpsWindowPosition(const QRect &area, QSize windowFrame)
{
    return { area.left() + area.width() - 8 - windowFrame.width(), area.top() + 2 };
}

} // namespace v7
