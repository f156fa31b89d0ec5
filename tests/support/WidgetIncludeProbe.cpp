// Must not compile inside the core library (see tests/CMakeLists.txt).
#include <QtWidgets/QWidget>

int probe()
{
    return sizeof(QWidget);
}
