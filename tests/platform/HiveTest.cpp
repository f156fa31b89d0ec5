#include "platform/Hive.h"

#include "TestEnv.h"

#include <QDir>
#include <QProcess>
#include <thread>

using v7::Hive;
using v7::HiveData;
using v7::RegType;
using v7::RegValue;

namespace
{

const QString kKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Vorlane7\\StartUp");

HiveData roundTrip(const HiveData &d)
{
    QString error;
    auto back = HiveData::parse(d.serialize(), &error);
    EXPECT_TRUE(back.has_value()) << error.toStdString();
    return back.value_or(HiveData());
}

} // namespace

TEST(HiveData, TypedValuesRoundTrip)
{
    HiveData d;
    const QString tricky = QStringLiteral("say \"hi\" C:\\dir\\ \u00e9t\u00e9 \u65e5\u672c \\\"");
    d.setValue(kKey, QStringLiteral("Text"), RegValue::fromText(tricky));
    d.setValue(kKey, QStringLiteral("Lines"), RegValue::fromText(QStringLiteral("a\nb\tc")));
    d.setValue(kKey, QStringLiteral("Empty"), RegValue::fromText(QString()));
    d.setValue(kKey, QStringLiteral("Number"), RegValue::fromDword(0xFFFFFFFFu));
    QByteArray big;
    for (int i = 0; i < 300; ++i)
        big.append(char(i * 7));
    d.setValue(kKey, QStringLiteral("Bytes"), RegValue::fromBytes(big));
    d.setValue(kKey, QStringLiteral("NoBytes"), RegValue::fromBytes({}));
    d.setValue(kKey, QStringLiteral("Quoted \"name\""), RegValue::fromDword(7));
    d.setValue(kKey, QString(), RegValue::fromText(QStringLiteral("default")));
    d.setValue(kKey, QStringLiteral("Expand"), RegValue { RegType::ExpandSz, {}, 0, QByteArray("x\0y\0\0\0", 6) });

    const HiveData back = roundTrip(d);
    for (const auto &[name, value] : d.keys().begin()->second.values) {
        const RegValue *v = back.value(kKey, name);
        ASSERT_NE(v, nullptr) << name.toStdString();
        EXPECT_EQ(*v, value) << name.toStdString();
    }
}

TEST(HiveData, NamesIgnoreCaseAndParentsExist)
{
    HiveData d;
    d.setValue(kKey, QStringLiteral("LastOK"), RegValue::fromDword(1));
    d.setValue(kKey.toLower(), QStringLiteral("lastok"), RegValue::fromDword(0));
    ASSERT_EQ(d.keys().size(), 1u);
    EXPECT_EQ(d.value(kKey, QStringLiteral("LASTOK"))->dword, 0u);
    EXPECT_TRUE(d.keyExists(QStringLiteral("HKEY_CURRENT_USER\\Software\\Vorlane7")));
    EXPECT_FALSE(d.keyExists(QStringLiteral("HKEY_CURRENT_USER\\Software\\Vorlane")));
    // A sibling that sorts between a key and its children must not hide them.
    d.createKey(QStringLiteral("HKEY_CURRENT_USER\\Software\\Vorlane7 X"));
    EXPECT_TRUE(d.keyExists(QStringLiteral("HKEY_CURRENT_USER\\Software\\Vorlane7")));
    d.removeKeyTree(QStringLiteral("HKEY_CURRENT_USER\\Software\\Vorlane7"));
    EXPECT_FALSE(d.keyExists(kKey));
    EXPECT_TRUE(d.keyExists(QStringLiteral("HKEY_CURRENT_USER\\Software\\Vorlane7 X")));
}

TEST(HiveData, ReadsExportsWrittenElsewhere)
{
    // CRLF lines, comments, a continued hex list, a typed hex string and a deletion.
    const QByteArray crlf = "Windows Registry Editor Version 5.00\r\n\r\n"
                            "; written by hand\r\n"
                            "[HKEY_CURRENT_USER\\Software\\Vorlane7\\FileTypes]\r\n"
                            "\"Registered\"=hex:42,4d,50,00,\\\r\n  47,49,46,00\r\n"
                            "\"Gone\"=dword:1\r\n"
                            "\"Gone\"=-\r\n"
                            "\"Wide\"=hex(1):41,00,42,00,00,00\r\n"
                            "[-HKEY_CURRENT_USER\\Software\\Other]\r\n";
    auto d = HiveData::parse(crlf);
    ASSERT_TRUE(d.has_value());
    const QString k = QStringLiteral("HKEY_CURRENT_USER\\Software\\Vorlane7\\FileTypes");
    EXPECT_EQ(d->value(k, QStringLiteral("Registered"))->bytes, QByteArray("BMP\0GIF\0", 8));
    EXPECT_EQ(d->value(k, QStringLiteral("Gone")), nullptr);
    EXPECT_EQ(d->value(k, QStringLiteral("Wide"))->text, QStringLiteral("AB"));

    // The same content as UTF-16LE with its byte-order mark.
    const QString text = QString::fromUtf8(crlf);
    QByteArray utf16("\xFF\xFE");
    for (QChar c : text)
        utf16.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
    auto d16 = HiveData::parse(utf16);
    ASSERT_TRUE(d16.has_value());
    EXPECT_EQ(d16->value(k, QStringLiteral("Registered"))->bytes, QByteArray("BMP\0GIF\0", 8));
}

TEST(HiveData, RejectsDamagedText)
{
    const char *bad[] = {
        "not a registry file\n",
        "Windows Registry Editor Version 5.00\n\"Orphan\"=dword:1\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A\n",
        "Windows Registry Editor Version 5.00\n[Software\\A]\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"V\"=dword:123456789\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"V\"=dword:xyz\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"V\"=hex:4\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"V\"=hex:41,\\\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"V\"=\"unterminated\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"V\"=\"bad \\q escape\"\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"V\"=\"x\" trailing\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\nV=dword:1\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"V\"=hex(zz):00\n",
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"V\"=\xff\xfe\n",
    };
    for (const char *text : bad) {
        QString error;
        EXPECT_FALSE(HiveData::parse(QByteArray(text), &error).has_value()) << text;
        EXPECT_FALSE(error.isEmpty()) << text;
    }
}

class HiveFile : public v7test::TempHome
{
};

TEST_F(HiveFile, MissingFileReadsEmptyAndWritesCreateIt)
{
    Hive &hive = Hive::user();
    EXPECT_EQ(hive.filePath(), hivePath());
    EXPECT_FALSE(hive.keyExists(QStringLiteral("Software\\Vorlane7")));
    EXPECT_FALSE(hive.read(QStringLiteral("Software\\Vorlane7\\StartUp"), QStringLiteral("LastOK")).has_value());
    ASSERT_TRUE(
        hive.write(QStringLiteral("Software\\Vorlane7\\StartUp"), QStringLiteral("LastOK"), RegValue::fromDword(1)));
    const QByteArray text = v7test::readFile(hivePath());
    EXPECT_TRUE(text.startsWith("Windows Registry Editor Version 5.00\n"));
    EXPECT_TRUE(text.contains("[HKEY_CURRENT_USER\\Software\\Vorlane7\\StartUp]\n\"LastOK\"=dword:00000001\n"));
    // No temporary file is left beside it.
    const QStringList left = QDir(configDir()).entryList(QStringList() << QStringLiteral("*.tmp*"), QDir::Files);
    EXPECT_TRUE(left.isEmpty());
}

TEST_F(HiveFile, DamagedFileIsKeptAsideAndReadsEmpty)
{
    const QByteArray damaged =
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Software\\Vorlane7\\StartUp]\n"
        "\"LastFolder\"=\"/home/u/pics\n";
    v7test::writeFile(hivePath(), damaged);
    Hive &hive = Hive::user();
    EXPECT_FALSE(hive.read(QStringLiteral("Software\\Vorlane7\\StartUp"), QStringLiteral("LastFolder")).has_value());
    const QString aside = hive.lastSetAside();
    ASSERT_FALSE(aside.isEmpty());
    EXPECT_EQ(v7test::readFile(aside), damaged); // kept byte for byte
    EXPECT_FALSE(QFile::exists(hivePath()));

    // Writing afterwards makes a fresh file and leaves the kept one alone.
    ASSERT_TRUE(
        hive.write(QStringLiteral("Software\\Vorlane7\\StartUp"), QStringLiteral("LastOK"), RegValue::fromDword(1)));
    EXPECT_EQ(v7test::readFile(aside), damaged);
    EXPECT_TRUE(hive.read(QStringLiteral("Software\\Vorlane7\\StartUp"), QStringLiteral("LastOK")).has_value());
}

TEST_F(HiveFile, OtherWritersChangesAreSeenAndKept)
{
    // Two hive objects on one file stand for two processes.
    Hive a(hivePath()), b(hivePath());
    ASSERT_TRUE(a.write(QStringLiteral("K"), QStringLiteral("A"), RegValue::fromDword(1)));
    EXPECT_EQ(b.read(QStringLiteral("K"), QStringLiteral("A"))->dword, 1u);
    ASSERT_TRUE(b.write(QStringLiteral("K"), QStringLiteral("B"), RegValue::fromDword(2)));
    ASSERT_TRUE(a.write(QStringLiteral("K"), QStringLiteral("C"), RegValue::fromDword(3)));
    for (Hive *h : { &a, &b }) {
        EXPECT_EQ(h->read(QStringLiteral("K"), QStringLiteral("A"))->dword, 1u);
        EXPECT_EQ(h->read(QStringLiteral("K"), QStringLiteral("B"))->dword, 2u);
        EXPECT_EQ(h->read(QStringLiteral("K"), QStringLiteral("C"))->dword, 3u);
    }
}

TEST_F(HiveFile, ThreadsWritingAtOnceLoseNothing)
{
    const int perThread = 60;
    auto writer = [&](const QString &prefix) {
        Hive h(hivePath());
        for (int i = 0; i < perThread; ++i)
            h.write(QStringLiteral("T"), prefix + QString::number(i), RegValue::fromDword(std::uint32_t(i)));
    };
    std::thread t1(writer, QStringLiteral("one")), t2(writer, QStringLiteral("two"));
    t1.join();
    t2.join();
    Hive check(hivePath());
    for (const char *prefix : { "one", "two" })
        for (int i = 0; i < perThread; ++i)
            EXPECT_TRUE(check.read(QStringLiteral("T"), QLatin1String(prefix) + QString::number(i)).has_value());
}

TEST_F(HiveFile, ProcessesWritingAtOnceLoseNothingAndReadersNeverSeeATornFile)
{
    const int perProcess = 150;
    QProcess p1, p2;
    const QString exe = QStringLiteral(HIVE_WRITER_EXE);
    p1.start(exe, { hivePath(), QStringLiteral("first"), QString::number(perProcess) });
    p2.start(exe, { hivePath(), QStringLiteral("second"), QString::number(perProcess) });
    ASSERT_TRUE(p1.waitForStarted() && p2.waitForStarted());

    // Read the raw file over and over while they write: every version must parse.
    int reads = 0;
    while (p1.state() != QProcess::NotRunning || p2.state() != QProcess::NotRunning) {
        const QByteArray bytes = v7test::readFile(hivePath());
        if (!bytes.isEmpty()) {
            ASSERT_TRUE(HiveData::parse(bytes).has_value()) << "torn read after " << reads << " reads";
            ++reads;
        }
        p1.waitForFinished(1);
        p2.waitForFinished(1);
    }
    ASSERT_EQ(p1.exitCode(), 0) << p1.readAllStandardError().toStdString();
    ASSERT_EQ(p2.exitCode(), 0) << p2.readAllStandardError().toStdString();
    EXPECT_GT(reads, 0);

    Hive check(hivePath());
    for (const char *prefix : { "first", "second" })
        for (int i = 0; i < perProcess; ++i) {
            auto v =
                check.read(QStringLiteral("Software\\Vorlane7\\Stress"), QLatin1String(prefix) + QString::number(i));
            ASSERT_TRUE(v.has_value()) << prefix << i;
            EXPECT_EQ(v->dword, std::uint32_t(i));
        }
}
