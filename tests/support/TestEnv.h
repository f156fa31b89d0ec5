// Test fixtures shared by every suite.
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

namespace v7test
{

// Points XDG_CONFIG_HOME, XDG_CACHE_HOME and XDG_DATA_HOME (the trash) at a fresh
// temporary folder for the length of a test, so the settings hive and the cache
// start empty and nothing reaches the user's own trash.
class TempHome : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    QString configDir() const; // .../config/Vorlane7
    QString hivePath() const; // .../config/Vorlane7/registry.reg
    QString root() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldConfig, m_oldCache, m_oldData;
};

// Headless platform, and V7_TEST_DATA / V7_SAMPLES pointing into the source tree
// (each kept when already set).
void setTestEnvironment();

// Writes bytes to a file, creating folders; fails the test on error.
void writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);

// A command-line program run to its end: its exit code (-1 when it did not start,
// crashed or outlived the timeout) and what it printed.
struct ProgramRun {
    int code = -1;
    QString out, err;
};
ProgramRun runProgram(const QString &program, const QStringList &args, int timeoutMs = 120000);

// Runs the event loop until done() holds or ms pass; returns done().
bool waitUntil(const std::function<bool()> &done, int ms);

} // namespace v7test
