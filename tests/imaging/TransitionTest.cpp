#include "imaging/Transition.h"

#include <QRegion>
#include <QStringList>
#include <gtest/gtest.h>

using namespace v7;

namespace
{

// "x,y wxh" per copy relative to the image corner, "|ms" per pause.
QString describe(const std::vector<TransitionOp> &ops, const Placement &p)
{
    QStringList parts;
    for (const TransitionOp &op : ops) {
        if (op.kind == TransitionOp::Kind::Pause)
            parts << QStringLiteral("|%1").arg(op.ms);
        else
            parts << QStringLiteral("%1,%2 %3x%4")
                         .arg(op.rect.x() - p.x)
                         .arg(op.rect.y() - p.y)
                         .arg(op.rect.width())
                         .arg(op.rect.height());
    }
    return parts.join(QStringLiteral("; "));
}

const QSize View(500, 400);

Placement placed(int w, int h, int x = 10, int y = 5)
{
    return Placement { w, h, x, y, 0, 0 };
}

struct FormulaCase {
    const char *name;
    int effect;
    Placement place;
    int step, delay;
    const char *expected;
};

class TransitionFormulaTable : public ::testing::TestWithParam<FormulaCase>
{
};

TEST_P(TransitionFormulaTable, MatchesTheEffectsFormula)
{
    const FormulaCase &c = GetParam();
    EXPECT_EQ(describe(transitionFormula(c.effect, c.place, c.step, c.delay), c.place).toStdString(),
        std::string(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Effects,
    TransitionFormulaTable,
    ::testing::Values(FormulaCase { "None", 0, placed(100, 50), 30, 15, "0,0 100x50" },
        // strips at 20 and 50, then -10 and 80 from the left edge
        FormulaCase {
            "WipeH", 1, placed(100, 50), 30, 15, "20,0 30x50; 50,0 30x50; |15; -10,0 30x50; 80,0 30x50; |15" },
        FormulaCase { "WipeHOdd", 1, placed(7, 4), 2, 0, "1,0 2x4; 3,0 2x4; -1,0 2x4; 5,0 2x4" },
        FormulaCase { "WipeHWideStep", 1, placed(10, 4), 40, 3, "-35,0 40x4; 5,0 40x4; |3" },
        FormulaCase {
            "WipeV", 2, placed(50, 100), 30, 15, "0,20 50x30; 0,50 50x30; |15; 0,-10 50x30; 0,80 50x30; |15" },
        FormulaCase { "WipeTop",
            3,
            placed(40, 30),
            3,
            1,
            "0,0 40x10; 0,20 40x10; |1; 0,10 40x10; 0,10 40x10; |1; 0,20 40x10; 0,0 40x10; |1" },
        // 23 pixels: columns 0, 10, 20 from the left and 15, 5, -5 from the right
        FormulaCase { "Curtain23",
            4,
            placed(23, 8),
            99,
            7,
            "0,0 5x8; |7; 15,0 5x8; 10,0 5x8; |7; 5,0 5x8; 20,0 5x8; |7; -5,0 5x8" },
        FormulaCase { "Curtain25", 4, placed(25, 8), 0, 0, "0,0 5x8; 25,0 5x8; 10,0 5x8; 15,0 5x8; 20,0 5x8; 5,0 5x8" },
        // Unusable steps and unknown effects: PlanTransition.UnusableStepOrEffectShowsTheImageAtOnce.
        FormulaCase {
            "Expand", 5, placed(100, 100), 30, 2, "20,20 60x60; |2; -10,-10 120x120; |2; -40,-40 180x180; |2" }),
    [](const testing::TestParamInfo<FormulaCase> &row) { return std::string(row.param.name); });

TEST(TransitionFormula, WipeFromTopCopiesTheLeftOverRowsWithTheLastStep)
{
    // h = 100, s = 7: 7 steps of 14-row strips, the last 2 rows with step 7.
    const Placement p = placed(40, 100);
    const std::vector<TransitionOp> ops = transitionFormula(3, p, 7, 15);
    int pauses = 0;
    std::vector<QRect> lastStep;
    for (const TransitionOp &op : ops) {
        if (op.kind == TransitionOp::Kind::Pause) {
            ++pauses;
            if (pauses < 7)
                lastStep.clear();
            continue;
        }
        if (pauses < 7)
            lastStep.push_back(op.rect.translated(-p.x, -p.y));
        else
            ADD_FAILURE() << "copy after the last pause";
        if (op.rect.height() != 2) {
            EXPECT_EQ(op.rect.height(), 14);
        }
    }
    EXPECT_EQ(pauses, 7);
    const std::vector<QRect> expected = { QRect(0, 84, 40, 14), QRect(0, 0, 40, 14), QRect(0, 98, 40, 2) };
    EXPECT_EQ(lastStep, expected);
}

TEST(PlanTransition, ClipsCopiesToTheImageAndPaintsMarginsFirst)
{
    const Placement p = placed(100, 50);
    const TransitionPlan plan = planTransition(1, p, View, 30, 15);
    EXPECT_TRUE(plan.paintMargins);
    // An image at the corner that stops short of the far edge still has margins.
    EXPECT_TRUE(planTransition(0, Placement { 1, 10, 0, 0, 0, 0 }, QSize(1, 11), 30, 15).paintMargins);
    // The outer strips lose what lies beside the image; the trailing pause goes.
    EXPECT_EQ(describe(plan.ops, p), "20,0 30x50; 50,0 30x50; |15; 0,0 20x50; 80,0 20x50");
    EXPECT_FALSE(planTransition(1, Placement { 100, 50, 0, 0, 3, 0 }, QSize(100, 50), 30, 15).paintMargins);
}

TEST(PlanTransition, ReadsFromTheMatchingSourcePosition)
{
    const Placement p { 400, 300, 0, 0, 100, 25 };
    const TransitionPlan plan = planTransition(0, p, View, 20, 15);
    ASSERT_EQ(plan.ops.size(), 1u);
    EXPECT_EQ(plan.ops[0].rect, QRect(0, 0, 400, 300));
    EXPECT_EQ(plan.sourceFor(QRect(30, 40, 5, 5)), QPoint(130, 65));
    const Placement centred { 100, 50, 150, 125, 0, 0 };
    EXPECT_EQ(planTransition(0, centred, View, 20, 15).sourceFor(QRect(160, 125, 1, 1)), QPoint(10, 0));
}

TEST(PlanTransition, UnusableStepOrEffectShowsTheImageAtOnce)
{
    const Placement p = placed(64, 48);
    const std::string atOnce = "0,0 64x48";
    for (int effect : { 1, 2, 3, 5 })
        for (int step : { 0, -4 })
            EXPECT_EQ(describe(planTransition(effect, p, View, step, 15).ops, p).toStdString(), atOnce) << effect;
    EXPECT_EQ(describe(planTransition(7, p, View, 20, 15).ops, p).toStdString(), atOnce);
    EXPECT_EQ(describe(planTransition(-1, p, View, 20, 15).ops, p).toStdString(), atOnce);
    // The curtain does not divide by the step.
    EXPECT_GT(planTransition(4, p, View, 0, 15).ops.size(), 1u);
    // Expand with a step wider than the image shows it in one copy.
    EXPECT_EQ(describe(planTransition(5, p, View, 65, 15).ops, p).toStdString(), atOnce);
}

TEST(PlanTransition, SettingsBeyondTheirRangeAreCapped)
{
    const Placement p = placed(40, 300);
    int pauses = 0;
    for (const TransitionOp &op : planTransition(3, p, View, 100000, 60000).ops) {
        if (op.kind == TransitionOp::Kind::Pause) {
            ++pauses;
            EXPECT_EQ(op.ms, 255);
        }
    }
    EXPECT_EQ(pauses, 254); // 255 steps, the trailing pause dropped
}

TEST(PlanTransition, ExpandOnATallImageFinishesTopAndBottom)
{
    const Placement p = placed(20, 100);
    const TransitionPlan plan = planTransition(5, p, View, 5, 10);
    // n = 4: the last square spans rows 50 - 20 .. 50 + 20; then the bands.
    ASSERT_GE(plan.ops.size(), 3u);
    const auto end = plan.ops.end();
    EXPECT_EQ((end - 3)->rect.translated(-p.x, -p.y), QRect(0, 30, 20, 40));
    EXPECT_EQ((end - 2)->rect.translated(-p.x, -p.y), QRect(0, 0, 20, 30));
    EXPECT_EQ((end - 1)->rect.translated(-p.x, -p.y), QRect(0, 70, 20, 30));
}

TEST(PlanTransition, SweepEveryPlanShowsExactlyTheWholeImage)
{
    for (int effect = 0; effect < TransitionEffectCount; ++effect)
        for (int w = 1; w <= 61; w += 4)
            for (int h = 1; h <= 61; h += 6)
                for (int step : { 1, 2, 3, 5, 7, 13, 30, 64 }) {
                    SCOPED_TRACE(testing::Message() << "effect " << effect << " " << w << "x" << h << " s " << step);
                    const Placement p { w, h, 3, 7, 0, 0 };
                    const QRect visible(3, 7, w, h);
                    const TransitionPlan plan = planTransition(effect, p, View, step, 1);
                    QRegion covered;
                    for (const TransitionOp &op : plan.ops) {
                        if (op.kind == TransitionOp::Kind::Pause)
                            continue;
                        ASSERT_FALSE(op.rect.isEmpty());
                        ASSERT_TRUE(visible.contains(op.rect));
                        covered += op.rect;
                    }
                    ASSERT_EQ(covered, QRegion(visible));
                    ASSERT_FALSE(plan.ops.empty());
                    ASSERT_EQ(plan.ops.back().kind, TransitionOp::Kind::Copy);
                    for (const TransitionOp &op : planTransition(effect, p, View, step, 0).ops)
                        ASSERT_EQ(op.kind, TransitionOp::Kind::Copy) << "a pause without a delay";
                    if (effect >= 1 && effect <= 4) {
                        // The formulas of the wipes and the curtain cover the image on
                        // their own: nothing is left for the final copy.
                        QRegion formula;
                        for (const TransitionOp &op : transitionFormula(effect, p, step, 1))
                            formula += op.rect;
                        ASSERT_TRUE((QRegion(visible) - formula).isEmpty());
                    }
                }
}

} // namespace
