#include "platform/Scanner.h"

#include "TestEnv.h"
#include "imaging/Codecs.h"

#include <QDir>
#include <QTemporaryDir>
#include <cmath>
#include <dlfcn.h>

using namespace v7;

// SANE's own test backend leaks its read buffer on every scan; it is unloaded
// before the leak check, so it is kept loaded here to be named, and only its
// leaks are set aside.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libsane-test.so\n";
}

namespace
{

// SANE reads its backend list from SANE_CONFIG_DIR: one naming only "test", the
// backend's own simulated scanners. SANE reads the variable once per process, so
// the folder is made once and kept for every test of the run.
class SaneTest : public ::testing::Test
{
protected:
    static QString configDir()
    {
        static QTemporaryDir dir;
        static const bool written = [] {
            v7test::writeFile(dir.filePath(QStringLiteral("dll.conf")), "test\n");
            ::dlopen("/usr/lib/x86_64-linux-gnu/sane/libsane-test.so.1", RTLD_NOW | RTLD_NODELETE);
            qputenv("SANE_CONFIG_DIR", QFile::encodeName(dir.path()));
            return true;
        }();
        return written ? dir.path() : QString();
    }
    void SetUp() override
    {
        ASSERT_FALSE(configDir().isEmpty());
        QString error;
        if (ScanDevices(&error).empty())
            GTEST_SKIP() << "SANE's test backend is not installed (libsane1 provides it): " << error.toStdString();
    }
};

int pixelsFor(double mm, int dpi)
{
    return int(mm / 25.4 * dpi);
}

} // namespace

TEST_F(SaneTest, TheTestDevicesAreListed)
{
    const std::vector<ScanDevice> devices = ScanDevices();
    ASSERT_FALSE(devices.empty());
    EXPECT_TRUE(devices.front().name.startsWith(QLatin1String("test:"))) << devices.front().name.toStdString();
    EXPECT_TRUE(devices.front().label().contains(devices.front().name));
}

TEST_F(SaneTest, AScanHasTheSizeAndDepthTheOptionsSet)
{
    for (const char *dpi : { "50", "75" }) {
        ScanRequest r;
        r.device = QStringLiteral("test:0");
        r.options = { { QStringLiteral("resolution"), QString::fromLatin1(dpi) },
            { QStringLiteral("tl-x"), QStringLiteral("0") },
            { QStringLiteral("tl-y"), QStringLiteral("0") },
            { QStringLiteral("br-x"), QStringLiteral("40") },
            { QStringLiteral("br-y"), QStringLiteral("30") },
            { QStringLiteral("test-picture"), QStringLiteral("Solid white") } };
        std::atomic<int> percent { 0 };
        r.percent = &percent;
        const ScanResult s = ScanImage(r);
        ASSERT_FALSE(s.image.isNull()) << s.error.toStdString();
        EXPECT_EQ(s.depth, 8);
        EXPECT_EQ(s.image.format(), QImage::Format_RGB888);
        EXPECT_EQ(s.image.width(), s.frameWidth);
        EXPECT_EQ(s.image.height(), s.frameLines);
        const int d = QByteArray(dpi).toInt();
        EXPECT_NEAR(s.image.width(), pixelsFor(40, d), 1) << dpi;
        EXPECT_NEAR(s.image.height(), pixelsFor(30, d), 1) << dpi;
        EXPECT_EQ(s.image.pixel(s.image.width() / 2, s.image.height() / 2), qRgb(255, 255, 255));
        EXPECT_EQ(percent.load(), 100);
    }
}

TEST_F(SaneTest, ThreePassGreyAndSixteenBitPagesComeBackAs24Bits)
{
    const auto scan = [](std::vector<std::pair<QString, QString>> extra) {
        ScanRequest r;
        r.device = QStringLiteral("test:0");
        r.options = { { QStringLiteral("resolution"), QStringLiteral("50") },
            { QStringLiteral("br-x"), QStringLiteral("20") },
            { QStringLiteral("br-y"), QStringLiteral("20") } };
        for (auto &e : extra)
            r.options.push_back(e);
        return ScanImage(r);
    };
    const ScanResult three = scan({ { QStringLiteral("three-pass"), QStringLiteral("yes") },
        { QStringLiteral("test-picture"), QStringLiteral("Solid white") } });
    ASSERT_FALSE(three.image.isNull()) << three.error.toStdString();
    EXPECT_EQ(three.image.pixel(3, 3), qRgb(255, 255, 255)) << "all three frames arrived";
    const ScanResult grey = scan({ { QStringLiteral("mode"), QStringLiteral("Gray") },
        { QStringLiteral("test-picture"), QStringLiteral("Solid black") } });
    ASSERT_FALSE(grey.image.isNull()) << grey.error.toStdString();
    EXPECT_EQ(grey.image.format(), QImage::Format_RGB888);
    EXPECT_EQ(grey.image.pixel(2, 2), qRgb(0, 0, 0));
    const ScanResult deep = scan({ { QStringLiteral("depth"), QStringLiteral("16") },
        { QStringLiteral("test-picture"), QStringLiteral("Solid white") } });
    ASSERT_FALSE(deep.image.isNull()) << deep.error.toStdString();
    EXPECT_EQ(deep.depth, 16);
    EXPECT_EQ(deep.image.pixel(1, 1), qRgb(255, 255, 255));
    EXPECT_EQ(deep.image.size(), three.image.size());
}

TEST_F(SaneTest, CancelBadOptionsAndAMissingDeviceGiveNoImage)
{
    std::atomic<bool> cancel { true };
    ScanRequest r;
    r.device = QStringLiteral("test:0");
    r.cancel = &cancel;
    ScanResult s = ScanImage(r);
    EXPECT_TRUE(s.image.isNull());
    EXPECT_TRUE(s.cancelled);

    ScanRequest bad;
    bad.device = QStringLiteral("test:0");
    bad.options = { { QStringLiteral("resolution"), QStringLiteral("lots") } };
    s = ScanImage(bad);
    EXPECT_TRUE(s.image.isNull());
    EXPECT_FALSE(s.error.isEmpty());

    ScanRequest missing;
    missing.device = QStringLiteral("test:nowhere");
    s = ScanImage(missing);
    EXPECT_TRUE(s.image.isNull());
    EXPECT_FALSE(s.error.isEmpty());
}

TEST_F(SaneTest, TheImagingScanCallsReachTheScanner)
{
    EXPECT_TRUE(twainavailable());
    ASSERT_TRUE(selectsource());
    const QImage page = aquireimage();
    EXPECT_FALSE(page.isNull());
}
