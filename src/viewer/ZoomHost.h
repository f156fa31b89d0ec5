// What the full-screen viewer asks of the window that opened it: the viewer owns
// no file list of its own, every step moves the host's list selection, and the
// zoom factor and fit mode are the host's.
//
// Threads: user-interface thread only.
#pragma once

#include "imaging/Zoom.h"

#include <QString>

namespace v7
{

class ZoomHost
{
public:
    virtual ~ZoomHost() = default;
    virtual int ZoomFileCount() const = 0;
    // 1-based index of the list's selected (current) item; 0 when none.
    virtual int ZoomSelectedItem() const = 0;
    // The full path of item (1-based).
    virtual QString ZoomFilePath(int item) const = 0;
    // Makes item (1-based) the list's selected item, without drawing it.
    virtual void ZoomSelectItem(int item) = 0;
    // The single-image step: "+" next (the last wraps to the first), "-" previous,
    // "" the current item; refreshes the viewer's info lines and draws the item there.
    virtual void ZoomImageStep(const QString &op) = 0;
    // The host's zoom step: "+" and "-" change PreviewZoom by 0.25 within 0.5..10;
    // then the current file is drawn again.
    virtual void ZoomStep(const QString &op) = 0;
    virtual ZoomFactor PreviewZoom() const = 0;
    virtual void SetPreviewZoom(ZoomFactor zoom) = 0;
    virtual QString ViewType() const = 0;
    virtual void SetViewType(const QString &fitMode) = 0;
    // Deletes the shown file through the host's file commands (asking, to the
    // trash); true when it is gone.
    virtual bool ZoomDeleteShown() = 0;
    // The viewer is closing: the host takes back the shared view geometry, the
    // pointer and its layout.
    virtual void ZoomWindowClosing() = 0;
};

} // namespace v7
