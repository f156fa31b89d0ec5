// The kill soak: a writer that commits version after version of a known tree,
// and a checker that finds, after the writer was killed at any moment, exactly
// the tree of a committed version. Shared by the test suite's short run and the
// long run in bench/.
#pragma once

#include "platform/Cfb.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstdint>
#include <map>
#include <unistd.h>

namespace v7soak
{

using namespace v7::cfb;

constexpr int kStreams = 24;

inline std::uint32_t mix(std::uint32_t a, std::uint32_t b)
{
    std::uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u + (a << 6) + (a >> 2));
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

inline QByteArray bytesFor(std::uint32_t seed, int size)
{
    QByteArray b(size, 0);
    std::uint32_t x = seed | 1;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = char(x);
    }
    return b;
}

// Stream j lives in storage "s<j % 3>" and is named "<j>". Version v touches
// some streams: a size of -1 means the stream is destroyed.
inline bool touched(std::uint32_t seed, std::uint32_t v, int j)
{
    return mix(mix(seed, v), std::uint32_t(j)) % 4 == 0;
}
inline int sizeAt(std::uint32_t seed, std::uint32_t v, int j)
{
    const std::uint32_t h = mix(mix(seed, v), std::uint32_t(j) + 1000);
    if (h % 11 == 0)
        return -1;
    if (h % 13 == 0)
        return int(60000 + h % 40000); // now and then a large one
    return int(h % 9000); // both sides of the 4096-byte cutoff
}

inline QString pathOf(int j)
{
    return QString("s%1/%2").arg(j % 3).arg(j);
}

// The tree of version v: path -> bytes.
inline std::map<QString, QByteArray> stateAt(std::uint32_t seed, std::uint32_t v)
{
    std::map<QString, QByteArray> out;
    for (int j = 0; j < kStreams; ++j) {
        std::uint32_t last = 0;
        for (std::uint32_t u = 1; u <= v; ++u)
            if (touched(seed, u, j))
                last = u;
        if (last == 0)
            continue;
        const int size = sizeAt(seed, last, j);
        if (size >= 0)
            out[pathOf(j)] = bytesFor(mix(seed + last, std::uint32_t(j)), size);
    }
    out["V"] = QByteArray::number(v);
    return out;
}

inline std::uint32_t fileVersion(Storage &root)
{
    Stream s = root.openStream("V", mode::Read | mode::ShareExclusive);
    QByteArray b;
    if (!s.isOpen() || s.readAll(&b) != Status::Ok)
        return 0;
    return b.toUInt();
}

// Commits versions from the file's own onwards, forever; appends each committed
// version to the manifest after its commit returned.
[[noreturn]] inline void runWriter(const QString &file, const QString &manifest, std::uint32_t seed)
{
    const std::uint32_t rw = mode::ReadWrite | mode::ShareExclusive;
    Storage root = Storage::open(file, rw);
    if (!root.isOpen())
        root = Storage::create(file, rw);
    if (!root.isOpen())
        _exit(3);
    QFile log(manifest);
    if (!log.open(QIODevice::Append))
        _exit(4);
    // The version found is committed: record it, so the manifest is never more
    // than the one commit in flight behind the file.
    const std::uint32_t found = fileVersion(root);
    log.write(QByteArray::number(found) + '\n');
    log.flush();
    for (std::uint32_t v = found + 1;; ++v) {
        for (int j = 0; j < kStreams; ++j) {
            if (!touched(seed, v, j))
                continue;
            const QString dir = QString("s%1").arg(j % 3), name = QString::number(j);
            Storage st = root.openStorage(dir, rw);
            if (!st.isOpen())
                st = root.createStorage(dir, rw);
            const int size = sizeAt(seed, v, j);
            if (size < 0) {
                st.destroyElement(name);
                continue;
            }
            const QByteArray b = bytesFor(mix(seed + v, std::uint32_t(j)), size);
            Stream s = st.openStream(name, rw);
            if (s.isOpen() && (v & 1)) { // rewrite in place half the time, recreate otherwise
                if (s.setSize(std::uint64_t(size)) != Status::Ok || s.write(b) != Status::Ok)
                    _exit(5);
            } else {
                s = st.createStream(name, rw | mode::Create);
                if (!s.isOpen() || s.write(b) != Status::Ok)
                    _exit(5);
            }
        }
        Stream ver = root.createStream("V", rw | mode::Create);
        ver.write(QByteArray::number(v));
        if (root.commit() != Status::Ok)
            _exit(6);
        const QByteArray line = QByteArray::number(v) + '\n';
        log.write(line);
        log.flush();
    }
}

// The last version the manifest records, or 0.
inline std::uint32_t manifestVersion(const QString &manifest)
{
    QFile f(manifest);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (!it->isEmpty())
            return it->toUInt();
    return 0;
}

// Empty when the file holds exactly a committed version no older than the
// manifest says; otherwise what is wrong.
inline QString check(const QString &file, const QString &manifest, std::uint32_t seed, std::uint32_t *versionOut)
{
    const std::uint32_t logged = manifestVersion(manifest);
    Status s;
    Storage root = Storage::open(file, mode::Read | mode::Transacted | mode::NoSnapshot, &s);
    if (!root.isOpen())
        return logged == 0 ? QString() : QString("does not open: %1").arg(statusText(s));
    const std::uint32_t v = fileVersion(root);
    if (versionOut)
        *versionOut = v;
    // The commit in flight may have landed before its line did.
    if (v != logged && v != logged + 1)
        return QString("holds version %1, manifest says %2").arg(v).arg(logged);
    std::map<QString, QByteArray> got;
    std::vector<ElementStat> dirs;
    root.elements(&dirs);
    for (const auto &d : dirs) {
        if (d.type == ElementType::Stream) {
            QByteArray b;
            if (root.openStream(d.name, mode::Read | mode::ShareExclusive).readAll(&b) != Status::Ok)
                return "unreadable " + d.name;
            got[d.name] = b;
            continue;
        }
        Storage st = root.openStorage(d.name, mode::Read | mode::ShareExclusive);
        std::vector<ElementStat> kids;
        st.elements(&kids);
        for (const auto &k : kids) {
            QByteArray b;
            if (st.openStream(k.name, mode::Read | mode::ShareExclusive).readAll(&b) != Status::Ok)
                return "unreadable " + d.name + "/" + k.name;
            got[d.name + "/" + k.name] = b;
        }
    }
    // Version 0: killed after the file was created, before the first commit of a tree.
    const auto expect = v == 0 ? std::map<QString, QByteArray>() : stateAt(seed, v);
    if (got.size() != expect.size())
        return QString("version %1: %2 streams, expected %3").arg(v).arg(got.size()).arg(expect.size());
    for (const auto &[path, bytes] : expect)
        if (got[path] != bytes)
            return QString("version %1: stream %2 differs").arg(v).arg(path);
    return QString();
}

} // namespace v7soak
