#include "app/Startup.h"

#include <QApplication>
#include <QMainWindow>

namespace v7 {
int Main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QMainWindow w;
    w.setWindowTitle(QStringLiteral("Vorlane7"));
    w.show();
    return app.exec();
}
} // namespace v7
