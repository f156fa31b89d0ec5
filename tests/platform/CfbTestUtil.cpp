#include "CfbTestUtil.h"

namespace v7test
{

using namespace v7::cfb;

bool readTree(Storage &st, const QString &prefix, std::map<QString, QByteArray> *out)
{
    std::vector<ElementStat> kids;
    if (st.elements(&kids) != Status::Ok)
        return false;
    for (const auto &k : kids) {
        const QString path = prefix.isEmpty() ? k.name : prefix + '/' + k.name;
        if (k.type == ElementType::Storage) {
            Storage sub = st.openStorage(k.name, mode::Read | mode::ShareExclusive);
            if (!sub.isOpen() || !readTree(sub, path, out))
                return false;
            (*out)[path + '/'] = QByteArray(); // storages appear with a trailing slash
        } else {
            Stream s = st.openStream(k.name, mode::Read | mode::ShareExclusive);
            QByteArray b;
            if (!s.isOpen() || s.readAll(&b) != Status::Ok || std::uint64_t(b.size()) != k.size)
                return false;
            (*out)[path] = b;
        }
    }
    return true;
}

bool readTree(const QString &path, std::map<QString, QByteArray> *out, Status *status)
{
    out->clear();
    Status s;
    Storage root = Storage::open(path, mode::Read | mode::Transacted | mode::NoSnapshot, &s);
    if (status)
        *status = s;
    if (!root.isOpen())
        return false;
    const bool ok = readTree(root, QString(), out);
    if (!ok && status)
        *status = Status::Corrupt;
    return ok;
}

} // namespace v7test
