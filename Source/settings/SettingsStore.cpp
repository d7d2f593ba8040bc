#include "settings/SettingsStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSettings>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {
const QString sOrganisation = QStringLiteral("PelimoMail");

QMutex storeLock;

bool holdsSerialisedValue(const QString& sPath);

// Qt reads the file again when it writes pending changes as it lets a store go. A store whose file was given
// a serialised value since is let go without that at the end of the program: it is kept, unused.
struct ReleaseStore {
    void operator()(QSettings* s) const;
};
using StorePtr = std::unique_ptr<QSettings, ReleaseStore>;

struct Store {
    StorePtr settings;
    // The file holds a value in Qt's serialised form. The program writes plain text only, so such a value
    // was put there by hand, and reading it makes Qt trust lengths from the file (a few bytes can ask for
    // gigabytes). Such a store is neither read nor written; the load reports failure.
    bool bDamaged = false;
    // Changes not yet written. Qt keeps them with the file rather than with the store, and writes them, after
    // reading the file, as soon as another store for the same file is made.
    bool bPending = false;

    bool usable() const { return settings->status() == QSettings::NoError && !bDamaged; }
};

std::unordered_map<std::string, Store>& stores() {
    static std::unordered_map<std::string, Store> map;
    return map;
}

int digitValue(char ch, int iBase) {
    int v = -1;
    if (ch >= '0' && ch <= '9')
        v = ch - '0';
    else if (ch >= 'a' && ch <= 'f')
        v = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F')
        v = ch - 'A' + 10;
    return v < iBase ? v : -1;
}

// Undoes the escapes Qt's reader undoes (\x and octal codes, one-letter codes, a skipped character, a line
// continuation) and drops quotes, spaces and tabs, which Qt strips around the pieces of a value. Escapes pair
// up here as in Qt's line reader, so the '=' that starts a value stays, and a value or list item that Qt
// would read as "@Variant(..." shows here as "=@Variant(" or ",@Variant(", however it was spelled. Dropping
// more than Qt does can only add false alarms on hand-written files; the program's own "@@" escape stays
// clear of them.
QString unescapedLikeQt(const QByteArray& raw) {
    static const char escapeCodes[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                          {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                          {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    QString out;
    out.reserve(raw.size());
    const qsizetype n = raw.size();
    qsizetype i = 0;
    while (i < n) {
        const char ch = raw.at(i++);
        if (ch == '"' || ch == ' ' || ch == '\t')
            continue;
        if (ch != '\\') {
            out += QLatin1Char(ch);
            continue;
        }
        if (i >= n)
            break;
        const char code = raw.at(i++);
        bool bDone = false;
        for (const auto& escape : escapeCodes) {
            if (code == escape[0]) {
                out += QLatin1Char(escape[1]);
                bDone = true;
                break;
            }
        }
        if (bDone)
            continue;
        // Qt keeps a code in 16 bits, so long codes wrap around; so do these.
        if (code == 'x' || (code >= '0' && code <= '7')) {
            const bool bHex = code == 'x';
            char16_t value = bHex ? 0 : char16_t(code - '0');
            bool bAny = !bHex;
            while (i < n) {
                const int digit = digitValue(raw.at(i), bHex ? 16 : 8);
                if (digit < 0)
                    break;
                value = char16_t((value << (bHex ? 4 : 3)) + digit);
                bAny = true;
                ++i;
            }
            if (bAny)
                out += QChar(value);
        } else if ((code == '\n' || code == '\r') && i < n && (raw.at(i) == '\n' || raw.at(i) == '\r') &&
                   raw.at(i) != code) {
            ++i;
        }
    }
    return out;
}

bool holdsSerialisedValue(const QString& sPath) {
    QFile file(sPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString sText = unescapedLikeQt(file.readAll());
    // Qt reads both from its binary stream; its other @-forms hold only numbers or text. A plain search:
    // escapes can make lone surrogates, on which a regular expression matches nothing.
    for (const QLatin1StringView form : {QLatin1StringView("@Variant("), QLatin1StringView("@DateTime(")}) {
        for (qsizetype i = sText.indexOf(form); i >= 0; i = sText.indexOf(form, i + 1)) {
            if (i > 0 && (sText.at(i - 1) == u'=' || sText.at(i - 1) == u','))
                return true;
        }
    }
    return false;
}

// Whether Qt may read a serialised value from the file now. Qt reads a file again only when its size or time
// changed and keeps what it read before otherwise, so a file judged damaged stays damaged until then, even if
// its text was put right within the same millisecond.
bool judgedDamaged(const QString& sPath) {
    struct Judged {
        qint64 iSize = -1;
        QDateTime modified;
        bool bDamaged = false;
    };
    // Never destroyed: stores are let go while statics are torn down at the end.
    static auto* judged = new std::unordered_map<std::string, Judged>();
    const QFileInfo info(sPath);
    Judged& last = (*judged)[sPath.toStdString()];
    const bool bStale = last.bDamaged && info.size() == last.iSize && info.lastModified() == last.modified;
    last = {info.size(), info.lastModified(), bStale || holdsSerialisedValue(sPath)};
    return last.bDamaged;
}

void ReleaseStore::operator()(QSettings* s) const {
    if (!judgedDamaged(s->fileName())) {
        delete s;
        return;
    }
    static std::vector<QSettings*>* kept = new std::vector<QSettings*>();
    kept->push_back(s);
}

// Creates the file owner-only before Qt writes it for the first time; Qt keeps the mode of an existing file.
void prepareFile(const QString& sPath) {
    if (sPath.isEmpty() || QFileInfo::exists(sPath))
        return;
    QDir().mkpath(QFileInfo(sPath).absolutePath());
    int fd = ::open(QFile::encodeName(sPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
}

Store& store(const QString& sAPPName) {
    auto& map = stores();
    auto key = sAPPName.toStdString();
    auto it = map.find(key);
    if (it == map.end()) {
        Store created;
        created.settings.reset(
            new QSettings(QSettings::NativeFormat, QSettings::UserScope, sOrganisation, sAPPName));
        created.bDamaged = judgedDamaged(created.settings->fileName());
        it = map.emplace(key, std::move(created)).first;
    }
    return it->second;
}

QString fullKey(const QString& sSection, const QString& sKey) {
    return sSection + QLatin1Char('/') + sKey;
}
} // namespace

bool SettingsStore::getSetting(const QString& sAPPName, const QString& sSection, const QString& sKey,
                               const QString& sDefault, QString& sValue) {
    QMutexLocker lock(&storeLock);
    const Store& st = store(sAPPName);
    if (!st.usable())
        return false;
    QVariant v = st.settings->value(fullKey(sSection, sKey));
    if (!v.isValid()) {
        sValue = sDefault;
        return true;
    }
    // A list written by another program reads as a QStringList; it is not a value of ours.
    if (v.typeId() == QMetaType::QStringList)
        return false;
    sValue = v.toString();
    return true;
}

bool SettingsStore::saveSetting(const QString& sAPPName, const QString& sSection, const QString& sKey,
                                const QString& sValue) {
    QMutexLocker lock(&storeLock);
    Store& st = store(sAPPName);
    if (!st.usable() || !st.settings->isWritable())
        return false;
    st.settings->setValue(fullKey(sSection, sKey), sValue);
    st.bPending = true;
    return true;
}

bool SettingsStore::readText(const QString& sAPPName, const QString& sSection, const QString& sKey,
                             const QString& sDefault, QString& sValue) {
    QString sRead;
    if (!getSetting(sAPPName, sSection, sKey, sDefault, sRead))
        return false;
    sValue = sRead;
    return true;
}

bool SettingsStore::readInt16(const QString& sAPPName, const QString& sSection, const QString& sKey,
                              qint16 iDefault, qint16& iValue) {
    QString sRead;
    qint16 iRead = 0;
    if (!getSetting(sAPPName, sSection, sKey, QString::number(iDefault), sRead) || !toInt16(sRead, iRead))
        return false;
    iValue = iRead;
    return true;
}

bool SettingsStore::readBool(const QString& sAPPName, const QString& sSection, const QString& sKey,
                             bool bDefault, bool& bValue) {
    QString sRead;
    bool bRead = false;
    if (!getSetting(sAPPName, sSection, sKey, fromBool(bDefault), sRead) || !toBool(sRead, bRead))
        return false;
    bValue = bRead;
    return true;
}

bool SettingsStore::writeInt16(const QString& sAPPName, const QString& sSection, const QString& sKey,
                               qint16 iValue) {
    return saveSetting(sAPPName, sSection, sKey, QString::number(iValue));
}

bool SettingsStore::writeBool(const QString& sAPPName, const QString& sSection, const QString& sKey,
                              bool bValue) {
    return saveSetting(sAPPName, sSection, sKey, fromBool(bValue));
}

bool SettingsStore::sync(const QString& sAPPName) {
    QMutexLocker lock(&storeLock);
    Store& st = store(sAPPName);
    if (!st.usable())
        return false;
    QSettings* s = st.settings.get();
    // Qt reads the file again before it writes; a serialised value put there by hand meanwhile ends the
    // store.
    if (judgedDamaged(s->fileName())) {
        st.bDamaged = true;
        return false;
    }
    prepareFile(s->fileName());
    s->sync();
    QFile::setPermissions(s->fileName(), QFile::ReadOwner | QFile::WriteOwner);
    if (s->status() != QSettings::NoError)
        return false;
    st.bPending = false;
    return true;
}

QString SettingsStore::fileName(const QString& sAPPName) {
    QMutexLocker lock(&storeLock);
    return store(sAPPName).settings->fileName();
}

void SettingsStore::reset() {
    QMutexLocker lock(&storeLock);
    for (auto it = stores().begin(); it != stores().end();) {
        Store& st = it->second;
        const bool bDamaged = judgedDamaged(st.settings->fileName());
        // Changes Qt would write after reading a file that now holds a serialised value: the store stays,
        // refused, so that no other store for the file is made.
        if (bDamaged && st.bPending) {
            st.bDamaged = true;
            ++it;
            continue;
        }
        if (!bDamaged)
            st.settings->sync();
        // Judged just now, and with nothing left to write: safe to let go without asking again.
        delete st.settings.release();
        it = stores().erase(it);
    }
}

bool SettingsStore::toInt16(const QVariant& vValue, qint16& iValue) {
    bool ok = false;
    qlonglong n = 0;
    switch (vValue.typeId()) {
    case QMetaType::Bool:
        n = vValue.toBool() ? -1 : 0;
        ok = true;
        break;
    case QMetaType::Double:
    case QMetaType::Float: {
        double d = vValue.toDouble();
        if (d >= -32768.5 && d < 32767.5) {
            n = qRound64(d);
            ok = true;
        }
        break;
    }
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        QString s = vValue.toString().trimmed();
        if (s.startsWith(QLatin1Char('+')))
            s.remove(0, 1);
        n = s.toLongLong(&ok);
        break;
    }
    default:
        n = vValue.toLongLong(&ok);
        break;
    }
    if (!ok || n < -32768 || n > 32767)
        return false;
    iValue = static_cast<qint16>(n);
    return true;
}

bool SettingsStore::toBool(const QString& sValue, bool& bValue) {
    QString s = sValue.trimmed();
    if (s.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) {
        bValue = true;
        return true;
    }
    if (s.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) {
        bValue = false;
        return true;
    }
    bool ok = false;
    double d = s.toDouble(&ok);
    if (!ok)
        return false;
    bValue = d != 0;
    return true;
}
