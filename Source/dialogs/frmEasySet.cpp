#include "dialogs/frmEasySet.h"

bool frmEasySet::bActive = false;

frmEasySet::frmEasySet(QWidget* parent) : QDialog(parent) {
    bActive = true;
}

frmEasySet::~frmEasySet() {
    bActive = false;
}
