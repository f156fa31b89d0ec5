// The full-screen viewer's rules without its window: the slideshow delay and
// tick, the mosaic page arithmetic, the key table, the menu's modes, the info
// lines and the pan arithmetic. The window (Frm_Zoom) gathers input, asks these
// functions what to do and paints the result.
//
// Threads: plain data and pure functions; any thread (the viewer uses them on the
// user-interface thread).
#pragma once

#include "imaging/Pan.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <Qt>
#include <optional>
#include <vector>

namespace v7
{

// ---- slideshow delay and timer ----
inline constexpr int DefaultSlideDelayMs = 2000;
inline constexpr int MinSlideDelayMs = 1000;
inline constexpr int MaxSlideDelayMs = 30000;
inline constexpr int SlideDelayStepMs = 1000;
inline constexpr int ZoomTimerIntervalMs = 200; // Timer1

// Numeric-pad *: one step longer, at most 30 s.
int LongerDelay(int delayMs);
// Numeric-pad /: one step shorter while above 1 s.
int ShorterDelay(int delayMs);
// The delay label: seconds in their shortest decimal form and " sec." ("2 sec.").
QString DelayLabelText(int delayMs);
// The label's white box and text corner, for a font whose "10 sec." is
// sampleWidth wide and whose "I" is letterHeight high.
QRect DelayLabelBox(int sampleWidth, int letterHeight);
inline constexpr QPoint DelayLabelTextAt { 46, 3 };

// One timer tick: counts it, and when the count reaches delay / 200 resets it and
// says a step is due (once per delay).
bool TickDue(int &tickCount, int delayMs);

// ---- mosaic ----
struct MosaicCell {
    int item = 0; // 1-based index in the file list
    QRect rect; // in the window: the cell less an 8-pixel margin on each side
    bool operator==(const MosaicCell &) const = default;
};
struct MosaicPage {
    std::vector<MosaicCell> cells; // up to nine, row by row
    int position = 0; // the mosaic position after the step
    int selectItem = 0; // the item to select afterwards; 0: none
};
// One mosaic step from position over a list of fileCount files in a window of
// size window: cells of a third of the window, the next nine items after
// position, stopping after the last item (the position then starts again at 1).
// A negative position starts at the last nine files (at the first when there
// are fewer than nine).
MosaicPage MosaicStep(int position, int fileCount, QSize window);
// "&Previous" in mosaic mode moves the position back by 16 before the step.
inline constexpr int MosaicBackStep = 16;
// The items a step from position would show (for decoding them ahead).
std::vector<int> MosaicItems(int position, int fileCount);

// ---- the menu's state and modes ----
struct ZoomShowState {
    int delay = DefaultSlideDelayMs;
    int tickCount = 0;
    int mosaicPosition = 0;
    bool slideshow = false; // "&Slideshow" checked
    bool mosaic = false; // "&Mosaicshow" checked
    bool running = false; // Mnu_Start reads ".....Stop"
    bool zoomLock = false; // "Zoom &Lock" checked
    QString timerTag; // "1": the timer makes mosaic steps
    QString menuTag; // "1": the menu opens again after the command

    // Next, previous and automatic steps are single-image steps only here; in the
    // first state and in mosaic mode they are mosaic steps.
    bool singleImageSteps() const { return slideshow; }
    // Info lines, "Zoom &Lock", "&Delete" and the fit items.
    bool singleItemsEnabled() const { return slideshow; }
};
inline constexpr char16_t StartCaption[] = u".....Start";
inline constexpr char16_t StopCaption[] = u".....Stop";

enum class ModeDrawing { SingleImage, MosaicStep };
// "&Slideshow" (mosaicCommand false) or "&Mosaicshow" (true): switches between
// the two modes and stops a running show (as start/stop with selectedItem).
// Returns what to draw. The timer follows the mode it switched to, so that
// automatic steps are always of the kind the window shows.
ModeDrawing ChooseShowMode(ZoomShowState &s, bool mosaicCommand, int selectedItem);
// ".....Start" / ".....Stop": the timer runs or stops; the mosaic position
// becomes the selected item (1-based; 0 none keeps it).
void StartStop(ZoomShowState &s, int selectedItem);

struct TickAction {
    bool step = false; // a step is due
    bool mosaic = false; // a mosaic step (else as Space)
    bool resetZoom = false; // PreviewZoom back to 0 (read as 1)
};
TickAction Tick(ZoomShowState &s);

// Mnu_Info (0) and (1): the file's name; its size column, " bytes,  " and its
// image-properties column.
QStringList ZoomInfoLines(const QString &name, const QString &sizeText, const QString &properties);

// Mnu_View's items and captions, in menu order (separators as "-").
enum class ZoomMenuItem {
    Info0,
    Info1,
    Separator,
    Slideshow,
    Mosaicshow,
    Start,
    ZoomLock,
    Next,
    Previous,
    Delete,
    FitAutoItem,
    FitNormalItem,
    FitWidthItem,
    FitHeightItem,
    Options,
    Exit
};
struct ZoomMenuRow {
    ZoomMenuItem item;
    QString caption; // empty for Info0/Info1 (set at run time)
};
const std::vector<ZoomMenuRow> &ZoomMenuRows();
// The fit item indexes 0..3 name these modes.
QString ZoomFitMode(int index); // "" outside 0..3
int ZoomFitIndex(const QString &fitMode); // -1 when unknown

// ---- keys ----
enum class ZoomCommand {
    Menu,
    Delete,
    Next,
    Previous,
    Top,
    Bottom,
    Options,
    Close,
    ZoomIn,
    ZoomOut,
    ZoomDigit,
    DelayUp,
    DelayDown,
    PanLeft,
    PanRight,
    PanUp,
    PanDown,
};
enum class KeyPad { Any, Only }; // Only: the numeric pad's key
enum class AltRule { Any, With, Without };
enum class ZoomKeyWhen { Always, NotMosaic, Slideshow };
struct ZoomKeyRow {
    int key; // Qt::Key
    KeyPad pad;
    AltRule alt;
    ZoomCommand command;
    int arg; // the digit of ZoomDigit
    ZoomKeyWhen when;
};
const std::vector<ZoomKeyRow> &ZoomKeyTable();
struct ZoomKeyAction {
    ZoomCommand command;
    int arg = 0;
};
// The command a key runs in the current state; none when the key is not in the
// table or its condition does not hold.
std::optional<ZoomKeyAction> ZoomKeyLookup(int key, Qt::KeyboardModifiers modifiers, const ZoomShowState &s);

// ---- panning ----
inline constexpr int ZoomPanStep = 4;
inline constexpr int ZoomPanMaxSteps = 21;
// The offsets a keyboard pan passes through in one axis: steps of step pixels
// (direction -1 or +1), at most maxSteps, never to 0 or below and never past the
// image's far edge; none when the offset cannot move that way.
std::vector<int> KeyboardPanOffsets(int offset, int view, int image, int direction, int step, int maxSteps);
// Home and End: the new vertical offset, or nothing when the image is not taller
// than the view.
std::optional<int> TopOffset(int imageH, int viewH);
std::optional<int> BottomOffset(int imageH, int viewH);

// A mouse pan by (dx, dy) done by moving what the window shows and drawing only
// the strips the move uncovers.
struct PanScroll {
    QPoint offsets; // the new source offsets
    QPoint shift; // what the window shows moves by this much
    std::vector<QRect> strips; // then these view rectangles are drawn anew
    QPoint origin; // image coordinates of the view's (0, 0): a strip at p reads p + origin
};
PanScroll IncrementalPan(const PanGeometry &g, int dx, int dy);

// Where the popup menu opens: the right button at the pointer less (16, 145), the
// menu key at (0, 48) of the window.
inline constexpr QPoint PopupFromPointer { -16, -145 };
inline constexpr QPoint PopupFromMenuKey { 0, 48 };

// The pointer goes to (8, 8) of the screen while the viewer is open, and back
// afterwards. Wayland lets no program move it: there it stays where it is.
inline constexpr QPoint ViewerPointerAt { 8, 8 };
bool PlatformMovesPointer(const QString &platformName);

} // namespace v7
