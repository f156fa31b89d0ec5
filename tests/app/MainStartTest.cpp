#include "TestEnv.h"
#include "app/Main.h"
#include "app/Settings.h"
#include "browser/FileListModel.h"
#include "mainwin/Frm_Main.h"

#include <QDir>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTreeView>

using namespace v7;

namespace
{

class MainStart : public v7test::TempHome
{
protected:
    void SetUp() override
    {
        TempHome::SetUp();
        settings() = Settings();
        LoadSettings();
        last = root() + QStringLiteral("/last");
        trip = root() + QStringLiteral("/data/Trip");
        for (const char *name : { "a.jpg", "b.jpg", "c.jpg" }) {
            v7test::writeFile(last + u'/' + QLatin1String(name), QByteArray(100, 'x'));
            v7test::writeFile(trip + u'/' + QLatin1String(name), QByteArray(100, 'x'));
        }
        WriteSetting(QStringLiteral("StartUp"), QStringLiteral("LastFolder"), last);
        WriteSetting(QStringLiteral("StartUp"), QStringLiteral("LastFile"), QStringLiteral("a.jpg"));
    }
    std::unique_ptr<Frm_Main> load(const QStringList &args)
    {
        std::unique_ptr<Frm_Main> w = LoadMainWindow(ParseCommandLine(args));
        // The first display is armed for 50 ms after the load: nothing has run it yet.
        QSignalSpy first(w.get(), &Frm_Main::firstDisplayStarted);
        EXPECT_TRUE(first.wait(10000));
        return w;
    }
    static QString currentName(Frm_Main &w)
    {
        const QModelIndex i = w.fileListView()->currentIndex();
        return i.isValid() ? w.fileList()->entries()[size_t(i.row())].name : QString();
    }
    QString last, trip;
};

} // namespace

TEST_F(MainStart, AnImageFileOpensItsFolderWithThatFileCurrent)
{
    auto w = load({ trip + QStringLiteral("/b.jpg") });
    EXPECT_EQ(w->currentFolder(), trip);
    EXPECT_EQ(currentName(*w), QStringLiteral("b.jpg"));
    EXPECT_TRUE(w->statusBar()->currentMessage().isEmpty());
    w->close();
}

TEST_F(MainStart, AFolderThatDoesNotExistIsSaidAndTheWindowOpensAsWithoutIt)
{
    const QString gone = root() + QStringLiteral("/gone/away");
    auto w = load({ gone });
    EXPECT_EQ(w->statusBar()->currentMessage(), QStringLiteral("Folder not found: ") + gone);
    EXPECT_EQ(w->currentFolder(), last);
    EXPECT_EQ(currentName(*w), QStringLiteral("a.jpg")); // the last file, as at any start
    w->close();
}
