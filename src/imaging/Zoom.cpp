#include "imaging/Zoom.h"

#include "imaging/Fit.h"

#include <cmath>

namespace v7
{

ZoomFactor ZoomFactor::fromDouble(double value)
{
    return ZoomFactor(static_cast<std::int64_t>(std::nearbyint(value * Scale)));
}

QString ZoomFactor::text() const
{
    const bool negative = m_scaled < 0;
    const std::uint64_t mag = negative ? 0 - std::uint64_t(m_scaled) : std::uint64_t(m_scaled);
    QString s = QString::number(mag / Scale);
    std::uint64_t frac = mag % Scale;
    if (frac != 0) {
        QString digits = QString::number(frac).rightJustified(4, u'0');
        while (digits.endsWith(u'0'))
            digits.chop(1);
        s += u'.' + digits;
    }
    return negative ? u'-' + s : s;
}

std::int64_t ZoomFactor::apply(std::int64_t side) const
{
    return divRoundHalfEven(side * effective().m_scaled, Scale);
}

ZoomFactor ZoomFactor::stepped(QStringView op) const
{
    const ZoomFactor z = effective();
    if (op == u"+" && z.m_scaled + Step <= Max)
        return ZoomFactor(z.m_scaled + Step);
    if (op == u"-" && z.m_scaled - Step >= Min)
        return ZoomFactor(z.m_scaled - Step);
    return z;
}

} // namespace v7
