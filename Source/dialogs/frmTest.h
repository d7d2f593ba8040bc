#pragma once

#include <QDialog>

class frmTest : public QDialog {
    Q_OBJECT
public:
    explicit frmTest(QWidget* parent = nullptr);
    ~frmTest() override;

    // True while a window of this kind is open.
    static bool bActive;
};
