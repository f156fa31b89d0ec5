// The framed protocol between the browser and its external thumbnail worker
// (vorlane7-thumbx), over the worker's standard input and output.
//
// A frame is a 4-byte little-endian payload length, one type byte, then the
// payload. The browser sends ThumbProcess once, then one Ack per ThumbsDisplay;
// the worker sends a ThumbsDisplay per thumbnail and Done at its end.
//
// Threads: plain values and functions; any thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace v7::component
{

enum class FrameType : std::uint8_t {
    ThumbProcess = 1,
    ThumbsDisplay = 2,
    Ack = 3,
    Done = 4,
};

// No payload is larger: a file list of 100,000 long names fits.
constexpr std::uint32_t MaxFramePayload = 32u * 1024 * 1024;

struct Frame {
    FrameType type = FrameType::Done;
    QByteArray payload;
};

QByteArray encodeFrame(FrameType type, const QByteArray &payload);

// Collects bytes as they arrive and hands out whole frames.
class FrameReader
{
public:
    void feed(const char *data, qsizetype size);
    void feed(const QByteArray &bytes) { feed(bytes.constData(), bytes.size()); }
    // The next whole frame; nothing when more bytes are needed or after an error.
    std::optional<Frame> next();
    // Set for an unknown type or an oversized length; the stream cannot go on.
    bool failed() const { return !m_error.isEmpty(); }
    QString error() const { return m_error; }

private:
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    QString m_error;
};

// ThumbProcess: what the worker needs to run one job as the browser would.
struct ThumbProcessArgs {
    bool cacheThumbs = true;
    bool callerFlag = false; // the caller's ShowThumbCounter
    QString folder;
    QString cacheThumbsDir;
    std::int32_t thumbW = 96, thumbH = 72, marginW = 20, marginH = 20;
    QStringList files;
    // The store's values and pane values at the start.
    std::int32_t columns = 1, referenceIndex = 0, currentIndex = 0, viewTop = 0, viewBottom = 0, progressWidth = 0;
    bool transacted = false;
    std::int32_t poolSize = 0;
    bool useEmbeddedThumbs = true; // the caller's UseEmbeddedThumbs
};
QByteArray encodeThumbProcess(const ThumbProcessArgs &a);
std::optional<ThumbProcessArgs> decodeThumbProcess(const QByteArray &payload);

struct ThumbsDisplayArgs {
    std::int32_t index = 0;
    bool refresh = false;
    std::int32_t progressLength = 0;
    QByteArray bytes;
};
QByteArray encodeThumbsDisplay(const ThumbsDisplayArgs &a);
std::optional<ThumbsDisplayArgs> decodeThumbsDisplay(const QByteArray &payload);

// The worker program's registration in the hive.
inline const QString WorkerClassKey = QStringLiteral("Software\\Classes\\Quillmark7Xexe.ThumbX");
inline const QString WorkerServerValue = QStringLiteral("LocalServer");
inline const QString WorkerProgramName = QStringLiteral("vorlane7-thumbx");
// Registers programPath (default: vorlane7-thumbx beside the running program) when
// the registration is missing or names a program that is gone. True when registered.
bool RegisterThumbWorker(const QString &programPath = QString());
// The registered program's path; empty when none is registered.
QString RegisteredThumbWorker();

} // namespace v7::component
