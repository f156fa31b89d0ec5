#include "browser/FolderTree.h"

#include "TestEnv.h"
#include "browser/History.h"

#include <QDir>

using namespace v7;

TEST(FolderHistory, MostRecentFirstWithoutDuplicates)
{
    FolderHistory h;
    EXPECT_TRUE(h.isEmpty());
    EXPECT_TRUE(h.storedEntries().isEmpty());
    h.AddFolderToHistory(QStringLiteral("/A"));
    h.AddFolderToHistory(QStringLiteral("/B"));
    h.AddFolderToHistory(QStringLiteral("/A"));
    EXPECT_EQ(h.items(), QStringList({ "/A", "/B" }));
    h.AddFolderToHistory(QStringLiteral("/C"));
    EXPECT_EQ(h.items(), QStringList({ "/C", "/A", "/B" }));

    // A vanished folder picked from the menu is dropped and the rest move up.
    EXPECT_FALSE(h.ChooseHistoryFolder(1, false));
    EXPECT_EQ(h.items(), QStringList({ "/C", "/B" }));
    EXPECT_TRUE(h.ChooseHistoryFolder(1, true));
    EXPECT_EQ(h.items(), QStringList({ "/B", "/C" }));
    EXPECT_TRUE(h.ChooseHistoryFolder(0, false)); // element 0 is always listed
    EXPECT_EQ(FolderHistory(QStringList({ "", "/x" })).items(), QStringList({ "/x" }));
}

TEST(FilterHistory, NewTextsGoToTheTopOnce)
{
    QStringList f;
    AddFilterToHistory(f, QStringLiteral("ab"));
    AddFilterToHistory(f, QString());
    AddFilterToHistory(f, QStringLiteral("cd"));
    AddFilterToHistory(f, QStringLiteral("ab"));
    EXPECT_EQ(f, QStringList({ "cd", "ab" }));
}

TEST(FolderTree, NamesPathsAndVolumes)
{
    EXPECT_EQ(FolderBaseName(QStringLiteral("/home/u/photos.old")), QStringLiteral("photos"));
    EXPECT_EQ(FolderBaseName(QStringLiteral("/home/u/a.b.c")), QStringLiteral("a.b"));
    EXPECT_EQ(FolderBaseName(QStringLiteral("/")), QStringLiteral("/"));
    // A hidden folder's leading dot is not an extension.
    EXPECT_EQ(FolderBaseName(QStringLiteral("/home/u/.local")), QStringLiteral(".local"));
    EXPECT_EQ(FolderBaseName(QStringLiteral("/home/u/.cache.old")), QStringLiteral(".cache"));
    EXPECT_EQ(JoinPath(QStringLiteral("/"), QStringLiteral("x")), QStringLiteral("/x"));
    EXPECT_EQ(JoinPath(QStringLiteral("/a"), QStringLiteral("x")), QStringLiteral("/a/x"));

    const QString info = QStringLiteral("21 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                        "22 21 0:5 / /proc rw - proc proc rw\n"
                                        "23 21 0:20 / /tmp rw - tmpfs tmpfs rw\n"
                                        "24 21 8:17 / /media/u/CARD rw - vfat /dev/sdb1 rw\n"
                                        "25 21 0:40 / /mnt/share rw - cifs //srv/share rw\n"
                                        "26 21 11:0 / /mnt/my\\040disc ro - iso9660 /dev/sr0 ro\n"
                                        "27 21 8:2 / /data rw - ext4 /dev/sda2 rw\n"
                                        "28 21 8:2 /sub /bound rw - ext4 /dev/sda2 rw\n");
    const std::vector<Volume> v = VolumesFromMountInfo(info);
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[0].path, QStringLiteral("/"));
    EXPECT_EQ(v[1].path, QStringLiteral("/data"));
    EXPECT_EQ(DriveIconKey(v[1].type), QStringLiteral("drive"));
    EXPECT_EQ(v[2].path, QStringLiteral("/media/u/CARD"));
    EXPECT_EQ(DriveIconKey(v[2].type), QStringLiteral("disk"));
    EXPECT_EQ(v[3].path, QStringLiteral("/mnt/my disc"));
    EXPECT_EQ(DriveIconKey(v[3].type), QStringLiteral("cd"));
    EXPECT_EQ(DriveIconKey(v[4].type), QStringLiteral("netdrive"));

    EXPECT_EQ(
        AncestorChain(QStringLiteral("/data/pics/2024"), v), QStringList({ "/data", "/data/pics", "/data/pics/2024" }));
    EXPECT_EQ(AncestorChain(QStringLiteral("/home/u"), v), QStringList({ "/", "/home", "/home/u" }));
    EXPECT_EQ(AncestorChain(QStringLiteral("/"), v), QStringList({ "/" }));
}

class FolderEdits : public v7test::TempHome
{
};

TEST_F(FolderEdits, CreateAndRenameWithTheirMessages)
{
    const QString base = root() + QStringLiteral("/tree");
    ASSERT_TRUE(QDir().mkpath(base + QStringLiteral("/Sib")));
    EXPECT_FALSE(HasSubfolders(base + QStringLiteral("/Sib")));
    QString made;
    EXPECT_EQ(CreateFolderChecked(base, QStringLiteral("New Folder"), &made), QString());
    EXPECT_EQ(made, base + QStringLiteral("/New Folder"));
    EXPECT_EQ(CreateFolderChecked(base, QStringLiteral("Sib"), &made),
        QStringLiteral("A folder with the name you specified already exist.\n\nPlease specify a different name."));
    EXPECT_EQ(CreateFolderChecked(base, QStringLiteral("a/b"), &made),
        QStringLiteral("The name you specified is invalid.\n\nPlease specify a different name."));
    EXPECT_EQ(ListSubfolders(base), QStringList({ base + "/New Folder", base + "/Sib" }));
    EXPECT_TRUE(HasSubfolders(base));

    // A rename never replaces a folder that is there, even an empty one.
    EXPECT_EQ(RenameFolderChecked(base + QStringLiteral("/New Folder"), QStringLiteral("Sib"), &made),
        QString::fromLatin1(TextFolderExists));
    EXPECT_TRUE(QDir(base + QStringLiteral("/New Folder")).exists());
    EXPECT_EQ(RenameFolderChecked(base + QStringLiteral("/New Folder"), QStringLiteral("Trips"), &made), QString());
    EXPECT_EQ(made, base + QStringLiteral("/Trips"));
    EXPECT_TRUE(QDir(made).exists());
    EXPECT_FALSE(RenameFolderChecked(base + QStringLiteral("/gone"), QStringLiteral("x"), &made).isEmpty());
}

TEST_F(FolderEdits, HiddenFoldersAreNeitherListedNorCounted)
{
    const QString base = root() + QStringLiteral("/tree");
    ASSERT_TRUE(QDir().mkpath(base + QStringLiteral("/.git/objects")));
    ASSERT_TRUE(QDir().mkpath(base + QStringLiteral("/.thumbs")));
    // Only hidden subfolders: no expander that would open onto nothing.
    EXPECT_EQ(ListSubfolders(base), QStringList());
    EXPECT_FALSE(HasSubfolders(base));
    ASSERT_TRUE(QDir().mkpath(base + QStringLiteral("/shown")));
    EXPECT_EQ(ListSubfolders(base), QStringList({ base + QStringLiteral("/shown") }));
    EXPECT_TRUE(HasSubfolders(base));
    // Inside a hidden folder, its visible subfolders count as usual.
    EXPECT_TRUE(HasSubfolders(base + QStringLiteral("/.git")));
}
