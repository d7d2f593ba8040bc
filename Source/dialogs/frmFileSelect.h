#pragma once

#include <QDialog>
#include <QString>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

// The screen saver chooser, opened modally by a settings dialog after it sets iSelectFrom. O K writes the
// choice into that dialog's record in memory; the settings dialog saves it.
class frmFileSelect : public QDialog {
    Q_OBJECT
public:
    explicit frmFileSelect(QWidget* parent = nullptr);

    // The folder whose programs the file list shows.
    QString folderPath() const { return sDirPath; }

    // Refuses a path that cannot be split into a folder and a file name; the dialog stays open then.
    void accept() override;

private:
    void fillDrives();
    int driveIndexFor(const QString& sFolder) const;
    // False when the folder cannot be read; nothing changes then.
    bool setFolder(const QString& sFolder);
    void driveChanged(int iIndex);
    void folderActivated(QListWidgetItem* item);
    void fileActivated(QListWidgetItem* item);
    void preview();
    void setPassword();

    QComboBox* drv1 = nullptr;
    QLabel* lblDir = nullptr;
    QListWidget* dir1 = nullptr;
    QListWidget* file1 = nullptr;
    QLabel* lblText1 = nullptr;
    QLineEdit* Text1 = nullptr;
    QLabel* lvl2 = nullptr;
    QPushButton* btnScr[2] = {nullptr, nullptr};
    QPushButton* btnSystem[2] = {nullptr, nullptr};

    QString sDirPath;
    int iDriveIndex = -1;
};
