#include "viewer/ZoomLogic.h"

#include "imaging/Fit.h"

#include <QRegion>
#include <algorithm>
#include <cstdlib>

namespace v7
{

int LongerDelay(int delayMs)
{
    return std::min(delayMs + SlideDelayStepMs, MaxSlideDelayMs);
}

int ShorterDelay(int delayMs)
{
    return delayMs > MinSlideDelayMs ? delayMs - SlideDelayStepMs : delayMs;
}

QString DelayLabelText(int delayMs)
{
    // 'g' with enough digits gives the shortest form: 2, 2.5, never 2.0.
    return QString::number(delayMs / 1000.0, 'g', 12) + QStringLiteral(" sec.");
}

QRect DelayLabelBox(int sampleWidth, int letterHeight)
{
    return QRect(QPoint(42, 2), QPoint(46 + sampleWidth, 2 + letterHeight));
}

bool TickDue(int &tickCount, int delayMs)
{
    ++tickCount;
    if (tickCount < std::max(1, delayMs / ZoomTimerIntervalMs))
        return false;
    tickCount = 0;
    return true;
}

MosaicPage MosaicStep(int position, int fileCount, QSize window)
{
    MosaicPage page;
    const int cellW = window.width() / 3;
    const int cellH = window.height() / 3;
    // Fewer than nine files: "the last nine" start at the first, never before it.
    if (position < 0)
        position = std::max(0, fileCount - 9);
    for (int i = 0; i < 9; ++i) {
        ++position;
        if (position > fileCount) {
            position = 1;
            break;
        }
        const int left = (i % 3) * cellW + 8;
        const int top = (i / 3) * cellH + 8;
        page.cells.push_back({ position, QRect(left, top, std::max(0, cellW - 16), std::max(0, cellH - 16)) });
    }
    --position;
    page.position = position;
    page.selectItem = position > 0 && position <= fileCount ? position : 0;
    return page;
}

std::vector<int> MosaicItems(int position, int fileCount)
{
    std::vector<int> items;
    for (const MosaicCell &c : MosaicStep(position, fileCount, QSize(48, 48)).cells)
        items.push_back(c.item);
    return items;
}

void StartStop(ZoomShowState &s, int selectedItem)
{
    s.tickCount = 0;
    s.running = !s.running;
    if (selectedItem > 0)
        s.mosaicPosition = selectedItem;
}

ModeDrawing ChooseShowMode(ZoomShowState &s, bool mosaicCommand, int selectedItem)
{
    s.menuTag = QStringLiteral("1");
    // Each item turns its own mode off when it is checked, else on.
    const bool toMosaic = mosaicCommand ? !s.mosaic : s.slideshow;
    s.mosaic = toMosaic;
    s.slideshow = !toMosaic;
    s.timerTag = toMosaic ? QStringLiteral("1") : QString();
    if (s.running)
        StartStop(s, selectedItem);
    return toMosaic ? ModeDrawing::MosaicStep : ModeDrawing::SingleImage;
}

TickAction Tick(ZoomShowState &s)
{
    TickAction a;
    if (!TickDue(s.tickCount, s.delay))
        return a;
    a.step = true;
    a.resetZoom = !s.zoomLock;
    a.mosaic = !s.timerTag.isEmpty();
    return a;
}

QStringList ZoomInfoLines(const QString &name, const QString &sizeText, const QString &properties)
{
    return { name, sizeText + QStringLiteral(" bytes,  ") + properties };
}

const std::vector<ZoomMenuRow> &ZoomMenuRows()
{
    static const std::vector<ZoomMenuRow> rows = {
        { ZoomMenuItem::Info0, {} },
        { ZoomMenuItem::Info1, {} },
        { ZoomMenuItem::Separator, QStringLiteral("-") },
        { ZoomMenuItem::Slideshow, QStringLiteral("&Slideshow") },
        { ZoomMenuItem::Mosaicshow, QStringLiteral("&Mosaicshow") },
        { ZoomMenuItem::Start, QString::fromUtf16(StartCaption) },
        { ZoomMenuItem::Separator, QStringLiteral("-") },
        { ZoomMenuItem::ZoomLock, QStringLiteral("Zoom &Lock") },
        { ZoomMenuItem::Separator, QStringLiteral("-") },
        { ZoomMenuItem::Next, QStringLiteral("&Next         [Pg Down or Space]") },
        { ZoomMenuItem::Previous, QStringLiteral("&Previous   [Pg Up or Alt Space]") },
        { ZoomMenuItem::Separator, QStringLiteral("-") },
        { ZoomMenuItem::Delete, QStringLiteral("&Delete") },
        { ZoomMenuItem::Separator, QStringLiteral("-") },
        { ZoomMenuItem::FitAutoItem, QStringLiteral("Fit Auto") },
        { ZoomMenuItem::FitNormalItem, QStringLiteral("Fit Normal") },
        { ZoomMenuItem::FitWidthItem, QStringLiteral("Fit Width") },
        { ZoomMenuItem::FitHeightItem, QStringLiteral("Fit Height") },
        { ZoomMenuItem::Separator, QStringLiteral("-") },
        { ZoomMenuItem::Options, QStringLiteral("&Options") },
        { ZoomMenuItem::Separator, QStringLiteral("-") },
        { ZoomMenuItem::Exit, QStringLiteral("E&xit           [Esc or Enter]") },
    };
    return rows;
}

QString ZoomFitMode(int index)
{
    static const char16_t *const modes[4] = { FitAuto, FitNormal, FitWidth, FitHeight };
    return index >= 0 && index < 4 ? QString::fromUtf16(modes[index]) : QString();
}

int ZoomFitIndex(const QString &fitMode)
{
    for (int i = 0; i < 4; ++i)
        if (ZoomFitMode(i) == fitMode)
            return i;
    return -1;
}

const std::vector<ZoomKeyRow> &ZoomKeyTable()
{
    using C = ZoomCommand;
    using W = ZoomKeyWhen;
    static const std::vector<ZoomKeyRow> rows = {
        { Qt::Key_Menu, KeyPad::Any, AltRule::Any, C::Menu, 0, W::Always },
        { Qt::Key_Delete, KeyPad::Any, AltRule::Any, C::Delete, 0, W::NotMosaic },
        { Qt::Key_Space, KeyPad::Any, AltRule::Without, C::Next, 0, W::Always },
        { Qt::Key_Space, KeyPad::Any, AltRule::With, C::Previous, 0, W::Always },
        { Qt::Key_PageDown, KeyPad::Any, AltRule::Without, C::Next, 0, W::Always },
        { Qt::Key_PageDown, KeyPad::Any, AltRule::With, C::Previous, 0, W::Always },
        { Qt::Key_PageUp, KeyPad::Any, AltRule::Any, C::Previous, 0, W::Always },
        { Qt::Key_Home, KeyPad::Any, AltRule::Any, C::Top, 0, W::Always },
        { Qt::Key_End, KeyPad::Any, AltRule::Any, C::Bottom, 0, W::Always },
        // Alt+F4 belongs to the desktop (close the window), not to the options.
        { Qt::Key_F4, KeyPad::Any, AltRule::Without, C::Options, 0, W::Always },
        { Qt::Key_Return, KeyPad::Any, AltRule::Any, C::Close, 0, W::Always },
        { Qt::Key_Enter, KeyPad::Any, AltRule::Any, C::Close, 0, W::Always },
        { Qt::Key_Escape, KeyPad::Any, AltRule::Any, C::Close, 0, W::Always },
        { Qt::Key_Plus, KeyPad::Only, AltRule::Any, C::ZoomIn, 0, W::Slideshow },
        { Qt::Key_Minus, KeyPad::Only, AltRule::Any, C::ZoomOut, 0, W::Slideshow },
        { Qt::Key_1, KeyPad::Any, AltRule::Any, C::ZoomDigit, 1, W::Slideshow },
        { Qt::Key_2, KeyPad::Any, AltRule::Any, C::ZoomDigit, 2, W::Slideshow },
        { Qt::Key_3, KeyPad::Any, AltRule::Any, C::ZoomDigit, 3, W::Slideshow },
        { Qt::Key_4, KeyPad::Any, AltRule::Any, C::ZoomDigit, 4, W::Slideshow },
        { Qt::Key_5, KeyPad::Any, AltRule::Any, C::ZoomDigit, 5, W::Slideshow },
        { Qt::Key_Asterisk, KeyPad::Only, AltRule::Any, C::DelayUp, 0, W::Always },
        { Qt::Key_Slash, KeyPad::Only, AltRule::Any, C::DelayDown, 0, W::Always },
        { Qt::Key_Left, KeyPad::Any, AltRule::Any, C::PanLeft, 0, W::Always },
        { Qt::Key_Right, KeyPad::Any, AltRule::Any, C::PanRight, 0, W::Always },
        { Qt::Key_Up, KeyPad::Any, AltRule::Any, C::PanUp, 0, W::Always },
        { Qt::Key_Down, KeyPad::Any, AltRule::Any, C::PanDown, 0, W::Always },
    };
    return rows;
}

std::optional<ZoomKeyAction> ZoomKeyLookup(int key, Qt::KeyboardModifiers modifiers, const ZoomShowState &s)
{
    const bool keypad = modifiers & Qt::KeypadModifier;
    const bool alt = modifiers & Qt::AltModifier;
    for (const ZoomKeyRow &r : ZoomKeyTable()) {
        if (r.key != key || (r.pad == KeyPad::Only && !keypad))
            continue;
        if ((r.alt == AltRule::With && !alt) || (r.alt == AltRule::Without && alt))
            continue;
        if ((r.when == ZoomKeyWhen::NotMosaic && s.mosaic) || (r.when == ZoomKeyWhen::Slideshow && !s.slideshow))
            return std::nullopt;
        return ZoomKeyAction { r.command, r.arg };
    }
    return std::nullopt;
}

std::vector<int> KeyboardPanOffsets(int offset, int view, int image, int direction, int step, int maxSteps)
{
    std::vector<int> out;
    if (step <= 0 || direction == 0)
        return out;
    if (direction < 0 && offset <= step)
        return out;
    if (direction > 0 && offset + view > image)
        return out;
    for (int i = 0; i < maxSteps; ++i) {
        const int next = offset + direction * step;
        if (next <= 0 || next + view > image)
            break;
        offset = next;
        out.push_back(offset);
    }
    return out;
}

std::optional<int> TopOffset(int imageH, int viewH)
{
    if (imageH <= viewH)
        return std::nullopt;
    return 1;
}

std::optional<int> BottomOffset(int imageH, int viewH)
{
    if (imageH <= viewH)
        return std::nullopt;
    return imageH - viewH;
}

PanScroll IncrementalPan(const PanGeometry &g, int dx, int dy)
{
    PanScroll s;
    s.offsets = PanOffsets(g, dx, dy);
    const QPoint moved = s.offsets - QPoint(g.srcX, g.srcY);
    PanGeometry now = g;
    now.srcX = s.offsets.x();
    now.srcY = s.offsets.y();
    const PanCopy c = RedrawAtOffset(now, 0, 0);
    const QRect drawn(c.destination, c.source.size());
    s.origin = c.source.topLeft() - c.destination;
    s.shift = -moved;
    if (moved.isNull())
        return s;
    // What was drawn moves with the image; only the part the move brings in from
    // outside the old picture needs the off-screen image.
    const QRegion stale = QRegion(drawn) - QRegion(drawn.translated(s.shift));
    for (const QRect &r : stale)
        s.strips.push_back(r);
    return s;
}

bool PlatformMovesPointer(const QString &platformName)
{
    return !platformName.startsWith(QLatin1String("wayland"), Qt::CaseInsensitive);
}

} // namespace v7
