// Until the settings store is linked into the core, the tests of this folder
// supply the two per-thread accessors they use. Weak, so the real ones win.
#include "app/Settings.h"

namespace v7
{

__attribute__((weak)) Settings &settings()
{
    thread_local Settings s;
    return s;
}

__attribute__((weak)) StartFlags &startFlags()
{
    thread_local StartFlags f;
    return f;
}

} // namespace v7
