// Name patterns of the batch dialog: proposed names, the template and double-click
// splits, and the start number's text box.
#include "fileops/BatchPattern.h"

#include <gtest/gtest.h>

using namespace v7;

namespace
{

struct ProposeCase {
    NamePattern pattern;
    QStringList current;
    std::int64_t start;
    QStringList expected;
};

} // namespace

TEST(BatchPattern, ProposedNames)
{
    const std::vector<ProposeCase> cases = {
        // Numbered with leading zeros from the start number.
        { { "Holiday-", "###", "", "jpg" },
            { "a.jpg", "b.jpg", "c.jpg" },
            1,
            { "Holiday-001.jpg", "Holiday-002.jpg", "Holiday-003.jpg" } },
        // A number needing more digits than the field takes them.
        { { "x", "##", "", "png" }, { "a", "b", "c" }, 98, { "x98.png", "x99.png", "x100.png" } },
        // "*" stands for the base name; only the first "*".
        { { "TN-*", "", "", "bmp" }, { "sea.bmp" }, 0, { "TN-sea.bmp" } },
        { { "TN-*", "#", "_s", "jpg" }, { "sea.bmp", "sky.tar.gz" }, 5, { "TN-sea5_s.jpg", "TN-sky.tar6_s.jpg" } },
        { { "*-*", "", "", "jpg" }, { "a.jpg" }, 0, { "a-*.jpg" } },
        // No number field: every file gets the same name.
        { { "same", "", "", "jpg" }, { "a.jpg", "b.jpg" }, 7, { "same.jpg", "same.jpg" } },
        // No extension: no trailing dot.
        { { "n", "#", "", "" }, { "a.jpg" }, 0, { "n0" } },
        // An empty prefix proposes nothing.
        { { "", "###", "x", "jpg" }, { "a.jpg" }, 1, {} },
    };
    for (const ProposeCase &c : cases)
        EXPECT_EQ(proposeNames(c.pattern, c.current, c.start), c.expected) << c.pattern.prefix.toStdString();
    EXPECT_FALSE(proposeName({ "", "#", "", "jpg" }, "a.jpg", 0, 0).has_value());
    // A rename whose template names no extension keeps each file's own; one
    // that names an extension gives it to all.
    EXPECT_EQ(proposeNames(splitTemplate("*-small"), { "sea.jpg", "map.tif", "notes" }, 0, true),
        QStringList({ "sea-small.jpg", "map-small.tif", "notes-small" }));
    EXPECT_EQ(proposeNames(splitTemplate("*-small.png"), { "sea.jpg", "notes" }, 0, true),
        QStringList({ "sea-small.png", "notes-small.png" }));
}

TEST(BatchPattern, TemplateSplit)
{
    struct Case {
        QString text;
        NamePattern expected;
    };
    const std::vector<Case> cases = {
        { "Holiday-###.jpg", { "Holiday-", "###", "", "jpg" } },
        { "a##b#c.png", { "a", "##", "b#c", "png" } }, // the first run only
        { "photo.jpg", { "photo", "", "", "jpg" } }, // no "#": all prefix
        { "IMG_##", { "IMG_", "##", "", "" } }, // no ".": the whole text is the base
        { "###", { "", "###", "", "" } }, // the run ends the base
        { "x.###", { "x", "", "", "###" } }, // "#" only in the extension
        { "a.b.##.c", { "a.b.", "##", "", "c" } }, // the last "." splits
        { "", { "", "", "", "" } },
    };
    for (const Case &c : cases)
        EXPECT_EQ(splitTemplate(c.text), c.expected) << c.text.toStdString();
}

TEST(BatchPattern, DoubleClickSplitsAtTheFirstDigitRun)
{
    struct Case {
        QString name;
        NamePattern expected;
    };
    const std::vector<Case> cases = {
        { "IMG_0042.JPG", { "IMG_", "####", "", "JPG" } },
        { "a12b345.png", { "a", "##", "b345", "png" } },
        { "sea.bmp", { "sea", "", "", "bmp" } }, // no digits
        { "2024", { "", "####", "", "" } }, // no "."; the run ends the base
        { "shot-7", { "shot-", "#", "", "" } },
        { "x.123", { "x", "", "", "123" } }, // digits only in the extension
    };
    for (const Case &c : cases)
        EXPECT_EQ(splitByDigits(c.name), c.expected) << c.name.toStdString();
}

TEST(BatchPattern, StartNumberBox)
{
    // Digits and Backspace only.
    EXPECT_TRUE(startKeyAccepted("12", true, false, false, 999));
    EXPECT_TRUE(startKeyAccepted("", false, true, false, 999));
    EXPECT_FALSE(startKeyAccepted("1a", false, false, false, 999));
    // A digit that would go above the maximum is refused, unless text was selected.
    EXPECT_TRUE(startKeyAccepted("999", true, false, false, 999));
    EXPECT_FALSE(startKeyAccepted("1000", true, false, false, 999));
    EXPECT_TRUE(startKeyAccepted("1000", true, false, true, 999));
    EXPECT_FALSE(startKeyAccepted(QString(40, '9'), true, false, false, StartNumberMax));
    // The value set on the spin control: above the maximum gives the maximum.
    EXPECT_EQ(startValueOfText("0042", 999), 42);
    EXPECT_EQ(startValueOfText("5000", 999), 999);
    EXPECT_EQ(startValueOfText(QString(40, '9'), StartNumberMax), StartNumberMax);
    EXPECT_EQ(startValueOfText("", 999), 0);
    // Reformatted to the number field's width.
    EXPECT_EQ(formatStartNumber(7, 3), "007");
    EXPECT_EQ(formatStartNumber(1234, 2), "1234");
    EXPECT_EQ(formatStartNumber(0, 0), "0");
}
