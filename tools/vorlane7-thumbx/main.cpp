// vorlane7-thumbx: the external thumbnail worker. The browser starts it, sends one
// ThumbProcess frame on standard input and answers each ThumbsDisplay frame that
// the worker writes on standard output with an Ack (continue or stop). The worker
// runs the same job as the browser's own modes, so the cache gets the same bytes.
//
// Exit codes: 0 after a job, 2 when the request is missing or malformed.
#include "app/Settings.h"
#include "imaging/Codecs.h"
#include "platform/ComponentProtocol.h"
#include "thumbs/ThumbMain.h"

#include <QCoreApplication>
#include <QThread>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace
{

using namespace v7;
using namespace v7::component;

bool writeAll(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

// The next frame from standard input; nothing at end of input or on a bad stream.
std::optional<Frame> readFrame(FrameReader &reader)
{
    for (;;) {
        if (auto f = reader.next())
            return f;
        if (reader.failed())
            return std::nullopt;
        char buf[65536];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        reader.feed(buf, n);
    }
}

// The store is in the browser: each thumbnail goes out as ThumbsDisplay and the
// job waits for the browser's answer.
class PipeLink : public ThumbJobLink
{
public:
    PipeLink(FrameReader &reader, const ThumbProcessArgs &a)
        : m_reader(reader)
        , m_args(a)
    {
    }
    StoreValues storeValues() override
    {
        return { m_args.columns, int(m_args.files.size()), m_args.referenceIndex, m_args.progressWidth };
    }
    PaneValues paneValues() override { return { m_args.currentIndex, m_args.viewTop, m_args.viewBottom }; }
    bool deliver(const ThumbDelivery &d) override
    {
        if (m_stopped)
            return false;
        ThumbsDisplayArgs t { d.index, d.refresh, d.progressLength, d.bytes };
        if (!writeAll(encodeFrame(FrameType::ThumbsDisplay, encodeThumbsDisplay(t)))) {
            m_stopped = true;
            return false;
        }
        const auto ack = readFrame(m_reader);
        if (!ack || ack->type != FrameType::Ack || ack->payload.size() != 1 || ack->payload[0] != 1)
            m_stopped = true;
        return !m_stopped;
    }
    bool cancelRequested() override { return m_stopped; }
    void progress(int, int) override { }
    void jobFinished() override { }

private:
    FrameReader &m_reader;
    const ThumbProcessArgs &m_args;
    bool m_stopped = false;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    FrameReader reader;
    const auto request = readFrame(reader);
    const auto args =
        request && request->type == FrameType::ThumbProcess ? decodeThumbProcess(request->payload) : std::nullopt;
    if (!args) {
        std::fprintf(stderr, "vorlane7-thumbx: expected a ThumbProcess request on standard input\n");
        return 2;
    }
    // Hidden switches for tests: after N thumbnails stop answering, as a hung worker
    // would, or die; or take this many milliseconds over every thumbnail.
    const int hangAfter = qEnvironmentVariableIntValue("V7_THUMBX_HANG_AFTER");
    const int dieAfter = qEnvironmentVariableIntValue("V7_THUMBX_DIE_AFTER");
    const int slowMs = qEnvironmentVariableIntValue("V7_THUMBX_SLOW_MS");

    Settings &cfg = settings();
    cfg.CacheThumbs = args->cacheThumbs;
    cfg.CacheThumbsDir = args->cacheThumbsDir;
    cfg.ThumbW = args->thumbW;
    cfg.ThumbH = args->thumbH;
    cfg.MarginW = args->marginW;
    cfg.MarginH = args->marginH;
    cfg.UseEmbeddedThumbs = args->useEmbeddedThumbs;
    startFlags().ShowThumbCounter = args->callerFlag;
    startFlags().TransactedCache = args->transacted;

    PipeLink pipe(reader, *args);
    struct HangLink : ThumbJobLink {
        ThumbJobLink &inner;
        int left;
        bool die;
        int slowMs;
        HangLink(ThumbJobLink &i, int n, bool d, int slow)
            : inner(i)
            , left(n)
            , die(d)
            , slowMs(slow)
        {
        }
        StoreValues storeValues() override { return inner.storeValues(); }
        PaneValues paneValues() override { return inner.paneValues(); }
        bool deliver(const ThumbDelivery &d) override
        {
            if (left > 0 && --left == 0) {
                if (die)
                    ::_exit(3);
                for (;;)
                    ::pause();
            }
            if (slowMs > 0)
                QThread::msleep(static_cast<unsigned long>(slowMs));
            return inner.deliver(d);
        }
        bool cancelRequested() override { return inner.cancelRequested(); }
        void progress(int l, int h) override { inner.progress(l, h); }
        void jobFinished() override { inner.jobFinished(); }
    } hang(pipe, dieAfter > 0 ? dieAfter : hangAfter, dieAfter > 0, slowMs);

    ThumbMain job(hangAfter > 0 || dieAfter > 0 || slowMs > 0 ? static_cast<ThumbJobLink *>(&hang) : &pipe);
    job.setPoolSize(args->poolSize);
    job.setJob(args->folder, args->files);
    job.RunThumbJob();
    writeAll(encodeFrame(FrameType::Done, {}));
    return 0;
}
