#pragma once

#include "isolatedenvironment.h"
#include "util/commconutils.h"

#include <QApplication>
#include <QtTest>

// Like QTEST_MAIN, for tests that show windows or web views: the environment is isolated
// and the application attributes are set as the client sets them, before QApplication.
#define VEXALO_TEST_MAIN(TestObject)                                                               \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        IsolatedEnvironment environment;                                                           \
        CommconUtils::initApplication(true);                                                       \
        QApplication app(argc, argv);                                                              \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
