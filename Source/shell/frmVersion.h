#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

// The about box: the product picture, the version and two notice lines; O K closes it.
class frmVersion : public QWidget {
    Q_OBJECT
public:
    explicit frmVersion(QWidget* parent = nullptr);

private:
    QLabel* imgFrmBack = nullptr;
    QLabel* lvlVersion = nullptr;
    QLabel* lblNotice[2] = {nullptr, nullptr};
    QPushButton* btn1 = nullptr;
};
