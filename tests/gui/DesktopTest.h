#pragma once

#include "VirtualDesktop.h"

#include <QApplication>
#include <QTest>

// The main of a test on a virtual desktop. Without one the test still runs offscreen, so that it reports why
// it skipped.
template <class TestObject> int runOnStartedDesktop(bool bStarted, int argc, char** argv) {
    if (!bStarted)
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

// On an X server, with a tray host when asked for.
template <class TestObject>
int runOnDesktop(int argc, char** argv, bool bWithTray, QString& sSkipReason,
                 const char* sScreen = "1024x768x24") {
    return runOnStartedDesktop<TestObject>(VirtualDesktop::start(bWithTray, sSkipReason, sScreen), argc,
                                           argv);
}

// Under a Wayland compositor.
template <class TestObject> int runOnWayland(int argc, char** argv, QString& sSkipReason) {
    return runOnStartedDesktop<TestObject>(VirtualDesktop::startWayland(sSkipReason), argc, argv);
}
