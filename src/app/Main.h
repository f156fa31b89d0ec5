// The main window as the program opens it from its command line.
//
// Threads: user-interface thread.
#pragma once

#include "app/Startup.h"

#include <memory>

namespace v7
{

class Frm_Main;

// Makes and loads the main window for a command line: its folder, or an image file's
// folder with that file current once listed; a folder argument that does not exist
// is said in the status bar, and the window opens as it would have without it.
std::unique_ptr<Frm_Main> LoadMainWindow(const CommandLine &commandLine);

} // namespace v7
