#pragma once

#include <QDialog>

class frmSet : public QDialog {
    Q_OBJECT
public:
    explicit frmSet(QWidget* parent = nullptr);
    ~frmSet() override;

    // True while a window of this kind is open.
    static bool bActive;
};
