// Test entry point for widget suites: a QApplication on the offscreen platform.
#include "TestEnv.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    v7test::setTestEnvironment();
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
