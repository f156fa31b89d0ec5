// Helpers for the imaging tests: synthetic photographs, peer tools, comparisons.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

namespace v7test
{

// A deterministic image with smooth gradients, hard edges and fine noise, so that
// codecs meet what cameras give them rather than flat colour.
QImage makePhoto(int width, int height, unsigned seed = 1);

// True when the program is on PATH.
bool haveTool(const QString &program);
// Runs a program; false on a non-zero exit. stdoutBytes receives its output.
bool runTool(const QString &program, const QStringList &args, QByteArray *stdoutBytes = nullptr);
// The first frame of a file as decoded by ImageMagick ("convert"), 24-bit.
QImage peerDecode(const QString &file, const QString &tool = QStringLiteral("convert"));

// Largest difference of any channel of any pixel (both converted to RGB888);
// -1 when the sizes differ.
int maxChannelDiff(const QImage &a, const QImage &b);
double meanChannelDiff(const QImage &a, const QImage &b);
double psnr(const QImage &a, const QImage &b);
// Pearson correlation of the two images' luma; 0 when the sizes differ.
double lumaCorrelation(const QImage &a, const QImage &b);

} // namespace v7test
