#pragma once

#include <QDialog>

class frmEasySet : public QDialog {
    Q_OBJECT
public:
    explicit frmEasySet(QWidget* parent = nullptr);
    ~frmEasySet() override;

    // True while a window of this kind is open.
    static bool bActive;
};
