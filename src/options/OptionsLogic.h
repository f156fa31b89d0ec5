// What the options dialog does with the settings, without the dialog: loading
// the controls' values from the settings, writing them back in the fixed order,
// the thumbnail height from the size and the aspect, the file-type list, and the
// texts it shows. The dialog only moves these values in and out of its widgets.
//
// Threads: user-interface thread (it reads and writes that thread's settings).
#pragma once

#include "app/Settings.h"

#include <QList>
#include <QPainter>
#include <QRect>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace v7
{

// The ranges of the dialog's sliders and fields. A stored value outside a range is
// shown at the nearest end, and written back so by Apply.
struct OptionRange {
    int min;
    int max;
};
inline constexpr OptionRange ThumbSizeRange { 32, 200 }; // "Thumbnails Size:" (ThumbW, pixels)
inline constexpr OptionRange FrameRange { 2, 40 }; // "Frame Size:" (MarginW = MarginH, pixels)
inline constexpr OptionRange ThumbsRowRange { 1, 8 }; // "Thumbs Columns:"
inline constexpr OptionRange IterationsRange { 1, 100 }; // "Iterations:" (E_Iter)
inline constexpr OptionRange DelayRange { 0, 100 }; // "Delay (ms):" (E_Delay)
inline constexpr OptionRange CacheMaxRange { 0, 1000000 }; // "Cache size limit (MB)"

// The transition effects, in list order (E_Index is the position).
const QStringList &EffectNames();

// The file types the list offers before any added by hand, in list order.
const QStringList &KnownFileTypes();

struct FileTypeChoice {
    QString type; // upper case, without dot
    bool checked = false;
    friend bool operator==(const FileTypeChoice &, const FileTypeChoice &) = default;
};

// Second caption line under a thumbnail (Opt_Caption).
enum CaptionLine { CaptionFileSize = 0, CaptionFileDate = 1, CaptionFileInfo = 2 };

// Every control of the dialog as a value.
struct OptionsValues {
    int thumbSize = 96; // HScroll1
    int aspect = 0; // Opt_Aspect: 0 "Landscape", 1 "Potrait"
    int frame = 20; // Slider_Frame
    int thumbsRow = 2; // Slider_TRows
    std::uint32_t thumbColor = 0, frameColor = 0, textColor = 0, viewColor = 0; // 0x00BBGGRR
    bool showCaption = true; // Chk_ThumbCaption
    int captionLine = CaptionFileSize; // Opt_Caption
    bool quality = false; // Chk_Quality
    int threadMode = 1; // Opt_Threads
    bool cacheThumbs = true; // Chk_Cache
    QString cacheDir; // Text1
    bool noCompression = false; // Chk_Comp: shown, never stored
    int effectIndex = 0; // List1
    int effectIter = 20; // Slider1(0)
    int effectDelay = 15; // Slider1(1)
    bool showInfo = false; // Chk_ShowInfo
    QList<FileTypeChoice> fileTypes; // List_FTypes
    bool useEmbeddedThumbs = true;
    int cacheMaxMB = 1024;
    bool deletePermanently = false;
    QString editorCommand;
    friend bool operator==(const OptionsValues &, const OptionsValues &) = default;
};

// The main window's own values that the dialog edits.
struct WindowOptions {
    int thumbsRow = 2;
    bool showInfo = false; // the status bar's image information switch
};

// "Potrait" (1) when ThumbW / ThumbH is 0.75 or less, else "Landscape" (0); a
// height of 0 or less reads as "Landscape".
int AspectIndexFor(int thumbW, int thumbH);
// size x 0.75 ("Landscape") or size / 0.75 ("Potrait"), to the nearest whole
// number, halves to even.
int ThumbHeightFor(int size, int aspect);

// The list's entries for the settings' file types: the known types, then any other
// stored type, each checked when it is in the settings' list.
QList<FileTypeChoice> FileTypeChoicesFor(const Settings &s);
// Adds a type typed by the user (upper-cased, a leading "*." or "." dropped).
// False, and nothing added, for an empty text, "*", or a type already listed.
bool AddFileTypeChoice(QList<FileTypeChoice> &list, const QString &text);
// The settings' slots emptied and refilled from the first with the checked
// entries, in list order, at most 20.
void RefillFileTypes(Settings &s, const QList<FileTypeChoice> &list);

// The settings beside the design's that live outside the Settings record
// (section StartUp), read and written here.
bool ReadDeletePermanently();
QString ReadEditorCommand();

// Load: the controls' values from the settings and the main window.
OptionsValues LoadOptions(const Settings &s, const WindowOptions &w);

// What Apply changed that the main window must act on.
struct ApplyOutcome {
    bool thumbHChanged = false; // restart the display: thumbnails are made at the new size
    bool thumbsRowChanged = false;
    bool gridChanged = false; // anything else the grid draws (size, frame, colours, captions)
    bool fileTypesChanged = false; // the folder is listed again
};

// Apply steps 1 to 7 and 9 on values: the settings and the window's values take
// the controls' values; nothing is written.
ApplyOutcome ApplyOptionsTo(const OptionsValues &v, Settings &s, WindowOptions &w);
// Step 8: SaveSettings, and the added values of section StartUp.
void StoreOptions(const OptionsValues &v);

// A folder's cache size: bytes / 1024 as "#,##0.0" followed by "KB".
QString CacheSizeText(std::int64_t bytes);
// The question before a folder's cache is deleted.
QString DeleteCacheQuestion(const QString &folder);

// The sample cell's second caption line for a choice of Opt_Caption.
QString SampleCaption(int captionLine);

// The sample cell (Pic_Thumb) as the values would draw a grid cell: the cell in
// the frame colour, the picture area in the back colour with a sunken edge and
// the size as text, a raised edge around the cell, and with captions on the
// caption strip's two lines.
QSize SampleCellSize(const OptionsValues &v);
void PaintSampleCell(QPainter &painter, const OptionsValues &v);

// Where the image operations window goes: its top 2 pixels below the top of
// area (the preview area on screen), its right side 8 pixels inside area's right.
QPoint ImageOpsWindowPosition(const QRect &area, QSize windowFrame);

} // namespace v7
