#include "platform/Scanner.h"

#include <QByteArray>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <sane/sane.h>
#include <vector>

namespace v7
{

namespace
{

    std::mutex &saneLock()
    {
        static std::mutex m;
        return m;
    }

    // sane_init ... sane_exit around one call.
    struct SaneSession {
        SANE_Status status;
        SaneSession()
        {
            SANE_Int version = 0;
            status = sane_init(&version, nullptr);
        }
        ~SaneSession()
        {
            if (status == SANE_STATUS_GOOD)
                sane_exit();
        }
        SaneSession(const SaneSession &) = delete;
        SaneSession &operator=(const SaneSession &) = delete;
    };

    QString statusText(SANE_Status s)
    {
        return QString::fromLocal8Bit(sane_strstatus(s));
    }

    QString text(const char *s)
    {
        return s ? QString::fromLocal8Bit(s) : QString();
    }

    // The largest page we take in: a bound for devices that do not say how long it is.
    constexpr qint64 MaxScanBytes = qint64(768) << 20;

    bool settable(const SANE_Option_Descriptor *d)
    {
        return d && SANE_OPTION_IS_ACTIVE(d->cap) && SANE_OPTION_IS_SETTABLE(d->cap);
    }

    SANE_Int findOption(SANE_Handle h, const QString &name)
    {
        SANE_Int count = 0;
        if (sane_control_option(h, 0, SANE_ACTION_GET_VALUE, &count, nullptr) != SANE_STATUS_GOOD)
            return -1;
        const QByteArray wanted = name.toLatin1();
        for (SANE_Int i = 1; i < count; ++i) {
            const SANE_Option_Descriptor *d = sane_get_option_descriptor(h, i);
            if (d && d->name && wanted == d->name)
                return i;
        }
        return -1;
    }

    SANE_Status setOption(SANE_Handle h, const QString &name, const QString &value)
    {
        const SANE_Int i = findOption(h, name);
        const SANE_Option_Descriptor *d = i > 0 ? sane_get_option_descriptor(h, i) : nullptr;
        if (!settable(d))
            return SANE_STATUS_UNSUPPORTED;
        SANE_Int info = 0;
        switch (d->type) {
        case SANE_TYPE_BOOL: {
            const QString v = value.toLower();
            SANE_Bool b = (v == QLatin1String("yes") || v == QLatin1String("true") || v == QLatin1String("1"))
                ? SANE_TRUE
                : SANE_FALSE;
            return sane_control_option(h, i, SANE_ACTION_SET_VALUE, &b, &info);
        }
        case SANE_TYPE_INT:
        case SANE_TYPE_FIXED: {
            bool ok = false;
            const double number = value.toDouble(&ok);
            if (!ok)
                return SANE_STATUS_INVAL;
            const SANE_Word word = d->type == SANE_TYPE_INT ? SANE_Word(number) : SANE_FIX(number);
            std::vector<SANE_Word> words(std::max<size_t>(1, size_t(d->size) / sizeof(SANE_Word)), word);
            return sane_control_option(h, i, SANE_ACTION_SET_VALUE, words.data(), &info);
        }
        case SANE_TYPE_STRING: {
            std::vector<char> buffer(size_t(std::max<SANE_Int>(d->size, 1)), '\0');
            const QByteArray bytes = value.toLocal8Bit();
            std::memcpy(buffer.data(), bytes.constData(), std::min(buffer.size() - 1, size_t(bytes.size())));
            return sane_control_option(h, i, SANE_ACTION_SET_VALUE, buffer.data(), &info);
        }
        default:
            return SANE_STATUS_UNSUPPORTED;
        }
    }

    bool offersString(SANE_Handle h, const QString &name, const char *value)
    {
        const SANE_Int i = findOption(h, name);
        const SANE_Option_Descriptor *d = i > 0 ? sane_get_option_descriptor(h, i) : nullptr;
        if (!settable(d) || d->constraint_type != SANE_CONSTRAINT_STRING_LIST)
            return false;
        for (const SANE_String_Const *s = d->constraint.string_list; s && *s; ++s)
            if (std::strcmp(*s, value) == 0)
                return true;
        return false;
    }

    bool offersWord(SANE_Handle h, const QString &name, SANE_Word value)
    {
        const SANE_Int i = findOption(h, name);
        const SANE_Option_Descriptor *d = i > 0 ? sane_get_option_descriptor(h, i) : nullptr;
        if (!settable(d) || d->constraint_type != SANE_CONSTRAINT_WORD_LIST)
            return false;
        const SANE_Word *list = d->constraint.word_list;
        for (SANE_Word k = 1; list && k <= list[0]; ++k)
            if (list[k] == value)
                return true;
        return false;
    }

    // One sample of a row as 0..255.
    int sample(const uchar *row, int index, int depth)
    {
        switch (depth) {
        case 1:
            return (row[index >> 3] >> (7 - (index & 7))) & 1 ? 255 : 0;
        case 16: {
            std::uint16_t v;
            std::memcpy(&v, row + 2 * index, 2); // machine byte order
            return v >> 8;
        }
        default:
            return row[index];
        }
    }

    struct Frame {
        SANE_Parameters p {};
        QByteArray data;
    };

} // namespace

QString ScanDevice::label() const
{
    const QString who = (vendor + u' ' + model).trimmed();
    return who.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(who, name);
}

std::vector<ScanDevice> ScanDevices(QString *error)
{
    std::vector<ScanDevice> devices;
    std::lock_guard lock(saneLock());
    SaneSession session;
    if (session.status != SANE_STATUS_GOOD) {
        if (error)
            *error = statusText(session.status);
        return devices;
    }
    const SANE_Device **list = nullptr;
    const SANE_Status s = sane_get_devices(&list, SANE_FALSE);
    if (s != SANE_STATUS_GOOD) {
        if (error)
            *error = statusText(s);
        return devices;
    }
    for (const SANE_Device **d = list; d && *d; ++d)
        devices.push_back({ text((*d)->name), text((*d)->vendor), text((*d)->model), text((*d)->type) });
    if (devices.empty() && error)
        *error = QStringLiteral("No scanner was found.");
    return devices;
}

ScanResult ScanImage(const ScanRequest &request)
{
    ScanResult result;
    std::lock_guard lock(saneLock());
    SaneSession session;
    if (session.status != SANE_STATUS_GOOD) {
        result.error = statusText(session.status);
        return result;
    }
    QByteArray device = request.device.toLocal8Bit();
    if (device.isEmpty()) {
        const SANE_Device **list = nullptr;
        if (sane_get_devices(&list, SANE_FALSE) != SANE_STATUS_GOOD || !list || !list[0]) {
            result.error = QStringLiteral("No scanner was found.");
            return result;
        }
        device = list[0]->name;
    }
    SANE_Handle h = nullptr;
    SANE_Status s = sane_open(device.constData(), &h);
    if (s != SANE_STATUS_GOOD) {
        result.error =
            QStringLiteral("Cannot open the scanner \"%1\": %2").arg(QString::fromLocal8Bit(device), statusText(s));
        return result;
    }
    struct Closer {
        SANE_Handle h;
        ~Closer() { sane_close(h); }
    } closer { h };

    // Colour at 8 bits per sample, where offered; the caller's options come after.
    if (offersString(h, QStringLiteral("mode"), "Color"))
        setOption(h, QStringLiteral("mode"), QStringLiteral("Color"));
    if (offersWord(h, QStringLiteral("depth"), 8))
        setOption(h, QStringLiteral("depth"), QStringLiteral("8"));
    for (const auto &[name, value] : request.options) {
        s = setOption(h, name, value);
        if (s != SANE_STATUS_GOOD) {
            result.error = QStringLiteral("The scanner refused \"%1\" = \"%2\": %3").arg(name, value, statusText(s));
            return result;
        }
    }

    const auto cancelled = [&] { return request.cancel && request.cancel->load(); };
    std::vector<Frame> frames;
    std::vector<char> chunk(64 * 1024);
    for (;;) {
        if (cancelled()) {
            sane_cancel(h);
            result.cancelled = true;
            return result;
        }
        s = sane_start(h);
        if (s != SANE_STATUS_GOOD) {
            sane_cancel(h);
            result.cancelled = s == SANE_STATUS_CANCELLED;
            result.error = statusText(s);
            return result;
        }
        Frame f;
        s = sane_get_parameters(h, &f.p);
        const bool known = f.p.format == SANE_FRAME_GRAY || f.p.format == SANE_FRAME_RGB || f.p.format == SANE_FRAME_RED
            || f.p.format == SANE_FRAME_GREEN || f.p.format == SANE_FRAME_BLUE;
        if (s != SANE_STATUS_GOOD || !known || (f.p.depth != 1 && f.p.depth != 8 && f.p.depth != 16)
            || f.p.pixels_per_line <= 0 || f.p.bytes_per_line <= 0) {
            sane_cancel(h);
            result.error = s != SANE_STATUS_GOOD
                ? statusText(s)
                : QStringLiteral("The scanner sends a kind of page that cannot be read.");
            return result;
        }
        const int channels = f.p.format == SANE_FRAME_RGB ? 3 : 1;
        if (qint64(f.p.bytes_per_line) * 8 < qint64(f.p.pixels_per_line) * channels * f.p.depth) {
            sane_cancel(h);
            result.error = QStringLiteral("The scanner reports lines shorter than its pixels.");
            return result;
        }
        const qint64 expected = f.p.lines > 0 ? qint64(f.p.bytes_per_line) * f.p.lines : -1;
        const qint64 bound = expected > 0 ? std::min(expected, MaxScanBytes) : MaxScanBytes;
        for (;;) {
            if (cancelled()) {
                sane_cancel(h);
                result.cancelled = true;
                return result;
            }
            SANE_Int len = 0;
            s = sane_read(h, reinterpret_cast<SANE_Byte *>(chunk.data()), SANE_Int(chunk.size()), &len);
            if (s == SANE_STATUS_EOF)
                break;
            if (s != SANE_STATUS_GOOD) {
                sane_cancel(h);
                result.cancelled = s == SANE_STATUS_CANCELLED;
                result.error = statusText(s);
                return result;
            }
            const qint64 room = bound - f.data.size();
            f.data.append(chunk.data(), qsizetype(std::min<qint64>(room, std::max(len, 0))));
            if (request.percent && expected > 0) {
                const int frameShare = 100 / (f.p.format == SANE_FRAME_RGB || f.p.format == SANE_FRAME_GRAY ? 1 : 3);
                const int before = int(frames.size()) * frameShare;
                request.percent->store(std::min(100, before + int(f.data.size() * frameShare / expected)));
            }
        }
        const bool last = f.p.last_frame;
        frames.push_back(std::move(f));
        if (last || frames.size() >= 3)
            break;
    }
    sane_cancel(h); // ends the scan cycle, as the protocol asks after the last frame

    const SANE_Parameters &p0 = frames.front().p;
    const int width = p0.pixels_per_line;
    int height = int(frames.front().data.size() / p0.bytes_per_line);
    for (const Frame &f : frames) {
        if (f.p.pixels_per_line != width) {
            result.error = QStringLiteral("The scanner's frames differ in size.");
            return result;
        }
        height = std::min(height, int(f.data.size() / f.p.bytes_per_line));
    }
    result.frameWidth = width;
    result.frameLines = p0.lines > 0 ? p0.lines : height;
    result.depth = p0.depth;
    if (height <= 0) {
        result.error = QStringLiteral("The scanner sent no image.");
        return result;
    }
    QImage image(width, height, QImage::Format_RGB888);
    if (image.isNull()) {
        result.error = QStringLiteral("Not enough memory for the scanned image.");
        return result;
    }
    if (frames.size() == 1 || p0.format == SANE_FRAME_GRAY || p0.format == SANE_FRAME_RGB)
        image.fill(Qt::black);
    for (const Frame &f : frames) {
        for (int y = 0; y < height; ++y) {
            const auto *row = reinterpret_cast<const uchar *>(f.data.constData()) + qint64(y) * f.p.bytes_per_line;
            uchar *out = image.scanLine(y);
            for (int x = 0; x < width; ++x) {
                switch (f.p.format) {
                case SANE_FRAME_RGB:
                    for (int c = 0; c < 3; ++c)
                        out[3 * x + c] = uchar(sample(row, 3 * x + c, f.p.depth));
                    break;
                case SANE_FRAME_GRAY: {
                    int v = sample(row, x, f.p.depth);
                    if (f.p.depth == 1)
                        v = 255 - v; // a set bit is black in line art
                    out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = uchar(v);
                    break;
                }
                default:
                    out[3 * x + int(f.p.format) - int(SANE_FRAME_RED)] = uchar(sample(row, x, f.p.depth));
                    break;
                }
            }
        }
    }
    if (request.percent)
        request.percent->store(100);
    result.image = image;
    return result;
}

} // namespace v7
