#include "fileops/BatchPattern.h"

namespace v7
{

QString baseNameOf(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? fileName : fileName.left(dot);
}

namespace
{

    QString extensionOf(const QString &fileName)
    {
        const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
        return dot < 0 ? QString() : fileName.mid(dot + 1);
    }

    bool isAsciiDigit(QChar c)
    {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    }

    // The fields around a run [start, start + length) of the base.
    NamePattern splitAround(const QString &name, qsizetype start, qsizetype length)
    {
        NamePattern p;
        const QString base = baseNameOf(name);
        p.extension = extensionOf(name);
        if (start < 0) {
            p.prefix = base;
            return p;
        }
        p.prefix = base.left(start);
        p.number = QString(length, QLatin1Char('#'));
        p.suffix = base.mid(start + length);
        return p;
    }

} // namespace

std::optional<QString> proposeName(
    const NamePattern &p, const QString &currentName, std::int64_t start, int index, bool ownExtension)
{
    if (p.prefix.isEmpty())
        return std::nullopt;
    QString prefix = p.prefix;
    const qsizetype star = prefix.indexOf(QLatin1Char('*'));
    if (star >= 0)
        prefix = prefix.left(star) + baseNameOf(currentName) + prefix.mid(star + 1);
    QString number;
    if (!p.number.isEmpty()) // more digits than the field when the number needs them
        number = QStringLiteral("%1").arg(start + index, int(p.number.size()), 10, QLatin1Char('0'));
    // Without an extension the name gets no trailing ".".
    const QString extension = p.extension.isEmpty() && ownExtension ? extensionOf(currentName) : p.extension;
    const QString ext = extension.isEmpty() ? QString() : QLatin1Char('.') + extension;
    return prefix + number + p.suffix + ext;
}

QStringList proposeNames(const NamePattern &p, const QStringList &currentNames, std::int64_t start, bool ownExtension)
{
    QStringList out;
    if (p.prefix.isEmpty())
        return out;
    out.reserve(currentNames.size());
    for (int i = 0; i < currentNames.size(); ++i)
        out << *proposeName(p, currentNames[i], start, i, ownExtension);
    return out;
}

NamePattern splitTemplate(const QString &templateText)
{
    const QString base = baseNameOf(templateText);
    const qsizetype first = base.indexOf(QLatin1Char('#'));
    qsizetype end = first;
    while (end >= 0 && end < base.size() && base[end] == QLatin1Char('#'))
        ++end;
    return splitAround(templateText, first, end - first);
}

NamePattern splitByDigits(const QString &fileName)
{
    const QString base = baseNameOf(fileName);
    qsizetype first = -1;
    for (qsizetype i = 0; i < base.size(); ++i) {
        if (isAsciiDigit(base[i])) {
            first = i;
            break;
        }
    }
    qsizetype end = first;
    while (end >= 0 && end < base.size() && isAsciiDigit(base[end]))
        ++end;
    return splitAround(fileName, first, end - first);
}

bool startKeyAccepted(const QString &textAfterKey, bool isDigit, bool isBackspace, bool hadSelection, std::int64_t max)
{
    if (isBackspace)
        return true;
    if (!isDigit)
        return false;
    if (hadSelection)
        return true;
    return startValueOfText(textAfterKey, max + 1) <= max;
}

std::int64_t startValueOfText(const QString &text, std::int64_t max)
{
    std::int64_t value = 0;
    for (const QChar c : text) {
        if (!isAsciiDigit(c))
            return 0;
        if (value > (max - (c.unicode() - '0')) / 10)
            return max;
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

QString formatStartNumber(std::int64_t value, int width)
{
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
}

} // namespace v7
