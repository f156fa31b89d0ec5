// The naming rules of the batch dialog: the four pattern fields, the names they
// propose, the split of a typed template or of an entry's name into the fields,
// and the rules of the start number's text box.
//
// Threads: pure functions; any thread.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace v7
{

// Prefix (its first "*" stands for the file's base name), a run of "#" giving the
// number's least width (empty: no number), suffix, and the extension.
struct NamePattern {
    QString prefix;
    QString number;
    QString suffix;
    QString extension;
    friend bool operator==(const NamePattern &, const NamePattern &) = default;
};

// The name without its extension: the text before the last "."; a name without
// "." is all base.
QString baseNameOf(const QString &fileName);

// The name pattern gives the entry at position index (0 = the first of the list,
// checked or not) with the start number start. With an empty prefix nothing is
// proposed (std::nullopt). ownExtension: an empty extension field keeps each
// file's own extension (a rename to "*-small" keeps the files' types, so they
// stay listed); otherwise the name gets none.
std::optional<QString> proposeName(
    const NamePattern &p, const QString &currentName, std::int64_t start, int index, bool ownExtension = false);
// The same for every entry in list order; empty when the prefix is empty.
QStringList proposeNames(
    const NamePattern &p, const QStringList &currentNames, std::int64_t start, bool ownExtension = false);

// A typed template: extension after the last "." (none without a "."); the first
// "#" run of the base is the number field, running to the end of the base when
// nothing else follows it.
NamePattern splitTemplate(const QString &templateText);
// An entry's name: as splitTemplate, but the number field is as many "#" as the
// first run of decimal digits of the base has digits.
NamePattern splitByDigits(const QString &fileName);

// ---- the start number's text box ----

// The spin control's range.
constexpr std::int64_t StartNumberMax = 999999999;

// A key typed into the box: digits and Backspace only. A digit is refused when the
// text it would give reads above max, unless some text is selected (it replaces that).
bool startKeyAccepted(const QString &textAfterKey, bool isDigit, bool isBackspace, bool hadSelection, std::int64_t max);
// The spin control's value for the box's text: its number, max when above it, 0
// when it reads as no number.
std::int64_t startValueOfText(const QString &text, std::int64_t max);
// The box's text after a pattern-field edit: the value with leading zeros to the
// number field's width.
QString formatStartNumber(std::int64_t value, int width);

} // namespace v7
