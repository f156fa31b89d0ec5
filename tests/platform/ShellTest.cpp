#include "platform/Shell.h"

#include "TestEnv.h"

#include <QDir>

using namespace v7;

TEST(Shell, ProtectedFolders)
{
    const QString home = QDir::homePath();
    EXPECT_TRUE(IsProtectedFolder(QStringLiteral("/")));
    EXPECT_TRUE(IsProtectedFolder(home));
    EXPECT_TRUE(IsProtectedFolder(home + QStringLiteral("/")));
    EXPECT_TRUE(IsProtectedFolder(home + QStringLiteral("/pics/..")));
    if (home != QLatin1String("/")) {
        EXPECT_TRUE(IsProtectedFolder(QFileInfo(home).absolutePath())); // a folder above home
    }
    EXPECT_FALSE(IsProtectedFolder(home + QStringLiteral("/pics")));
    EXPECT_FALSE(IsProtectedFolder(QStringLiteral("/tmp/x")));
}

class Trash : public v7test::TempHome
{
};

TEST_F(Trash, MovesIntoTheHomeTrashAndRefusesWhatItMustNot)
{
    const QString folder = root() + QStringLiteral("/album");
    v7test::writeFile(folder + QStringLiteral("/a.jpg"), "x");
    QString error;
    ASSERT_TRUE(MoveToTrash(folder, &error)) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_EQ(v7test::readFile(root() + QStringLiteral("/data/Trash/files/album/a.jpg")), QByteArray("x"));
    EXPECT_TRUE(QFileInfo::exists(root() + QStringLiteral("/data/Trash/info/album.trashinfo")));
    EXPECT_FALSE(MoveToTrash(folder, &error)); // gone already
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(MoveToTrash(QDir::homePath(), &error));
}
