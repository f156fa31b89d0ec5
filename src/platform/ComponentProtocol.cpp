#include "platform/ComponentProtocol.h"

#include "platform/Hive.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace v7::component
{

namespace
{
    void putU32(QByteArray &out, std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out.append(char((v >> (8 * i)) & 0xFF));
    }
    std::uint32_t getU32(const char *p)
    {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | std::uint8_t(p[i]);
        return v;
    }

    class Writer
    {
    public:
        void i32(std::int32_t v) { putU32(m_out, std::uint32_t(v)); }
        void flag(bool b) { m_out.append(char(b ? 1 : 0)); }
        void bytes(const QByteArray &b)
        {
            putU32(m_out, std::uint32_t(b.size()));
            m_out.append(b);
        }
        void text(const QString &s) { bytes(s.toUtf8()); }
        QByteArray take() { return std::move(m_out); }

    private:
        QByteArray m_out;
    };

    // Every read checks the remaining length; the first failure sticks.
    class Reader
    {
    public:
        explicit Reader(const QByteArray &b)
            : m_b(b)
        {
        }
        bool ok() const { return m_ok; }
        bool atEnd() const { return m_pos == m_b.size(); }
        std::int32_t i32()
        {
            if (!need(4))
                return 0;
            const std::uint32_t v = getU32(m_b.constData() + m_pos);
            m_pos += 4;
            return std::int32_t(v);
        }
        bool flag()
        {
            if (!need(1))
                return false;
            const char c = m_b[m_pos++];
            if (c != 0 && c != 1)
                m_ok = false;
            return c == 1;
        }
        QByteArray bytes()
        {
            const std::uint32_t n = std::uint32_t(i32());
            if (!m_ok || !need(qsizetype(n)))
                return {};
            QByteArray out = m_b.mid(m_pos, qsizetype(n));
            m_pos += qsizetype(n);
            return out;
        }
        QString text() { return QString::fromUtf8(bytes()); }

    private:
        bool need(qsizetype n)
        {
            if (!m_ok || n < 0 || m_b.size() - m_pos < n)
                m_ok = false;
            return m_ok;
        }
        const QByteArray &m_b;
        qsizetype m_pos = 0;
        bool m_ok = true;
    };
} // namespace

QByteArray encodeFrame(FrameType type, const QByteArray &payload)
{
    QByteArray out;
    out.reserve(payload.size() + 5);
    putU32(out, std::uint32_t(payload.size()));
    out.append(char(type));
    out.append(payload);
    return out;
}

void FrameReader::feed(const char *data, qsizetype size)
{
    if (failed() || size <= 0)
        return;
    if (m_pos > 0 && m_pos == m_buffer.size()) {
        m_buffer.clear();
        m_pos = 0;
    }
    m_buffer.append(data, size);
}

std::optional<Frame> FrameReader::next()
{
    if (failed() || m_buffer.size() - m_pos < 5)
        return std::nullopt;
    const char *p = m_buffer.constData() + m_pos;
    const std::uint32_t length = getU32(p);
    const std::uint8_t type = std::uint8_t(p[4]);
    if (length > MaxFramePayload) {
        m_error = QStringLiteral("frame of %1 bytes is too large").arg(length);
        return std::nullopt;
    }
    if (type < std::uint8_t(FrameType::ThumbProcess) || type > std::uint8_t(FrameType::Done)) {
        m_error = QStringLiteral("unknown frame type %1").arg(type);
        return std::nullopt;
    }
    if (m_buffer.size() - m_pos - 5 < qsizetype(length))
        return std::nullopt;
    Frame f { FrameType(type), m_buffer.mid(m_pos + 5, qsizetype(length)) };
    m_pos += 5 + qsizetype(length);
    // Drop what was consumed once it is a large part of the buffer.
    if (m_pos > 65536 && m_pos * 2 > m_buffer.size()) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    return f;
}

QByteArray encodeThumbProcess(const ThumbProcessArgs &a)
{
    Writer w;
    w.flag(a.cacheThumbs);
    w.flag(a.callerFlag);
    w.text(a.folder);
    w.text(a.cacheThumbsDir);
    w.i32(a.thumbW);
    w.i32(a.thumbH);
    w.i32(a.marginW);
    w.i32(a.marginH);
    w.i32(std::int32_t(a.files.size()));
    for (const QString &f : a.files)
        w.text(f);
    for (std::int32_t v : { a.columns, a.referenceIndex, a.currentIndex, a.viewTop, a.viewBottom, a.progressWidth })
        w.i32(v);
    w.flag(a.transacted);
    w.i32(a.poolSize);
    w.flag(a.useEmbeddedThumbs);
    return w.take();
}

std::optional<ThumbProcessArgs> decodeThumbProcess(const QByteArray &payload)
{
    Reader r(payload);
    ThumbProcessArgs a;
    a.cacheThumbs = r.flag();
    a.callerFlag = r.flag();
    a.folder = r.text();
    a.cacheThumbsDir = r.text();
    a.thumbW = r.i32();
    a.thumbH = r.i32();
    a.marginW = r.i32();
    a.marginH = r.i32();
    const std::int32_t count = r.i32();
    // Each name takes at least its 4-byte length, which bounds a lying count.
    if (!r.ok() || count < 0 || qsizetype(count) > payload.size() / 4)
        return std::nullopt;
    a.files.reserve(count);
    for (std::int32_t i = 0; i < count && r.ok(); ++i)
        a.files.push_back(r.text());
    for (std::int32_t *v :
        { &a.columns, &a.referenceIndex, &a.currentIndex, &a.viewTop, &a.viewBottom, &a.progressWidth })
        *v = r.i32();
    a.transacted = r.flag();
    a.poolSize = r.i32();
    a.useEmbeddedThumbs = r.flag();
    if (!r.ok() || !r.atEnd() || a.thumbW <= 0 || a.thumbH <= 0 || a.thumbW > 4096 || a.thumbH > 4096 || a.poolSize < 0
        || a.poolSize > 256)
        return std::nullopt;
    return a;
}

QByteArray encodeThumbsDisplay(const ThumbsDisplayArgs &a)
{
    Writer w;
    w.i32(a.index);
    w.flag(a.refresh);
    w.i32(a.progressLength);
    w.bytes(a.bytes);
    return w.take();
}

std::optional<ThumbsDisplayArgs> decodeThumbsDisplay(const QByteArray &payload)
{
    Reader r(payload);
    ThumbsDisplayArgs a;
    a.index = r.i32();
    a.refresh = r.flag();
    a.progressLength = r.i32();
    a.bytes = r.bytes();
    if (!r.ok() || !r.atEnd() || a.index < 0)
        return std::nullopt;
    return a;
}

bool RegisterThumbWorker(const QString &programPath)
{
    QString path = programPath;
    if (path.isEmpty())
        path = QDir(QCoreApplication::applicationDirPath()).filePath(WorkerProgramName);
    const QString current = RegisteredThumbWorker();
    if (!current.isEmpty() && QFileInfo(current).isExecutable() && programPath.isEmpty())
        return true;
    if (!QFileInfo(path).isExecutable())
        return false;
    return Hive::user().write(WorkerClassKey, WorkerServerValue, RegValue::fromText(path));
}

QString RegisteredThumbWorker()
{
    const auto v = Hive::user().read(WorkerClassKey, WorkerServerValue);
    if (!v || v->type != RegType::Sz)
        return {};
    return v->text;
}

} // namespace v7::component
