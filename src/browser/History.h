// The folder history (most recent first) and the filter history of the main window.
//
// Threads: user-interface thread (plain values; tests use them anywhere).
#pragma once

#include <QString>
#include <QStringList>

namespace v7
{

// The folder history as the menu holds it: element 0 is the most recent. An empty
// history is one element whose caption is "1".
class FolderHistory
{
public:
    FolderHistory()
        : m_items({ QStringLiteral("1") })
    {
    }
    // From the stored list (entries already split); empty gives the empty history.
    explicit FolderHistory(const QStringList &stored);

    bool isEmpty() const { return m_items.size() == 1 && m_items[0] == QLatin1String("1"); }
    const QStringList &items() const { return m_items; }
    // What is stored: every entry but the empty-history marker.
    QStringList storedEntries() const { return isEmpty() ? QStringList() : m_items; }

    void AddFolderToHistory(const QString &path);
    void MoveHistoryToTop(const QString &path);
    // The user picked element i: true when the folder is to be listed (it exists, or
    // i is 0); otherwise the element is removed and nothing is listed.
    bool ChooseHistoryFolder(int i, bool folderExists);

private:
    QStringList m_items;
};

// Enter in the filter box: the text goes to the top unless it is empty or already listed.
void AddFilterToHistory(QStringList &filters, const QString &text);

} // namespace v7
