#include "app/WindowState.h"

#include "app/Settings.h"
#include "core/Text.h"
#include "platform/Hive.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <vector>

namespace v7
{

namespace
{
    const QString kStartUp = QStringLiteral("StartUp");
    const QString kThumbRect = QStringLiteral("ThumbRECT");
    const QString kViewStat = QStringLiteral("ViewStat");
    const QString kAppForm = QStringLiteral("AppFormRECT");
} // namespace

QByteArray BuildHistoryList(const QStringList &entries)
{
    // Counted in the bytes that are stored: a non-ASCII name takes more bytes than
    // characters, and the reader refuses a list over its buffer as a whole.
    QByteArray list;
    for (const QString &e : entries) {
        const QByteArray bytes = ansiBytes(e);
        if (bytes.isEmpty() || bytes.contains('\0') || list.size() + bytes.size() + 1 >= HistoryListLimit)
            continue;
        list += bytes;
        list += '\0';
    }
    return list;
}

QStringList SplitHistoryList(const QString &stored)
{
    return stored.split(QChar(0), Qt::SkipEmptyParts);
}

int StoredSplitLeft(int splitterLeftEdge)
{
    return splitterLeftEdge <= 5 ? DefaultSplitLeft : splitterLeftEdge;
}

MainWindowState RestoreWindowStateValues(int screenWidthTwips, int screenHeightTwips)
{
    MainWindowState s;
    s.LastOK = settingToBool(ReadSetting(kStartUp, QStringLiteral("LastOK"), 1));
    s.LastFolder = settingToText(ReadSetting(kStartUp, QStringLiteral("LastFolder"), defaultLastFolder()));
    s.LastFile = settingToText(ReadSetting(kStartUp, QStringLiteral("LastFile"), QString()));
    s.LastFilter = settingToText(ReadSetting(kStartUp, QStringLiteral("LastFilter"), QString()));
    s.FolderHistory = SplitHistoryList(ReadBinarySetting(kStartUp, QStringLiteral("FolderHistory")));
    s.FilterHistory = SplitHistoryList(ReadBinarySetting(kStartUp, QStringLiteral("FilterHistory")));
    if (s.LastFolder.isEmpty() || !QFileInfo(s.LastFolder).isDir())
        s.LastFolder = defaultLastFolder();

    s.ThumbsRow = settingToInt(ReadSetting(kThumbRect, QStringLiteral("ThumbsRow"), 2));
    s.Imagefit = settingToText(ReadSetting(kViewStat, QStringLiteral("Imagefit"), QStringLiteral("FitNormal")));

    s.WindowState = settingToInt(ReadSetting(kAppForm, QStringLiteral("WindowState"), 2));
    s.Left = settingToInt(ReadSetting(kAppForm, QStringLiteral("Left"), 0));
    s.Top = settingToInt(ReadSetting(kAppForm, QStringLiteral("Top"), 0));
    s.Width = std::max(MinWindowTwips, settingToInt(ReadSetting(kAppForm, QStringLiteral("Width"), screenWidthTwips)));
    s.Height =
        std::max(MinWindowTwips, settingToInt(ReadSetting(kAppForm, QStringLiteral("Height"), screenHeightTwips)));

    s.SplitLeft = settingToInt(ReadSetting(kViewStat, QStringLiteral("SplitLeft"), DefaultSplitLeft));
    s.Treeview = settingToBool(ReadSetting(kViewStat, QStringLiteral("Treeview"), 1));
    s.Imageview = settingToBool(ReadSetting(kViewStat, QStringLiteral("Imageview"), 1));
    s.Thumbview = settingToBool(ReadSetting(kViewStat, QStringLiteral("Thumbview"), 1));
    // Out-of-range values read as the first run's.
    s.SortColumn = settingToInt(ReadSetting(kViewStat, QStringLiteral("SortColumn"), 0));
    if (s.SortColumn < 0 || s.SortColumn > 4)
        s.SortColumn = 0;
    s.SortOrder = settingToInt(ReadSetting(kViewStat, QStringLiteral("SortOrder"), 0)) == 1 ? 1 : 0;
    for (int c = 0; c < 5; ++c) {
        const int w = settingToInt(ReadSetting(kViewStat, QStringLiteral("ColumnWidth%1").arg(c + 1), 0));
        s.ColumnWidths[c] = (w > 0 && w <= 10000) ? w : 0;
    }
    return s;
}

void SaveWindowStateValues(const MainWindowState &state)
{
    const auto key = [](const QString &section) { return vorlaneKey(section); };
    const auto num = [](int n) { return RegValue::fromDword(std::uint32_t(n)); };
    const auto text = [](const QString &t) { return RegValue::fromText(t); };
    const auto flag = [](bool b) { return RegValue::fromDword(b ? 1 : 0); };

    std::vector<HiveChange> changes = {
        { key(kStartUp), QStringLiteral("LastOK"), flag(true) },
    };
    if (!state.LastFolder.isEmpty() && QFileInfo(state.LastFolder).isDir())
        changes.push_back({ key(kStartUp), QStringLiteral("LastFolder"), text(state.LastFolder) });
    changes.push_back(
        { key(kStartUp), QStringLiteral("FolderHistory"), RegValue::fromBytes(BuildHistoryList(state.FolderHistory)) });
    changes.push_back(
        { key(kStartUp), QStringLiteral("FilterHistory"), RegValue::fromBytes(BuildHistoryList(state.FilterHistory)) });
    // Values the rules leave unchanged are still written once when missing, so the
    // hive always holds every value in its type.
    Hive &hive = Hive::user();
    const auto missing = [&](const QString &section, const QString &name) {
        return !hive.read(key(section), name).has_value();
    };
    if (!state.LastFile.isEmpty() || missing(kStartUp, QStringLiteral("LastFile")))
        changes.push_back({ key(kStartUp), QStringLiteral("LastFile"), text(state.LastFile) });
    changes.push_back({ key(kStartUp), QStringLiteral("LastFilter"), text(state.LastFilter) });
    changes.push_back({ key(kThumbRect), QStringLiteral("ThumbsRow"), num(state.ThumbsRow) });
    changes.push_back({ key(kViewStat), QStringLiteral("Imagefit"), text(state.Imagefit) });
    changes.push_back({ key(kViewStat), QStringLiteral("SplitLeft"), num(StoredSplitLeft(state.SplitLeft)) });
    changes.push_back({ key(kViewStat), QStringLiteral("Treeview"), flag(state.Treeview) });
    changes.push_back({ key(kViewStat), QStringLiteral("Imageview"), flag(state.Imageview) });
    changes.push_back({ key(kViewStat), QStringLiteral("Thumbview"), flag(state.Thumbview) });
    changes.push_back({ key(kViewStat), QStringLiteral("SortColumn"), num(state.SortColumn) });
    changes.push_back({ key(kViewStat), QStringLiteral("SortOrder"), num(state.SortOrder) });
    for (int c = 0; c < 5; ++c)
        changes.push_back({ key(kViewStat), QStringLiteral("ColumnWidth%1").arg(c + 1), num(state.ColumnWidths[c]) });
    changes.push_back({ key(kAppForm), QStringLiteral("WindowState"), num(state.WindowState) });
    const std::pair<const char *, int> rect[] = {
        { "Left", state.Left }, { "Top", state.Top }, { "Width", state.Width }, { "Height", state.Height }
    };
    for (const auto &[name, value] : rect) {
        if (state.WindowState == 0 || missing(kAppForm, QLatin1String(name)))
            changes.push_back({ key(kAppForm), QLatin1String(name), num(value) });
    }
    hive.apply(changes);
    SaveSettings();
}

} // namespace v7
