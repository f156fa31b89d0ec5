// The preview's zoom factor: a fixed-point decimal with four fractional digits
// (the value times 10 000 in 64 bits). 0 means "not yet set" and reads as 1.
//
// Threads: a plain value type; any thread.
#pragma once

#include <QString>
#include <QStringView>
#include <cstdint>

namespace v7
{

class ZoomFactor
{
public:
    static constexpr std::int64_t Scale = 10000;
    static constexpr std::int64_t Min = Scale / 2; // 0.5
    static constexpr std::int64_t Max = 10 * Scale;
    static constexpr std::int64_t Step = Scale / 4; // 0.25

    constexpr ZoomFactor() = default;
    static constexpr ZoomFactor fromScaled(std::int64_t scaled) { return ZoomFactor(scaled); }
    static constexpr ZoomFactor fromWhole(int n) { return ZoomFactor(std::int64_t(n) * Scale); }
    // Rounds to four decimals, halves to even.
    static ZoomFactor fromDouble(double value);

    constexpr std::int64_t scaled() const { return m_scaled; }
    constexpr bool isUnset() const { return m_scaled == 0; }
    // The factor to use: 1 when unset.
    constexpr ZoomFactor effective() const { return m_scaled == 0 ? ZoomFactor(Scale) : *this; }
    constexpr bool inRange() const { return m_scaled >= Min && m_scaled <= Max; }
    double toDouble() const { return double(effective().m_scaled) / Scale; }

    // Shortest decimal text of the stored value: 1.25, 0.5, 3 (0 gives "0").
    QString text() const;

    // The status bar's zoom text: "Zoom: " + text() + "X".
    QString statusText() const { return QStringLiteral("Zoom: ") + text() + u'X'; }

    // side x factor (unset read as 1), rounded half to even.
    std::int64_t apply(std::int64_t side) const;

    // The zoom step: unset becomes 1; "+" adds 0.25 while the result stays at
    // most 10, "-" subtracts 0.25 while it stays at least 0.5; anything else
    // changes nothing.
    ZoomFactor stepped(QStringView op) const;

    constexpr bool operator==(const ZoomFactor &) const = default;

private:
    constexpr explicit ZoomFactor(std::int64_t scaled)
        : m_scaled(scaled)
    {
    }
    std::int64_t m_scaled = 0;
};

} // namespace v7
