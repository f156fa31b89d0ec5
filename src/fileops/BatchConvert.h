// Writing files from a batch: converted or saved images and exported thumbnails.
// Every file is written under a temporary name in its target folder and moved into
// place at the end, so a cancel or a crash never leaves half an image; a target
// that exists is replaced only when the caller's question says so, and a source is
// never replaced by a copy of itself.
//
// Threads: any; the callbacks run on the calling thread.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace v7
{

// The entries of "&Convert to:", in order.
struct ConvertFormat {
    const char *caption; // "Bmp - 8bit"
    int bits; // 8 or 24
};
const std::array<ConvertFormat, 8> &convertFormats();
// The target extension of a format entry: its name before " - ", lower-cased.
QString formatExtension(const QString &caption);

// The answers to "a file of that name exists".
enum class ExistingAnswer { Replace, Skip, ReplaceAll, SkipAll };

// Keeps "Replace all" and "Skip all" for the rest of a batch.
class ReplacePolicy
{
public:
    using Ask = std::function<ExistingAnswer(const QString &target)>;
    explicit ReplacePolicy(Ask ask)
        : m_ask(std::move(ask))
    {
    }
    // True when the existing target may be replaced.
    bool mayReplace(const QString &target);

private:
    Ask m_ask;
    int m_all = -1; // -1 ask, 0 skip all, 1 replace all
};

enum class WriteOutcome {
    Written,
    Skipped, // the target exists and is kept
    SameAsSource, // the target is the source file itself
    LoadFailed, // the image could not be loaded: no size
    WriteFailed, // the writer or the move failed: no size
};

struct WriteResult {
    WriteOutcome outcome = WriteOutcome::WriteFailed;
    std::int64_t size = -1; // the written file's size
    QString error; // the system's text, when there is one
};

// True when both paths name one file (the same device and inode).
bool sameFile(const QString &a, const QString &b);

// A new empty file beside target whose name keeps target's extension (the writers
// choose by it); empty on failure.
QString reserveTemporaryFor(const QString &target);
// Moves a finished temporary file onto target: without replace it fails with "File
// exists" when target exists; with replace the old target is swapped out in one
// step. The temporary file is removed when the move fails.
bool commitTemporary(const QString &temporary, const QString &target, bool replace, QString *error);

// Loads source at full size and writes it to target (its extension chooses the
// writer) with the output bits and JPEG quality. A JPEG written from a JPEG keeps
// the source's EXIF block, orientation reset (the pixels are written upright).
WriteResult convertOne(const QString &source, const QString &target, int bits, int quality, ReplacePolicy &policy);

// The thumbnails of folder's files (file name -> target path) as stored in the
// cache, each written under a temporary name and moved in place. Results in the
// order of targets.
std::vector<WriteResult> exportThumbnails(
    const QString &folder, const std::vector<std::pair<QString, QString>> &targets, ReplacePolicy &policy);

// The output bits a save keeps for a source: 8 for a palette image, else 24.
int saveBitsFor(const QString &source);
// The writer's extension for a source saved in its own type ("jpeg" -> "jpg").
QString saveExtensionFor(const QString &sourceName);

// A target folder: exists already, or made (with its parents). False with the
// system's text.
bool ensureFolder(const QString &folder, QString *error);

} // namespace v7
