#pragma once

#include "VirtualDesktop.h"

#include <QApplication>
#include <QTest>

// The main of a test on the virtual desktop. Without an X server (or a tray host when asked for) the test
// still runs offscreen, so that it reports why it skipped.
template <class TestObject>
int runOnDesktop(int argc, char** argv, bool bWithTray, QString& sSkipReason,
                 const char* sScreen = "1024x768x24") {
    if (!VirtualDesktop::start(bWithTray, sSkipReason, sScreen))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int iResult = 0;
    {
        QApplication app(argc, argv);
        TestObject test;
        iResult = QTest::qExec(&test, argc, argv);
    }
    VirtualDesktop::stop();
    return iResult;
}
