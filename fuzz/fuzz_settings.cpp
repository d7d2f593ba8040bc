// A hand-edited settings file: the bytes become the program's settings file, every set is loaded from it
// the way the program starts, and the loaded values are put to the uses a check makes of them.

#include "engine/clsMailTransfer.h"
#include "settings/SettingsStore.h"
#include "settings/clsSet1.h"
#include "settings/clsSet2.h"
#include "settings/clsSystem.h"
#include "settings/mdlPassWord.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTime>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {
const QString sApp = QStringLiteral("Q-Post");
QString sSandbox;
QString sConfFile;
qint64 iWrites = 0;

void removeSandbox() {
    QDir(sSandbox).removeRecursively();
}

volatile qsizetype iSink = 0;
void use(const QString& s) {
    iSink = iSink + s.size();
}

// Qt re-reads a settings file only when its time or size changed; equal sizes within one clock tick are
// common here, so every input gets a time of its own.
void writeConf(const QByteArray& bytes) {
    QFile file(sConfFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() ||
        !file.flush())
        std::abort();
    // Only an open file takes a new time.
    if (!file.setFileTime(QDateTime::fromSecsSinceEpoch(1'000'000'000 + ++iWrites),
                          QFileDevice::FileModificationTime))
        std::abort();
    file.close();
}

void useCredentials() {
    const clsSet2& set2 = clsSet2::instance();
    for (qint16 iID : {2, 3, 11})
        use(decodePassWord(set2.getValue(iID).toString()));
    clsSRV1& srv1 = clsSet1::instance().SRV1();
    const qint16 iRows = qint16(qBound(0, srv1.getValue(1).toInt(), int(clsSRV1::iRows)));
    for (qint16 r = 0; r < iRows; ++r) {
        use(decodePassWord(srv1.getValue(2, {r, 1}).toString()));
        use(decodePassWord(srv1.getValue(2, {r, 2}).toString()));
    }
}

// The timed windows load switched off; switched on here, so that hand-edited window fields are read.
void schedule() {
    clsSet1& set1 = clsSet1::instance();
    set1.WTH2().setValue(1, {0});
    set1.WTH2().clearAllTimerCounter();
    const QTime times[] = {QTime(0, 0), QTime(9, 30), QTime(23, 59)};
    for (const QTime& t : times) {
        for (qint16 iTick = 0; iTick < 3; ++iTick)
            iSink = iSink + set1.checkMailReciveTime(iTick, t);
    }
    iSink = iSink + set1.checkMailReciveTime(qint16(set1.WTH1().getValue(2).toInt()), QTime(12, 0));
}

void filters() {
    clsSet1& set1 = clsSet1::instance();
    const QString sOwn = set1.SRV1().getValue(2, {0, 3}).toString();
    const QString sSender = set1.FIL3().getValue(3, {0}).toString();
    const QString sWord = set1.FIL4().getValue(3, {0}).toString();
    const QString sStranger = QStringLiteral("someone@example.com");
    const QString sUndecoded = QStringLiteral("=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=");
    iSink = iSink + set1.judgeDoTransferFromFilter1(0) + set1.judgeDoTransferFromFilter1(1);
    iSink = iSink + set1.judgeDoTransferFromFilter2(2, {sStranger, sOwn}, 1, {sUndecoded});
    iSink = iSink + set1.judgeDoTransferFromFilter2(0, {}, 5, {sOwn});
    for (const QString& sFrom : {sSender, sStranger, sUndecoded})
        iSink = iSink + set1.judgeDoTransferFromFilter3(sFrom);
    for (const QString& sSubject : {QStringLiteral("re: ") + sWord, QString(), sUndecoded})
        iSink = iSink + set1.judgeDoTransferFromFilter4(sSubject);
}

// Quote removal and division with the marks and page sizes of the file, as the two check cycles use them.
void forwardText() {
    clsSet1& set1 = clsSet1::instance();
    clsMailTransfer& store = clsMailTransfer::instance();
    store.setBodyForTest(0, QStringLiteral("Hello\r\n\r\n> quoted\r\n＞ 引用\r\n| bar\r\n\r\nend\r\nline\n"
                                           "tail without end 😀😀"));
    iSink = iSink + store.DeleteQuotation(0);
    const QString sBody = store.getBody(0);
    store.mailDivideCul(sBody, qint16(set1.FIL1().getValue(4).toInt()), store.getTransSizeDetail(),
                        qint16(set1.OPT1().getValue(1).toInt()));
    use(store.getMailDivide(0));
    store.mailDivideCul(sBody, qint16(clsSet2::instance().getValue(8).toInt()), store.getTransSizeEasy(), 1);
    use(store.getMailDivide(0));
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/pelimo-fuzz-settings-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir)
        std::abort();
    const std::string sDir = dir;
    sSandbox = QString::fromStdString(sDir);
    std::atexit(removeSandbox);
    // Qt reads these when the settings are first opened, so they must be set before that.
    ::setenv("XDG_CONFIG_HOME", (sDir + "/config").c_str(), 1);
    ::setenv("HOME", (sDir + "/home").c_str(), 1);
    QDir().mkpath(sSandbox + QStringLiteral("/home"));
    QDir().mkpath(sSandbox + QStringLiteral("/config/PelimoMail"));
    // The temporary folder is made in the current one.
    if (::chdir(dir) != 0)
        std::abort();
    sConfFile = sSandbox + QStringLiteral("/config/PelimoMail/Q-Post.conf");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    writeConf(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    SettingsStore::reset();
    if (SettingsStore::fileName(sApp) != sConfFile)
        std::abort();

    clsSystem& system = clsSystem::instance();
    clsSet2& set2 = clsSet2::instance();
    clsSet1& set1 = clsSet1::instance();
    system.setDefault();
    set2.setDefault();
    set1.setDefault(0);
    iSink = iSink + system.loadRegistory(sApp);
    iSink = iSink + set2.loadRegistory(sApp);
    iSink = iSink + set1.loadRegistory(0, sApp);

    useCredentials();
    schedule();
    filters();
    forwardText();
    // What the load wrote back (the temporary folder's name) must not reach the next input's file.
    SettingsStore::reset();
    return 0;
}
