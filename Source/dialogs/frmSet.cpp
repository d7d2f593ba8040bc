#include "dialogs/frmSet.h"

bool frmSet::bActive = false;

frmSet::frmSet(QWidget* parent) : QDialog(parent) {
    bActive = true;
}

frmSet::~frmSet() {
    bActive = false;
}
