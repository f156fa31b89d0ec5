// Helpers shared by the compound-file tests.
#pragma once

#include "platform/Cfb.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <gtest/gtest.h>
#include <map>
#include <ostream>

namespace v7test
{

// Deterministic bytes: the same (seed, size) always gives the same content.
inline QByteArray patternBytes(std::uint32_t seed, int size)
{
    QByteArray b(size, 0);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = char(x);
    }
    return b;
}

// Every stream of a file, by path ("a/b/c"), with its bytes; false when the
// file does not open or a stream does not read.
bool readTree(v7::cfb::Storage &st, const QString &prefix, std::map<QString, QByteArray> *out);
bool readTree(const QString &path, std::map<QString, QByteArray> *out, v7::cfb::Status *status = nullptr);

// The audit must find nothing wrong.
inline void expectClean(const QString &path)
{
    QStringList problems;
    EXPECT_EQ(v7::cfb::Storage::check(path, &problems), v7::cfb::Status::Ok) << problems.join('\n').toStdString();
}

} // namespace v7test
