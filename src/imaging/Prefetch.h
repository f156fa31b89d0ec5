// Decoding the next images ahead, so that stepping through a folder shows each
// image without waiting for its decode. Each file is prepared at a reduction (1
// whole, else a JPEG decoded at 1/2, 1/4 or 1/8), and the preview asks for it
// through take() with the reduction it can use. A prepared image serves only when
// it is at least that large (waiting for its decode if it is still running);
// otherwise the file is decoded again, so a full-size request never gets a reduced
// image, whatever fit mode, zoom or pane size it was prepared for.
//
// Threads: prefetch(), take(), the counters and the destructor are called from
// one thread (the user-interface thread); the decodes run on threads of their own.
#pragma once

#include "imaging/Draw.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>
#include <functional>
#include <future>
#include <list>

class QThread;

namespace v7
{

class Prefetcher
{
public:
    // Decodes file at 1/reduction of its size (1: whole); a null image on failure.
    // icc (never null) receives the profile when the image comes in the file's
    // colours (see LoadImageDibForScreen); left empty, the image is sRGB. Called on
    // the decode threads, so it must be thread-safe.
    using Loader = std::function<QImage(const QString &file, int reduction, QByteArray *icc)>;
    // keep: how many prepared images are held at most (the oldest is dropped).
    explicit Prefetcher(Loader loader, int keep = 2);
    ~Prefetcher();
    Prefetcher(const Prefetcher &) = delete;
    Prefetcher &operator=(const Prefetcher &) = delete;

    // Starts decoding file at 1/reduction in the background, unless it is held or
    // under way at that reduction or a smaller one. One prepared smaller than that
    // (for another fit mode, zoom or pane) is dropped and decoded again.
    void prefetch(const QString &file, int reduction = 1);
    // The image of file at 1/reduction of its size or larger: the prepared one when
    // it is large enough, else decoded now at 1/reduction. Either way the file is
    // no longer held. Given icc, the image may come in the file's colours with icc
    // receiving the profile; without, it is turned to sRGB here if need be.
    QImage take(const QString &file, int reduction = 1, QByteArray *icc = nullptr);

    // Files held or being decoded, oldest first (for tests and benchmarks).
    QStringList pending() const;
    int decodesStarted() const { return m_started; }
    // How many take() calls a prepared image answered.
    int served() const { return m_served; }

private:
    struct Decoded {
        QImage image;
        QByteArray icc;
    };
    struct Entry {
        QString file;
        int reduction = 1;
        std::shared_future<Decoded> image;
    };
    // A decode no longer wanted is left to finish on its own thread; it is only
    // waited for when too many pile up, and by the destructor.
    void drop(std::list<Entry>::iterator it);
    void reapDropped();

    Loader m_loader;
    int m_keep;
    std::list<Entry> m_entries;
    std::list<std::shared_future<Decoded>> m_dropped;
    int m_started = 0;
    int m_served = 0;
};

// The preview's own decode: JPEG files at 1/reduction (upright), anything else
// whole, as a DIB in the screen's depth. Thread-safe once screenDepth() has been
// read on the GUI thread. In sRGB; given icc, a whole decode may come in the
// file's colours as LoadImageDibForScreen gives it.
QImage LoadPreviewImage(const QString &file, int reduction, QByteArray *icc = nullptr);

// The draw services of a preview whose decodes go through prefetcher: on thread
// ui, a full-size load takes only a whole prepared image and a reduced load one
// prepared at that reduction or larger; other threads (thumbnail work) decode
// directly. The shown picture's whole decode stays in the file's colours. The
// prefetcher must outlive the services' use.
DrawServices PreviewDrawServices(Prefetcher &prefetcher, const QThread *ui);

} // namespace v7
