#include "system/mdlScreenSaver.h"

#include "base/mdlMessage.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"

#include <QProcess>
#include <exception>

qint16 iSelectFrom = 0;

bool execScreenSaver(qint16 iMode, QWidget* owner, const QString& sPath) {
    // The screen saver runs on its own; no window of ours owns it.
    Q_UNUSED(owner);
    switch (iMode) {
    case 2:
        // Detached: the screen saver outlives the check that started it and nobody waits for it.
        return sPath.isEmpty() || !QProcess::startDetached(sPath);
    case 1:
        // Screen saver programs here keep no password of their own; asking for one always fails.
        return true;
    default:
        return false;
    }
}

bool startScreenSaver(QWidget* owner) {
    try {
        QString sFileName;
        QString sFolder;
        if (clsSystem::instance().getValueSetSelect() != 0) {
            sFileName = clsSet1::instance().PAS1().getValue(3).toString();
            sFolder = clsSet1::instance().PAS1().getValue(4).toString();
        } else {
            sFileName = clsSet2::instance().getValue(9).toString();
            sFolder = clsSet2::instance().getValue(10).toString();
        }
        if (sFileName.isEmpty())
            return true;

        if (execScreenSaver(2, owner, sFolder + QStringLiteral("/") + sFileName)) {
            showMessage(QStringLiteral("スクリーンセイバーの起動に失敗しました。") + QStringLiteral("\n\r") +
                            QStringLiteral("スクリーンセイバーの設定内容が正しいか確認して下さい。"),
                        sAppTitle, MsgIcon::Information);
            return false;
        }
        return true;
    } catch (const std::exception&) {
        return false;
    } catch (...) {
        return false;
    }
}
