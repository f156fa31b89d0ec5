// Text helpers shared by every layer.
#pragma once

#include <QByteArray>
#include <QString>

namespace v7
{

// The design stores names and lists as "ANSI" bytes. On this host the file-name
// encoding is UTF-8, so that is what ANSI means here: ASCII text keeps its bytes,
// and no other name loses characters.
inline QByteArray ansiBytes(const QString &s)
{
    return s.toUtf8();
}
inline QString fromAnsi(const QByteArray &b)
{
    return QString::fromUtf8(b);
}

} // namespace v7
