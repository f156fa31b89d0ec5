// Until the settings store's implementation is linked into the core, the imaging
// tests, fuzz targets and benchmarks need this thread's settings copy. Weak, so
// the real definition wins as soon as it exists.
#include "app/Settings.h"

namespace v7
{

__attribute__((weak)) Settings &settings()
{
    thread_local Settings s;
    return s;
}

} // namespace v7
