#include "browser/History.h"

#include <QSet>

namespace v7
{

FolderHistory::FolderHistory(const QStringList &stored)
{
    for (const QString &s : stored)
        if (!s.isEmpty())
            m_items << s;
    if (m_items.isEmpty())
        m_items << QStringLiteral("1");
}

void FolderHistory::AddFolderToHistory(const QString &path)
{
    if (!m_items.contains(path)) {
        if (isEmpty())
            m_items[0] = path;
        else
            m_items << path;
    }
    MoveHistoryToTop(path);
}

void FolderHistory::MoveHistoryToTop(const QString &path)
{
    QStringList ordered { path };
    QSet<QString> seen { path };
    for (const QString &item : std::as_const(m_items)) {
        if (!seen.contains(item)) {
            seen.insert(item);
            ordered << item;
        }
    }
    // Written back from index 0 on; elements past the set's length keep their captions.
    for (int i = 0; i < ordered.size() && i < m_items.size(); ++i)
        m_items[i] = ordered[i];
}

bool FolderHistory::ChooseHistoryFolder(int i, bool folderExists)
{
    if (i < 0 || i >= m_items.size())
        return false;
    if (folderExists || i == 0) {
        const QString path = m_items[i];
        MoveHistoryToTop(path);
        return true;
    }
    m_items.removeAt(i);
    return false;
}

void AddFilterToHistory(QStringList &filters, const QString &text)
{
    if (text.isEmpty() || filters.contains(text))
        return;
    filters.prepend(text);
}

} // namespace v7
