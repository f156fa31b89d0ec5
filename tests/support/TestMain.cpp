// Test entry point for suites without widgets: a GUI application object on the
// offscreen platform, so QImage, fonts and QPainter work without a display.
#include "TestEnv.h"

#include <QGuiApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    v7test::setTestEnvironment();
    ::testing::InitGoogleTest(&argc, argv);
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
