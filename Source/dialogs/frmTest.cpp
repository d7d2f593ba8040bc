#include "dialogs/frmTest.h"

bool frmTest::bActive = false;

frmTest::frmTest(QWidget* parent) : QDialog(parent) {
    bActive = true;
}

frmTest::~frmTest() {
    bActive = false;
}
