// A settings file that ends inside a hex value's continuation ("\" on the last
// line, no line after it) is a cut file: it is refused cleanly, never read past.
#include "TestEnv.h"
#include "platform/Hive.h"

#include <QFile>

using v7::Hive;
using v7::HiveData;
using v7::RegValue;

namespace
{

const QByteArray kHead = "Windows Registry Editor Version 5.00\r\n\r\n"
                         "[HKEY_CURRENT_USER\\Software\\Vorlane7\\StartUp]\r\n"
                         "\"LastFolder\"=\"/home/u/pics\"\r\n";

} // namespace

TEST(HiveEnd, AContinuationOnTheLastLineIsACutFile)
{
    const QByteArray cut[] = {
        kHead + "\"Registered\"=hex:42,4d,\\",
        kHead + "\"Registered\"=hex:42,4d,\\\r",
        kHead + "\"Registered\"=hex:42,4d,\\  ",
        kHead + "\"Registered\"=hex:42,\\\r\n  4d,\\", // cut after a continued line
        kHead + "\"Registered\"=hex(3):\\",
        kHead + "@=hex:\\",
    };
    for (const QByteArray &text : cut) {
        QString error;
        EXPECT_FALSE(HiveData::parse(text, &error).has_value()) << text.toStdString();
        EXPECT_FALSE(error.isEmpty()) << text.toStdString();
    }
    // The same values complete, with and without a final newline, are read.
    const QByteArray whole[] = {
        kHead + "\"Registered\"=hex:42,\\\r\n  4d",
        kHead + "\"Registered\"=hex:42,\\\n  4d\n",
        kHead + "\"Registered\"=hex:42,\\\r\n\\\r\n  4d\r\n", // an empty continued line
    };
    for (const QByteArray &text : whole) {
        QString error;
        const auto d = HiveData::parse(text, &error);
        ASSERT_TRUE(d.has_value()) << text.toStdString() << error.toStdString();
        const QString key = QStringLiteral("HKEY_CURRENT_USER\\Software\\Vorlane7\\StartUp");
        ASSERT_NE(d->value(key, QStringLiteral("Registered")), nullptr);
        EXPECT_EQ(d->value(key, QStringLiteral("Registered"))->bytes, QByteArray("BM"));
        EXPECT_EQ(d->value(key, QStringLiteral("LastFolder"))->text, QStringLiteral("/home/u/pics"));
    }
}

class HiveEndFile : public v7test::TempHome
{
};

TEST_F(HiveEndFile, ACutFileIsKeptAsideAndANewOneIsWritten)
{
    const QByteArray cut = kHead + "\"Registered\"=hex:42,4d,\\";
    v7test::writeFile(hivePath(), cut);
    Hive hive(hivePath());
    const QString key = QStringLiteral("Software\\Vorlane7\\StartUp");
    EXPECT_FALSE(hive.read(key, QStringLiteral("LastFolder")).has_value());
    EXPECT_FALSE(hive.read(key, QStringLiteral("Registered")).has_value());
    const QString aside = hive.lastSetAside();
    ASSERT_FALSE(aside.isEmpty());
    EXPECT_EQ(v7test::readFile(aside), cut);
    ASSERT_TRUE(hive.write(key, QStringLiteral("Registered"), RegValue::fromBytes("BM")));
    const auto back = HiveData::parse(v7test::readFile(hivePath()));
    ASSERT_TRUE(back.has_value());
    ASSERT_NE(back->value(QStringLiteral("HKEY_CURRENT_USER\\") + key, QStringLiteral("Registered")), nullptr);
    EXPECT_EQ(back->value(QStringLiteral("HKEY_CURRENT_USER\\") + key, QStringLiteral("Registered"))->bytes,
        QByteArray("BM"));
}
