// Helpers shared by the compound-file tests.
#pragma once

#include "platform/Cfb.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <ostream>

namespace v7test
{

constexpr std::uint32_t RW = v7::cfb::mode::ReadWrite | v7::cfb::mode::ShareExclusive;
constexpr std::uint32_t RT = v7::cfb::mode::Read | v7::cfb::mode::Transacted | v7::cfb::mode::NoSnapshot;

// Little-endian fields of a file's bytes.
inline std::uint32_t le32At(const QByteArray &b, qsizetype at)
{
    std::uint32_t v;
    std::memcpy(&v, b.constData() + at, 4);
    return v;
}
inline void put32At(QByteArray &b, qsizetype at, std::uint32_t v)
{
    std::memcpy(b.data() + at, &v, 4);
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

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
