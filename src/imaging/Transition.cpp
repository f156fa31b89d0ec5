#include "imaging/Transition.h"

#include <QRegion>
#include <algorithm>

namespace v7
{

QString transitionEffectName(int effectIndex)
{
    switch (effectIndex) {
    case 0:
        return QStringLiteral("None");
    case 1:
        return QStringLiteral("Wipe Horizontal from Center");
    case 2:
        return QStringLiteral("Wipe Vertical from Center");
    case 3:
        return QStringLiteral("Wipe Vertical from Top");
    case 4:
        return QStringLiteral("Curtain Horizontal from Edge");
    case 5:
        return QStringLiteral("Expand from Center");
    default:
        return {};
    }
}

namespace
{

    class OpList
    {
    public:
        explicit OpList(int delayMs)
            : m_delay(std::max(delayMs, 0))
        {
        }
        void copy(int x, int y, int w, int h) { m_ops.push_back({ TransitionOp::Kind::Copy, QRect(x, y, w, h), 0 }); }
        void pause()
        {
            if (m_delay > 0)
                m_ops.push_back({ TransitionOp::Kind::Pause, {}, m_delay });
        }
        std::vector<TransitionOp> take() { return std::move(m_ops); }

    private:
        int m_delay;
        std::vector<TransitionOp> m_ops;
    };

    bool dividesByStep(int effectIndex)
    {
        return effectIndex == 1 || effectIndex == 2 || effectIndex == 3 || effectIndex == 5;
    }

} // namespace

std::vector<TransitionOp> transitionFormula(int effectIndex, const Placement &p, int step, int delayMs)
{
    OpList ops(delayMs);
    const int s = step;
    const int w = p.w, h = p.h, dx = p.x, dy = p.y;
    if (dividesByStep(effectIndex) && s <= 0)
        return {};
    switch (effectIndex) {
    case 0:
        ops.copy(dx, dy, w, h);
        break;
    case 1: {
        // Two edges move apart from the centre until they pass the sides.
        const int c = dx + w / 2;
        const int steps = (w / s) / 2 + 1;
        int left = c - s, right = c;
        for (int i = 0; i < steps; ++i, left -= s, right += s) {
            ops.copy(left, dy, s, h);
            ops.copy(right, dy, s, h);
            ops.pause();
        }
        break;
    }
    case 2: {
        const int c = dy + h / 2;
        const int steps = (h / s) / 2 + 1;
        int up = c - s, down = c;
        for (int i = 0; i < steps; ++i, up -= s, down += s) {
            ops.copy(dx, up, w, s);
            ops.copy(dx, down, w, s);
            ops.pause();
        }
        break;
    }
    case 3: {
        // s steps; one wipe runs down from the top while the other runs up,
        // and the rows the division leaves over come with the last step.
        const int n = s;
        const int k = h / n;
        for (int i = 0; i < n; ++i) {
            ops.copy(dx, dy + i * k, w, k);
            ops.copy(dx, dy + (n - 1 - i) * k, w, k);
            if (i == n - 1 && h - n * k > 0)
                ops.copy(dx, dy + n * k, w, h - n * k);
            ops.pause();
        }
        break;
    }
    case 4: {
        // Columns 5 pixels wide: the left set takes every other column moving
        // right, the right set the columns between moving left.
        const int m = w / 5;
        const int e = 5 * (m + (m % 2));
        const int steps = (m + 2) / 2;
        for (int i = 0; i < steps; ++i) {
            ops.copy(dx + 10 * i, dy, 5, h);
            ops.pause();
            ops.copy(dx + e - 5 - 10 * i, dy, 5, h);
        }
        break;
    }
    case 5: {
        const int cx = dx + w / 2, cy = dy + h / 2;
        const int n = w / s;
        for (int i = 1; i <= n; ++i) {
            ops.copy(cx - i * s, cy - i * s, 2 * i * s, 2 * i * s);
            ops.pause();
        }
        break;
    }
    default:
        break;
    }
    return ops.take();
}

TransitionPlan planTransition(int effectIndex, const Placement &p, QSize view, int step, int delayMs)
{
    // Both settings are stored as 0 to 255; a damaged value must not hold a
    // transition for hours.
    step = std::min(step, MaxTransitionSetting);
    delayMs = std::clamp(delayMs, 0, MaxTransitionSetting);
    TransitionPlan plan;
    plan.place = p;
    plan.paintMargins = !marginRects(p, view).empty();
    const bool usable =
        effectIndex >= 0 && effectIndex < TransitionEffectCount && !(dividesByStep(effectIndex) && step <= 0);
    const std::vector<TransitionOp> formula = transitionFormula(usable ? effectIndex : 0, p, step, delayMs);

    const QRect visible = plan.visibleRect();
    QRegion covered;
    for (const TransitionOp &op : formula) {
        if (op.kind == TransitionOp::Kind::Pause) {
            plan.ops.push_back(op);
            continue;
        }
        const QRect r = op.rect.intersected(visible);
        if (r.isEmpty())
            continue;
        covered += r;
        plan.ops.push_back({ TransitionOp::Kind::Copy, r, 0 });
    }
    // A trailing pause only delays the end of the transition.
    while (!plan.ops.empty() && plan.ops.back().kind == TransitionOp::Kind::Pause)
        plan.ops.pop_back();
    if (!visible.isEmpty()) {
        for (const QRect &r : QRegion(visible) - covered)
            plan.ops.push_back({ TransitionOp::Kind::Copy, r, 0 });
    }
    return plan;
}

} // namespace v7
