#pragma once
// Opening the real main window in widget tests, as the browser tests all do.

#include "browser/FileListModel.h"
#include "mainwin/Frm_Main.h"

#include <QSignalSpy>
#include <gtest/gtest.h>
#include <memory>

namespace v7test
{
using v7::FileEntry;
using v7::Frm_Main;

// A window loaded on a folder (empty: the saved LastFolder), after its first display.
inline std::unique_ptr<Frm_Main> openWindowOn(const QString &folder, int firstDisplayMs)
{
    auto w = std::make_unique<Frm_Main>(folder);
    QSignalSpy first(w.get(), &Frm_Main::firstDisplayStarted);
    w->Form_Load();
    EXPECT_TRUE(first.wait(firstDisplayMs));
    return w;
}

// The same, shown at a normal 1000 x 700 size.
inline std::unique_ptr<Frm_Main> openWindowShown(const QString &folder, int firstDisplayMs)
{
    auto w = openWindowOn(folder, firstDisplayMs);
    w->showNormal();
    w->resize(1000, 700);
    return w;
}

// The names the file list shows, in its order.
inline QStringList listedNames(Frm_Main &w)
{
    QStringList names;
    for (const FileEntry &e : w.fileList()->entries())
        names << e.name;
    return names;
}

} // namespace v7test
