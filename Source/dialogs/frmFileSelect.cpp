#include "dialogs/frmFileSelect.h"

#include "base/mdlGlobals.h"
#include "base/mdlMessage.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "system/mdlScreenSaver.h"
#include "ui/mdlCommon.h"

#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStorageInfo>
#include <QVBoxLayout>

#include <algorithm>

namespace {
// Where distributions put the screen saver programs; the first that exists is shown when nothing is chosen.
const char* const sSaverFolders[] = {"/usr/libexec/xscreensaver", "/usr/lib/xscreensaver",
                                     "/usr/lib64/xscreensaver"};

QString startFolder() {
    for (const char* sFolder : sSaverFolders)
        if (QDir(QString::fromLatin1(sFolder)).exists())
            return QString::fromLatin1(sFolder);
    return QStringLiteral("/usr/bin");
}

QString joinPath(const QString& sFolder, const QString& sName) {
    return sFolder + QStringLiteral("/") + sName;
}
} // namespace

frmFileSelect::frmFileSelect(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmFileSelect"));
    setWindowTitle(QStringLiteral("スクリーンセイバーの選択"));
    setModal(true);

    drv1 = new QComboBox(this);
    drv1->setObjectName(QStringLiteral("drv1"));
    lblDir = new QLabel(this);
    lblDir->setObjectName(QStringLiteral("lblDir"));
    dir1 = new QListWidget(this);
    dir1->setObjectName(QStringLiteral("dir1"));
    file1 = new QListWidget(this);
    file1->setObjectName(QStringLiteral("file1"));
    lblText1 = new QLabel(QStringLiteral("ファイル名："), this);
    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    lblText1->setBuddy(Text1);
    lvl2 = new QLabel(QStringLiteral("スクリーンセイバーのプログラムを選択してください"), this);
    lvl2->setObjectName(QStringLiteral("lvl2"));

    const QString sScrCaption[2] = {QStringLiteral("プレビュー"), QStringLiteral("パスワード設定")};
    const QString sSystemCaption[2] = {QStringLiteral("O K"), QStringLiteral("ｷｬﾝｾﾙ")};
    for (int i = 0; i < 2; ++i) {
        btnScr[i] = new QPushButton(sScrCaption[i], this);
        btnScr[i]->setObjectName(QStringLiteral("btnScr%1").arg(i));
        btnSystem[i] = new QPushButton(sSystemCaption[i], this);
        btnSystem[i]->setObjectName(QStringLiteral("btnSystem%1").arg(i));
    }
    btnSystem[0]->setDefault(true);
    btnScr[1]->setVisible(!bWinNT);

    auto* lists = new QGridLayout;
    lists->addWidget(drv1, 0, 0);
    lists->addWidget(lblDir, 1, 0);
    lists->addWidget(dir1, 2, 0);
    lists->addWidget(file1, 0, 1, 3, 1);
    auto* path = new QHBoxLayout;
    path->addWidget(lblText1);
    path->addWidget(Text1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnScr[0]);
    buttons->addWidget(btnScr[1]);
    buttons->addStretch(1);
    buttons->addWidget(btnSystem[0]);
    buttons->addWidget(btnSystem[1]);
    auto* form = new QVBoxLayout(this);
    form->addLayout(lists, 1);
    form->addLayout(path);
    form->addWidget(lvl2);
    form->addLayout(buttons);

    connect(drv1, &QComboBox::currentIndexChanged, this, &frmFileSelect::driveChanged);
    connect(dir1, &QListWidget::itemActivated, this, &frmFileSelect::folderActivated);
    connect(file1, &QListWidget::itemActivated, this, &frmFileSelect::fileActivated);
    connect(btnScr[0], &QPushButton::clicked, this, &frmFileSelect::preview);
    connect(btnScr[1], &QPushButton::clicked, this, &frmFileSelect::setPassword);
    connect(btnSystem[0], &QPushButton::clicked, this, &frmFileSelect::accept);
    connect(btnSystem[1], &QPushButton::clicked, this, &QDialog::reject);

    resize(560, 380);
    placeWindow(1, this);

    fillDrives();
    QString sFileName;
    QString sFolder;
    if (iSelectFrom != 0) {
        sFileName = clsSet1::instance().PAS1().getValue(3).toString();
        sFolder = clsSet1::instance().PAS1().getValue(4).toString();
    } else {
        sFileName = clsSet2::instance().getValue(9).toString();
        sFolder = clsSet2::instance().getValue(10).toString();
    }
    if (!sFileName.isEmpty()) {
        // A file in the root is stored with an empty folder, as the separator is never kept.
        if (!setFolder(sFolder.isEmpty() ? QStringLiteral("/") : sFolder))
            setFolder(startFolder());
        Text1->setText(joinPath(sFolder, sFileName));
    } else if (!setFolder(startFolder())) {
        setFolder(QDir::homePath());
    }
}

void frmFileSelect::fillDrives() {
    QStringList sRoots = {QStringLiteral("/"), QDir::homePath()};
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes())
        if (volume.isValid() && volume.isReady() && !sRoots.contains(volume.rootPath()))
            sRoots << volume.rootPath();
    std::sort(sRoots.begin() + 1, sRoots.end());
    const QSignalBlocker block(drv1);
    drv1->clear();
    drv1->addItems(sRoots);
}

int frmFileSelect::driveIndexFor(const QString& sFolder) const {
    // Mounts nest, so the deepest root that holds the folder is its drive.
    int iBest = -1;
    qsizetype iBestLength = -1;
    for (int i = 0; i < drv1->count(); ++i) {
        const QString sRoot = drv1->itemText(i);
        const bool bHolds = sRoot == QStringLiteral("/") || sFolder == sRoot ||
                            sFolder.startsWith(sRoot.endsWith(u'/') ? sRoot : sRoot + u'/');
        if (bHolds && sRoot.size() > iBestLength) {
            iBest = i;
            iBestLength = sRoot.size();
        }
    }
    return iBest;
}

bool frmFileSelect::setFolder(const QString& sFolder) {
    const QDir dir(sFolder);
    if (!dir.exists() || !dir.isReadable())
        return false;
    sDirPath = dir.absolutePath();
    lblDir->setText(sDirPath);

    dir1->clear();
    if (!dir.isRoot())
        dir1->addItem(QStringLiteral(".."));
    dir1->addItems(dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name));
    file1->clear();
    file1->addItems(dir.entryList(QDir::Files | QDir::Executable, QDir::Name));

    const QSignalBlocker block(drv1);
    iDriveIndex = driveIndexFor(sDirPath);
    drv1->setCurrentIndex(iDriveIndex);
    return true;
}

void frmFileSelect::driveChanged(int iIndex) {
    // The folder shown before the change is still current, so a refused drive leaves it untouched.
    if (iIndex >= 0 && setFolder(drv1->itemText(iIndex)))
        return;
    showMessage(QStringLiteral("選択されたドライブは参照できません"), sAppTitle, MsgIcon::Exclamation);
    const QSignalBlocker block(drv1);
    drv1->setCurrentIndex(iDriveIndex);
}

void frmFileSelect::folderActivated(QListWidgetItem* item) {
    if (item)
        setFolder(QDir(sDirPath).absoluteFilePath(item->text()));
}

void frmFileSelect::fileActivated(QListWidgetItem* item) {
    if (item)
        Text1->setText(sDirPath == QStringLiteral("/") ? sDirPath + item->text()
                                                       : joinPath(sDirPath, item->text()));
}

void frmFileSelect::preview() {
    if (Text1->text().isEmpty())
        return;
    if (execScreenSaver(2, this, Text1->text()))
        showMessage(QStringLiteral("スクリーンセイバーの起動に失敗しました。") + QStringLiteral("\n\r") +
                        QStringLiteral("設定内容が正しいか確認して下さい。"),
                    sAppTitle, MsgIcon::Information);
}

void frmFileSelect::setPassword() {
    if (!Text1->text().isEmpty())
        execScreenSaver(1, this, Text1->text());
}

void frmFileSelect::accept() {
    const QString sText = Text1->text();
    QString sFileName;
    QString sFolder;
    if (!sText.isEmpty()) {
        // Only a full path splits into a folder and a name that start the same program again later.
        const qsizetype iLast = sText.lastIndexOf(u'/');
        if (!sText.startsWith(u'/') || iLast == sText.size() - 1) {
            showMessage(QStringLiteral("スクリーンセイバーのプログラムをフルパスで指定してください"),
                        sAppTitle, MsgIcon::Exclamation);
            Text1->setFocus();
            return;
        }
        sFileName = sText.mid(iLast + 1);
        sFolder = sText.left(iLast);
    }
    if (iSelectFrom != 0) {
        clsSet1::instance().PAS1().setValue(3, {sFileName});
        clsSet1::instance().PAS1().setValue(4, {sFolder});
    } else {
        clsSet2::instance().setValue(9, {sFileName});
        clsSet2::instance().setValue(10, {sFolder});
    }
    QDialog::accept();
}
