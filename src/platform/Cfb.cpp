#include "platform/Cfb.h"

#include "platform/CfbFile.h"

namespace v7::cfb
{

using detail::File;

const char *statusText(Status s)
{
    switch (s) {
    case Status::Ok:
        return "success";
    case Status::FileNotFound:
        return "not found";
    case Status::FileAlreadyExists:
        return "already exists";
    case Status::AccessDenied:
        return "access denied";
    case Status::LockViolation:
        return "in use by another writer";
    case Status::InvalidName:
        return "invalid name";
    case Status::InvalidParameter:
        return "invalid parameter";
    case Status::Corrupt:
        return "damaged compound file";
    case Status::TooLarge:
        return "file too large for its format version";
    case Status::IoError:
        return "input/output error";
    case Status::Reverted:
        return "element no longer exists";
    case Status::InvalidHandle:
        return "not open";
    }
    return "unknown";
}

namespace
{

    void setStatus(Status *out, Status s)
    {
        if (out)
            *out = s;
    }
    bool canWrite(std::uint32_t m)
    {
        return (m & 3) != mode::Read;
    }
    bool canRead(std::uint32_t m)
    {
        return (m & 3) != mode::Write;
    }

    // Children of a transacted root only reach the file with the root's commit;
    // in direct mode any commit writes the file.
    Status commitFrom(File &f, std::uint32_t id)
    {
        if (!f.writable())
            return Status::Ok;
        if (f.transacted() && id != 0)
            return Status::Ok;
        return f.commit();
    }

    ElementStat statOf(const detail::Entry &e, std::uint32_t m)
    {
        ElementStat s;
        s.name = QString::fromStdU16String(e.name);
        s.type = ElementType(e.type);
        s.size = e.type == detail::TypeStream ? e.size : 0;
        s.creationTime = e.ctime;
        s.modificationTime = e.mtime;
        s.mode = m;
        return s;
    }

} // namespace

// ---- Storage -----------------------------------------------------------------

void Storage::release()
{
    m_file.reset();
}

Storage Storage::create(const QString &path, std::uint32_t m, Status *st)
{
    std::shared_ptr<File> f;
    return rootOf(File::create(path, m, &f), f, m, st);
}

Storage Storage::open(const QString &path, std::uint32_t m, Status *st)
{
    return open(path, m, 0, st);
}

Storage Storage::open(const QString &path, std::uint32_t m, int waitMs, Status *st)
{
    std::shared_ptr<File> f;
    return rootOf(File::open(path, m, &f, false, waitMs), f, m, st);
}

Storage Storage::rootOf(Status r, const std::shared_ptr<File> &f, std::uint32_t m, Status *st)
{
    Storage s;
    setStatus(st, r);
    if (r == Status::Ok) {
        s.m_file = f;
        s.m_id = 0;
        s.m_gen = f->entry(0).gen;
        s.m_mode = m;
    }
    return s;
}

#define V7_CHECK_HANDLE(ret)                                                                                           \
    if (!m_file)                                                                                                       \
        return ret(Status::InvalidHandle);                                                                             \
    if (!m_file->alive(m_id, m_gen))                                                                                   \
        return ret(Status::Reverted);

template <class H> H Storage::childHandle(std::uint32_t id, std::uint32_t m, Status *st) const
{
    H out;
    out.m_file = m_file;
    out.m_id = id;
    out.m_gen = m_file->entry(id).gen;
    out.m_mode = m;
    setStatus(st, Status::Ok);
    return out;
}

template <class H> H Storage::createChild(const QString &name, std::uint32_t m, std::uint8_t type, Status *st)
{
    auto fail = [&](Status s) {
        setStatus(st, s);
        return H();
    };
    V7_CHECK_HANDLE(fail)
    // A stream is made to be written; a storage may be made and then only read.
    if (!canWrite(m_mode) || !m_file->writable() || (type == detail::TypeStream && !canWrite(m)))
        return fail(Status::AccessDenied);
    std::uint32_t id;
    Status s = m_file->find(m_id, name, &id);
    if (s == Status::Ok) {
        if (!(m & mode::Create))
            return fail(Status::FileAlreadyExists);
        m_file->destroy(id);
    } else if (s != Status::FileNotFound) {
        return fail(s);
    }
    s = m_file->addChild(m_id, name, type, &id);
    if (s != Status::Ok)
        return fail(s);
    return childHandle<H>(id, m, st);
}

template <class H> H Storage::openChild(const QString &name, std::uint32_t m, std::uint8_t type, Status *st)
{
    auto fail = [&](Status s) {
        setStatus(st, s);
        return H();
    };
    V7_CHECK_HANDLE(fail)
    if (canWrite(m) && !m_file->writable())
        return fail(Status::AccessDenied);
    std::uint32_t id;
    if (Status s = m_file->find(m_id, name, &id); s != Status::Ok)
        return fail(s);
    if (m_file->entry(id).type != type)
        return fail(Status::FileNotFound);
    return childHandle<H>(id, m, st);
}

Storage Storage::createStorage(const QString &name, std::uint32_t m, Status *st)
{
    return createChild<Storage>(name, m, detail::TypeStorage, st);
}

Storage Storage::openStorage(const QString &name, std::uint32_t m, Status *st)
{
    return openChild<Storage>(name, m, detail::TypeStorage, st);
}

Stream Storage::createStream(const QString &name, std::uint32_t m, Status *st)
{
    return createChild<Stream>(name, m, detail::TypeStream, st);
}

Stream Storage::openStream(const QString &name, std::uint32_t m, Status *st)
{
    return openChild<Stream>(name, m, detail::TypeStream, st);
}

#define V7_RETURN(s) s

Status Storage::elements(std::vector<ElementStat> *out) const
{
    out->clear();
    V7_CHECK_HANDLE(V7_RETURN)
    const std::map<detail::Key, std::uint32_t, detail::KeyLess> *kids = nullptr;
    if (Status s = m_file->children(m_id, &kids); s != Status::Ok)
        return s;
    for (const auto &kv : *kids)
        out->push_back(statOf(m_file->entry(kv.second), 0));
    return Status::Ok;
}

Status Storage::writeStream(const QString &name, const QByteArray &bytes, std::uint32_t m)
{
    Status st = Status::Ok;
    Stream s = openStream(name, m, &st);
    if (!s.isOpen()) {
        if (st != Status::FileNotFound)
            return st;
        destroyElement(name); // a storage of that name, if any
        s = createStream(name, m, &st);
        return s.isOpen() ? s.write(bytes) : st;
    }
    QByteArray old;
    if (s.readAll(&old) != Status::Ok)
        old.clear();
    const qsizetype common = std::min(old.size(), bytes.size());
    qsizetype first = 0;
    while (first < common && old[first] == bytes[first])
        ++first;
    qsizetype end = bytes.size();
    if (old.size() == bytes.size())
        while (end > first && old[end - 1] == bytes[end - 1])
            --end;
    if (Status r = s.setSize(std::uint64_t(bytes.size())); r != Status::Ok)
        return r;
    if (Status r = s.seek(first); r != Status::Ok)
        return r;
    return s.write(bytes.constData() + first, std::uint64_t(end - first));
}

Status Storage::destroyElement(const QString &name)
{
    V7_CHECK_HANDLE(V7_RETURN)
    if (!canWrite(m_mode) || !m_file->writable())
        return Status::AccessDenied;
    std::uint32_t id;
    if (Status s = m_file->find(m_id, name, &id); s != Status::Ok)
        return s;
    return m_file->destroy(id);
}

Status Storage::renameElement(const QString &oldName, const QString &newName)
{
    V7_CHECK_HANDLE(V7_RETURN)
    if (!canWrite(m_mode) || !m_file->writable())
        return Status::AccessDenied;
    std::uint32_t id;
    if (Status s = m_file->find(m_id, oldName, &id); s != Status::Ok)
        return s;
    return m_file->rename(id, newName);
}

Status Storage::copyTo(Storage &dest) const
{
    V7_CHECK_HANDLE(V7_RETURN)
    if (!dest.m_file)
        return Status::InvalidHandle;
    if (!dest.m_file->alive(dest.m_id, dest.m_gen))
        return Status::Reverted;
    if (!canWrite(dest.m_mode) || !dest.m_file->writable())
        return Status::AccessDenied;
    if (dest.m_file == m_file && dest.m_id == m_id)
        return Status::InvalidParameter;
    return m_file->copyInto(m_id, *dest.m_file, dest.m_id);
}

Status Storage::commit()
{
    V7_CHECK_HANDLE(V7_RETURN)
    return commitFrom(*m_file, m_id);
}

Status Storage::revert()
{
    V7_CHECK_HANDLE(V7_RETURN)
    if (m_id != 0)
        return Status::Ok; // the transaction is the root's
    const Status s = m_file->revert();
    if (s == Status::Ok)
        m_gen = m_file->entry(0).gen;
    return s;
}

Status Storage::stat(ElementStat *out) const
{
    V7_CHECK_HANDLE(V7_RETURN)
    *out = statOf(m_file->entry(m_id), m_mode);
    if (m_id == 0) {
        out->type = ElementType::Root;
        out->size = 0;
    }
    return Status::Ok;
}

Status Storage::fileStats(FileStats *out) const
{
    if (!m_file)
        return Status::InvalidHandle;
    m_file->stats(out);
    return Status::Ok;
}

bool Storage::metDamage() const
{
    return m_file && m_file->metDamage();
}

Status Storage::check(const QString &path, QStringList *problems)
{
    return File::audit(path, problems);
}

// ---- Stream ------------------------------------------------------------------

void Stream::release()
{
    m_file.reset();
    m_pos = 0;
}

Status Stream::read(char *buf, std::uint64_t n, std::uint64_t *got)
{
    std::uint64_t dummy;
    if (!got)
        got = &dummy;
    *got = 0;
    V7_CHECK_HANDLE(V7_RETURN)
    if (!canRead(m_mode))
        return Status::AccessDenied;
    const Status s = m_file->read(m_id, m_pos, buf, n, got);
    m_pos += *got;
    return s;
}

Status Stream::readAll(QByteArray *out)
{
    out->clear();
    V7_CHECK_HANDLE(V7_RETURN)
    if (!canRead(m_mode))
        return Status::AccessDenied;
    const std::uint64_t size = m_file->entry(m_id).size;
    if (size > std::uint64_t(0x7FFFFFFF))
        return Status::TooLarge;
    out->resize(qsizetype(size));
    std::uint64_t got = 0;
    const Status s = m_file->read(m_id, 0, out->data(), size, &got);
    out->resize(qsizetype(got));
    return s;
}

Status Stream::write(const char *data, std::uint64_t n)
{
    V7_CHECK_HANDLE(V7_RETURN)
    if (!canWrite(m_mode) || !m_file->writable())
        return Status::AccessDenied;
    const Status s = m_file->write(m_id, m_pos, data, n);
    if (s == Status::Ok)
        m_pos += n;
    return s;
}

Status Stream::seek(std::int64_t offset, Origin origin, std::uint64_t *newPos)
{
    V7_CHECK_HANDLE(V7_RETURN)
    std::int64_t base = 0;
    if (origin == Current)
        base = std::int64_t(m_pos);
    else if (origin == End)
        base = std::int64_t(m_file->entry(m_id).size);
    const std::int64_t p = base + offset;
    if (p < 0)
        return Status::InvalidParameter;
    m_pos = std::uint64_t(p);
    if (newPos)
        *newPos = m_pos;
    return Status::Ok;
}

Status Stream::setSize(std::uint64_t size)
{
    V7_CHECK_HANDLE(V7_RETURN)
    if (!canWrite(m_mode) || !m_file->writable())
        return Status::AccessDenied;
    return m_file->setSize(m_id, size);
}

Status Stream::size(std::uint64_t *out) const
{
    *out = 0;
    V7_CHECK_HANDLE(V7_RETURN)
    *out = m_file->entry(m_id).size;
    return Status::Ok;
}

Status Stream::stat(ElementStat *out) const
{
    V7_CHECK_HANDLE(V7_RETURN)
    *out = statOf(m_file->entry(m_id), m_mode);
    return Status::Ok;
}

Status Stream::commit()
{
    V7_CHECK_HANDLE(V7_RETURN)
    return commitFrom(*m_file, m_id);
}

Status Stream::revert()
{
    V7_CHECK_HANDLE(V7_RETURN)
    return Status::Ok; // streams are direct within their storage
}

} // namespace v7::cfb
