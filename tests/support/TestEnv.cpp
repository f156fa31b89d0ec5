#include "TestEnv.h"

#include "thumbs/CacheUpkeep.h"
#include "thumbs/ThumbX.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace v7test
{

void setTestEnvironment()
{
    const auto setDefault = [](const char *name, const QByteArray &value) {
        if (qEnvironmentVariableIsEmpty(name))
            qputenv(name, value);
    };
    setDefault("QT_QPA_PLATFORM", "offscreen");
    setDefault("V7_TEST_DATA", V7_SOURCE_DIR "/tests/data");
    setDefault("V7_SAMPLES", V7_SOURCE_DIR "/samples");
}

void TempHome::SetUp()
{
    ASSERT_TRUE(m_dir.isValid());
    m_oldConfig = qgetenv("XDG_CONFIG_HOME");
    m_oldCache = qgetenv("XDG_CACHE_HOME");
    m_oldData = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/data")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/config")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/cache")));
}

void TempHome::TearDown()
{
    // A job of a window the test closed may still be finishing, and it reads the
    // environment restored here and the files of the folder removed after.
    EXPECT_TRUE(waitUntil([] { return !v7::ThumbX::JobThreadsRunning(); }, 60000))
        << "a thumbnail job outlived the test";
    EXPECT_TRUE(waitUntil([] { return !v7::cacheTidyRunning(); }, 60000)) << "the cache tidy outlived the test";
    qputenv("XDG_CONFIG_HOME", m_oldConfig);
    qputenv("XDG_CACHE_HOME", m_oldCache);
    qputenv("XDG_DATA_HOME", m_oldData);
}

QString TempHome::configDir() const
{
    return m_dir.path() + QStringLiteral("/config/Vorlane7");
}

QString TempHome::hivePath() const
{
    return configDir() + QStringLiteral("/registry.reg");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool waitUntil(const std::function<bool()> &done, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

ProgramRun runProgram(const QString &program, const QStringList &args, int timeoutMs)
{
    QProcess p;
    p.start(program, args);
    ProgramRun r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
    } else if (p.exitStatus() == QProcess::NormalExit) {
        r.code = p.exitCode();
    }
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

} // namespace v7test
