#include "engine/clsMailTransfer.h"

#include "base/mdlLog.h"
#include "engine/Pop3Client.h"
#include "engine/clsForwardLedger.h"
#include "settings/clsSet1.h"
#include "settings/clsSystem.h"

#include <QCryptographicHash>
#include <QTime>
#include <stdexcept>

namespace {
template <typename List> const auto& entryAt(const List& list, qint16 iNextIndex) {
    if (iNextIndex < 0 || iNextIndex >= qint16(list.size()))
        throw std::out_of_range("index out of range");
    return list[size_t(iNextIndex)];
}

// A part of a forward: one text to one destination.
QString partKey(const QString& sDestination, const QString& sText) {
    return QString::fromLatin1(
        QCryptographicHash::hash((sDestination + u'\n' + sText).toUtf8(), QCryptographicHash::Sha256)
            .toHex()
            .left(32));
}

bool containsUndecoded(const QString& s) {
    return s.contains(QLatin1String("ISO-2022-JP"), Qt::CaseInsensitive);
}
} // namespace

clsMailTransfer& clsMailTransfer::instance() {
    static clsMailTransfer store;
    return store;
}

const clsMailTransfer::Slot& clsMailTransfer::slotAt(qint32 lIndex) const {
    if (lIndex < 0 || lIndex > iSlots)
        throw std::out_of_range("slot out of range");
    return slots[size_t(lIndex)];
}

clsMailTransfer::Slot& clsMailTransfer::slotAt(qint32 lIndex) {
    if (lIndex < 0 || lIndex > iSlots)
        throw std::out_of_range("slot out of range");
    return slots[size_t(lIndex)];
}

void clsMailTransfer::clearClass() {
    for (Slot& slot : slots)
        slot = Slot();
    lTotal = 0;
    lLastRead = 0;
    lTransferred = 0;
    seen.clear();
    sObeyedBefore = commandsObeyedBefore();
    bComputerGoingDown = false;
}

QString clsMailTransfer::getNickName(qint32 lIndex) const {
    return slotAt(lIndex).sNickName;
}
QString clsMailTransfer::getFrom(qint32 lIndex) const {
    return slotAt(lIndex).sFrom;
}
QString clsMailTransfer::getReplyTo(qint32 lIndex) const {
    return slotAt(lIndex).sReplyTo;
}
QString clsMailTransfer::getSbuject(qint32 lIndex) const {
    return slotAt(lIndex).sSubject;
}
QString clsMailTransfer::getBody(qint32 lIndex) const {
    return slotAt(lIndex).sBody;
}
qint32 clsMailTransfer::getToCount(qint32 lIndex) const {
    return slotAt(lIndex).lToCount;
}
qint32 clsMailTransfer::getCcCount(qint32 lIndex) const {
    return slotAt(lIndex).lCcCount;
}
qint32 clsMailTransfer::getBcCount(qint32 lIndex) const {
    return slotAt(lIndex).lBcCount;
}
qint32 clsMailTransfer::getAFileCount(qint32 lIndex) const {
    return slotAt(lIndex).lAFileCount;
}
qint32 clsMailTransfer::getExMsgCount(qint32 lIndex) const {
    return slotAt(lIndex).lExMsgCount;
}
QString clsMailTransfer::getToNickName(qint32 lIndex, qint16 i) const {
    return entryAt(slotAt(lIndex).sToNickName, i);
}
QString clsMailTransfer::getToMailAddr(qint32 lIndex, qint16 i) const {
    return entryAt(slotAt(lIndex).sToMailAddr, i);
}
QString clsMailTransfer::getCcNickName(qint32 lIndex, qint16 i) const {
    return entryAt(slotAt(lIndex).sCcNickName, i);
}
QString clsMailTransfer::getCcMailAddr(qint32 lIndex, qint16 i) const {
    return entryAt(slotAt(lIndex).sCcMailAddr, i);
}
QString clsMailTransfer::getBcNickName(qint32 lIndex, qint16 i) const {
    return entryAt(slotAt(lIndex).sBcNickName, i);
}
QString clsMailTransfer::getBcMailAddr(qint32 lIndex, qint16 i) const {
    return entryAt(slotAt(lIndex).sBcMailAddr, i);
}
QString clsMailTransfer::getAFileName(qint32 lIndex, qint16 i) const {
    return entryAt(slotAt(lIndex).sAFileName, i);
}
QString clsMailTransfer::getExMsg(qint32 lIndex, qint16 i) const {
    return entryAt(slotAt(lIndex).sExMsg, i);
}
qint32 clsMailTransfer::getAFileSize(qint32 lIndex, qint16 i) const {
    return entryAt(slotAt(lIndex).lAFileSize, i);
}
bool clsMailTransfer::getRegister(qint32 lIndex) const {
    return slotAt(lIndex).bRegister;
}
bool clsMailTransfer::getTrans(qint32 lIndex) const {
    return slotAt(lIndex).bTrans;
}
bool clsMailTransfer::getStop(qint32 lIndex) const {
    return slotAt(lIndex).bStop;
}

qint32 clsMailTransfer::addUnconfirmedSend(qint32 lIndex, const QString& sDestination, const QString& sText) {
    Slot& slot = slotAt(lIndex);
    const QString sKey = partKey(sDestination, sText);
    const qint32 iCount = clsForwardLedger::countUnconfirmed(slot.sPartsSent, sKey) + 1;
    if (!slot.sAccount.isEmpty())
        clsForwardLedger::instance().recordUnconfirmed(slot.sAccount, slot.sUid, slot.sDigest, sKey);
    return iCount;
}

void clsMailTransfer::giveUp(qint32 lIndex, const QString& sReason) {
    Slot& slot = slotAt(lIndex);
    if (!slot.bGivenUp)
        recordFate(slot, clsForwardLedger::GivenUp);
    slot.bGivenUp = true;
    writeRunLog(QStringLiteral("転送をあきらめました: ") + slot.sSubject + QStringLiteral(" (") + sReason +
                QStringLiteral(")"));
}

bool clsMailTransfer::getGivenUp(qint32 lIndex) const {
    return slotAt(lIndex).bGivenUp;
}

bool clsMailTransfer::getObeyed(qint32 lIndex) const {
    return slotAt(lIndex).bObeyed;
}

void clsMailTransfer::recordFate(const Slot& slot, qint32 iFate) const {
    // Slots filled by hand in tests have no mailbox.
    if (!slot.sAccount.isEmpty())
        clsForwardLedger::instance().record(slot.sAccount, slot.sUid, slot.sDigest,
                                            clsForwardLedger::Fate(iFate));
}

void clsMailTransfer::setTrans(qint32 lIndex, bool bFlag) {
    Slot& slot = slotAt(lIndex);
    if (bFlag && !slot.bTrans && lIndex < iSlots)
        ++lTransferred;
    else if (!bFlag && slot.bTrans && lIndex < iSlots)
        --lTransferred;
    if (bFlag && !slot.bTrans) {
        recordFate(slot, clsForwardLedger::Forwarded);
        slot.sPartsSent.clear();
    }
    slot.bTrans = bFlag;
}

void clsMailTransfer::setStop(qint32 lIndex, bool bFlag) {
    Slot& slot = slotAt(lIndex);
    if (bFlag && !slot.bStop)
        recordFate(slot, clsForwardLedger::Held);
    slot.bStop = bFlag;
}

void clsMailTransfer::setObeyed(qint32 lIndex, bool bFlag) {
    Slot& slot = slotAt(lIndex);
    if (slot.bObeyed != bFlag)
        recordFate(slot, bFlag ? clsForwardLedger::Obeyed : clsForwardLedger::Pending);
    slot.bObeyed = bFlag;
}

bool clsMailTransfer::getPartSent(qint32 lIndex, const QString& sDestination, const QString& sText) const {
    const Slot& slot = slotAt(lIndex);
    return !slot.sPartsSent.isEmpty() && slot.sPartsSent.contains(partKey(sDestination, sText));
}

void clsMailTransfer::setPartSent(qint32 lIndex, const QString& sDestination, const QString& sText) {
    Slot& slot = slotAt(lIndex);
    const QString sKey = partKey(sDestination, sText);
    if (slot.sPartsSent.contains(sKey))
        return;
    slot.sPartsSent.append(sKey);
    if (!slot.sAccount.isEmpty())
        clsForwardLedger::instance().recordPart(slot.sAccount, slot.sUid, slot.sDigest, sKey);
}
void clsMailTransfer::setAFileCount(qint32 lIndex, qint32 lCount) {
    slotAt(lIndex).lAFileCount = lCount;
}

qint32 clsMailTransfer::mailRecive(Pop3Client& pop3Cntrol, const QString& sPop3SrvName,
                                   const QString& sUserID, const QString& sPassword,
                                   const QString& sTempDir) {
    pop3Cntrol.SessionMode = 1;
    // Every message not held yet is read to its end below; the test window shares the client, so its own
    // setting comes back afterwards.
    const bool bWholeAtOnce = pop3Cntrol.WholeAtOnce;
    pop3Cntrol.WholeAtOnce = true;
    lLastRead = 0;
    sPassedOver.clear();
    qint32 lResult = -1;
    bool bConnected = false;
    try {
        bConnected = pop3Cntrol.Connect(sPop3SrvName) != 0;
        if (bConnected) {
            if (pop3Cntrol.Login(sUserID, sPassword)) {
                if (pop3Cntrol.Stat() && pop3Cntrol.StatusCode() == 1)
                    lResult = readMailbox(pop3Cntrol, sPop3SrvName.trimmed() + u'\n' + sUserID, sTempDir);
                pop3Cntrol.Quit();
            }
        }
    } catch (const std::exception&) {
        lResult = -1;
    }
    if (lResult < 0 && pop3Cntrol.LastError() != 0) {
        report.lReceiveError = pop3Cntrol.LastError();
        writeRunLog(QStringLiteral("POP3: ") + sPop3SrvName + QStringLiteral(" ") +
                    pop3Cntrol.LastErrorText());
    } else if (!sPassedOver.isEmpty()) {
        writeRunLog(QStringLiteral("POP3: ") + sPop3SrvName + QStringLiteral(" ") + sPassedOver);
    }
    if (bConnected)
        pop3Cntrol.Disconnect();
    pop3Cntrol.WholeAtOnce = bWholeAtOnce;
    return lResult;
}

void clsMailTransfer::storeForTest(qint32 lIndex, const QString& sFrom, const QString& sSubject,
                                   const QByteArray& sIdentity) {
    Slot& slot = slotAt(lIndex);
    slot = Slot();
    slot.sAccount = QStringLiteral("test");
    slot.sDigest = QString::fromLatin1(sIdentity.toHex());
    if (clsForwardLedger::isSettled(
            clsForwardLedger::instance().find(slot.sAccount, QString(), slot.sDigest)))
        return;
    slot.sFrom = sFrom;
    slot.sSubject = sSubject;
    if (lIndex >= lTotal)
        lTotal = lIndex + 1;
}

bool clsMailTransfer::isDue(qint32 lIndex) const {
    const Slot& slot = slotAt(lIndex);
    return slot.bRegister && !slot.isDone();
}

bool clsMailTransfer::hasMailToForward() const {
    for (qint32 j = 0; j < lTotal && j < iSlots; ++j) {
        if (isDue(j))
            return true;
    }
    return false;
}

qint32 clsMailTransfer::freeSlot() const {
    if (lTotal < iSlots)
        return lTotal;
    // A full store takes new mail into slots whose mail is done with; the forwarding record and the seen set
    // keep what they held from being taken again.
    for (qint32 j = 0; j < iSlots; ++j) {
        if (slots[size_t(j)].isDone())
            return j;
    }
    return -1;
}

QString clsMailTransfer::readDigest(Pop3Client& pop3Cntrol, qint32 m) {
    if (!pop3Cntrol.Retrieve(m))
        return QString();
    pop3Cntrol.ParseMessage();
    const qint32 iHeaders = pop3Cntrol.HeaderCount();
    QCryptographicHash digest(QCryptographicHash::Sha256);
    for (qint32 h = 1; h <= iHeaders; ++h) {
        digest.addData(pop3Cntrol.HeaderLine(h).toUtf8());
        digest.addData("\n");
    }
    // A message without any header line can only be told apart by its text.
    if (iHeaders == 0)
        digest.addData(pop3Cntrol.Body().toUtf8());
    return QString::fromLatin1(digest.result().toHex());
}

qint32 clsMailTransfer::takeAsSeen(Pop3Client& pop3Cntrol, const QString& sAccount) {
    const qint32 iCount = pop3Cntrol.MessageCount(1);
    QList<QPair<QString, QString>> mails;
    for (qint32 m = 1; m <= iCount; ++m) {
        const QString sUid = pop3Cntrol.UniqueId(m);
        const QString sDigest = sUid.isEmpty() ? readDigest(pop3Cntrol, m) : QString();
        pop3Cntrol.EndMessage();
        // A message that cannot be named now is not taken as seen; without a complete listing, nothing is.
        if (sUid.isEmpty() && sDigest.isEmpty())
            return -1;
        mails.append({sUid, sDigest});
    }
    clsForwardLedger::instance().recordBaseline(sAccount, mails);
    writeRunLog(
        QStringLiteral("転送記録を作り直したため、サーバーにある%1件のメールを転送済みとして扱いました")
            .arg(iCount));
    return 0;
}

qint32 clsMailTransfer::readMailbox(Pop3Client& pop3Cntrol, const QString& sAccount,
                                    const QString& sTempDir) {
    clsForwardLedger& ledger = clsForwardLedger::instance();
    if (ledger.needsBaseline(sAccount))
        return takeAsSeen(pop3Cntrol, sAccount);
    const qint32 iCount = pop3Cntrol.MessageCount(1);
    const QString sSeenUid = sAccount + QStringLiteral("\nu:");
    const QString sSeenDigest = sAccount + QStringLiteral("\nh:");
    // What is on the server now, so that the record can forget what is gone once every message was named.
    QSet<QString> sUidsThere;
    QSet<QString> sDigestsThere;
    bool bComplete = true;
    // Mail already dealt with is told by its id alone, without a command to the server; every message is
    // looked at, so mail beyond the first hundred is still forwarded once the earlier ones are done with.
    for (qint32 m = 1; m <= iCount; ++m) {
        const QString sUid = pop3Cntrol.UniqueId(m);
        if (!sUid.isEmpty()) {
            sUidsThere.insert(sUid);
            if (seen.contains(sSeenUid + sUid) ||
                clsForwardLedger::isSettled(ledger.find(sAccount, sUid, QString()))) {
                ++lLastRead;
                continue;
            }
        }
        const qint32 lSlot = freeSlot();
        if (lSlot < 0) {
            bComplete = false;
            break;
        }
        ++lLastRead;
        const QString sDigest = readDigest(pop3Cntrol, m);
        if (sDigest.isEmpty() && pop3Cntrol.LastError() == Pop3Client::TooLarge) {
            giveUpTooLarge(pop3Cntrol, sAccount, sUid, QString());
            bComplete = false;
            break;
        }
        if (sDigest.isEmpty()) {
            // A message the server refused or that cannot be kept is passed over; after a connection that
            // broke off mid-message, the next command would read the rest of it as its reply.
            bComplete = false;
            const qint32 lError = pop3Cntrol.LastError();
            if (sPassedOver.isEmpty())
                sPassedOver = pop3Cntrol.LastErrorText();
            if (lError == Pop3Client::ServerError || lError == Pop3Client::FileError ||
                lError == Pop3Client::NoSuchMessage)
                continue;
            break;
        }
        sDigestsThere.insert(sDigest);
        if (seen.contains(sSeenDigest + sDigest)) {
            pop3Cntrol.EndMessage();
            continue;
        }
        const clsForwardLedger::Entry* entry = ledger.find(sAccount, sUid, sDigest);
        if (clsForwardLedger::isSettled(entry) || sObeyedBefore.contains(sDigest)) {
            // Known by its header under another id, or obeyed by an earlier version: the record learns its
            // id.
            ledger.record(sAccount, sUid, sDigest, entry ? entry->fate : clsForwardLedger::Obeyed);
            pop3Cntrol.EndMessage();
            continue;
        }

        Slot slot;
        slot.sAccount = sAccount;
        slot.sUid = sUid;
        slot.sDigest = sDigest;
        if (entry)
            slot.sPartsSent = entry->sParts;
        if (!fillSlot(pop3Cntrol, slot, sTempDir)) {
            // A message that did not arrive whole is not taken; it is read again at the next visit, unless it
            // can never arrive whole.
            bComplete = false;
            if (pop3Cntrol.LastError() == Pop3Client::TooLarge) {
                giveUpTooLarge(pop3Cntrol, sAccount, sUid, sDigest);
                pop3Cntrol.EndMessage();
                break;
            }
            if (sPassedOver.isEmpty())
                sPassedOver = pop3Cntrol.LastErrorText();
            pop3Cntrol.EndMessage();
            if (pop3Cntrol.LastError() == Pop3Client::FileError)
                continue;
            break;
        }
        slots[size_t(lSlot)] = slot;
        if (!sUid.isEmpty())
            seen.insert(sSeenUid + sUid);
        seen.insert(sSeenDigest + sDigest);
        if (lSlot == lTotal)
            ++lTotal;
        if (clsSystem::instance().RunLog)
            writeReceiveLog(pop3Cntrol, slots[size_t(lSlot)]);
        pop3Cntrol.EndMessage();
    }
    if (bComplete)
        ledger.keepOnly(sAccount, pop3Cntrol.HasUniqueIds(), sUidsThere, sDigestsThere);
    return lLastRead;
}

void clsMailTransfer::noteSend(bool bSent, qint32 lError) {
    if (bSent) {
        ++report.iSendsOk;
        return;
    }
    ++report.iSendsFailed;
    report.lSendError = lError;
}

void clsMailTransfer::giveUpTooLarge(Pop3Client& pop3Cntrol, const QString& sAccount, const QString& sUid,
                                     const QString& sDigest) {
    // Read again, it would end every later visit the same way, before the mail behind it.
    if (!sUid.isEmpty() || !sDigest.isEmpty())
        clsForwardLedger::instance().record(sAccount, sUid, sDigest, clsForwardLedger::GivenUp);
    writeRunLog(QStringLiteral("POP3: 受信できないメールを飛ばしました: ") + pop3Cntrol.LastErrorText());
}

bool clsMailTransfer::fillSlot(Pop3Client& pop3Cntrol, Slot& slot, const QString& sTempDir) {
    slot.sNickName = pop3Cntrol.FromName();
    slot.sFrom = pop3Cntrol.FromAddress();
    const QString sComment = headerComment(pop3Cntrol);
    slot.sReplyTo = pop3Cntrol.ReplyTo();
    slot.sSubject = pop3Cntrol.Subject();
    slot.sCommandRefusal = commandRefusal(pop3Cntrol, slot.sSubject);
    const QString sText = pop3Cntrol.Body();
    if (pop3Cntrol.LastError() != 0)
        return false;
    if (pop3Cntrol.PartsCut())
        writeRunLog(QStringLiteral("MIMEパートが多すぎるため、先頭の部分だけ読みました: ") + slot.sSubject);
    slot.sBody = sComment + sText;

    slot.lToCount = qMin(pop3Cntrol.ToCount(), qint32(20));
    for (qint32 k = 0; k < slot.lToCount; ++k) {
        slot.sToNickName[size_t(k)] = pop3Cntrol.ToName(k + 1);
        slot.sToMailAddr[size_t(k)] = pop3Cntrol.ToAddress(k + 1);
    }
    slot.lCcCount = qMin(pop3Cntrol.CcCount(), qint32(20));
    for (qint32 k = 0; k < slot.lCcCount; ++k) {
        slot.sCcNickName[size_t(k)] = pop3Cntrol.CcName(k + 1);
        slot.sCcMailAddr[size_t(k)] = pop3Cntrol.CcAddress(k + 1);
    }
    slot.lBcCount = qMin(pop3Cntrol.BccCount(), qint32(10));
    for (qint32 k = 0; k < slot.lBcCount; ++k) {
        slot.sBcNickName[size_t(k)] = pop3Cntrol.BccName(k + 1);
        slot.sBcMailAddr[size_t(k)] = pop3Cntrol.BccAddress(k + 1);
    }

    const qint32 iAttachments = qMin(pop3Cntrol.AttachmentCount(), qint32(30));
    qint32 lKept = 0;
    for (qint32 k = 1; k <= iAttachments; ++k) {
        const QString sName = pop3Cntrol.AttachmentName(k);
        const qint32 lSize = pop3Cntrol.AttachmentSize(k);
        if (sName.isEmpty() || lSize == 0)
            continue;
        slot.lAFileSize[size_t(lKept)] = lSize;
        slot.sAFileName[size_t(lKept)] = sName;
        if (sTempDir.isEmpty())
            continue;
        if (pop3Cntrol.SaveAttachment(k, sTempDir)) {
            // Later steps find the file by this name, which may differ from the mail's.
            slot.sAFileName[size_t(lKept)] = pop3Cntrol.SavedFileName();
            ++lKept;
        } else {
            // The mail goes on without it: attachments never reach the phone.
            writeRunLog(QStringLiteral("添付ファイルを保存できません: ") + sName + u' ' + sTempDir);
        }
    }
    slot.lAFileCount = lKept;

    const qint32 iHeaders = pop3Cntrol.HeaderCount();
    slot.lExMsgCount = qMin(iHeaders, qint32(20));
    for (qint32 k = 0; k < slot.lExMsgCount; ++k)
        slot.sExMsg[size_t(k)] = pop3Cntrol.HeaderLine(k + 1);
    slot.bRegister = true;
    slot.bTrans = false;
    slot.lLastError = pop3Cntrol.LastError();
    return true;
}

QString clsMailTransfer::headerComment(Pop3Client& pop3Cntrol) const {
    QString sComment;
    if (!containsUndecoded(pop3Cntrol.FromAddress())) {
        // Forwards that leave under a fixed sender say whose mail they carry.
        const QString sFixedSender = clsSet1::instance().SRV2().getValue(2, {0, 1}).toString().trimmed();
        if (!sFixedSender.isEmpty())
            sComment = pop3Cntrol.FromAddress() + QStringLiteral("より");
    } else {
        sComment = QStringLiteral("※送信者のアドレスがデコードできません※\r\n");
    }
    SetToCcBccComment(pop3Cntrol, sComment);
    return sComment + QStringLiteral("\r\n");
}

void clsMailTransfer::SetToCcBccComment(Pop3Client& pop3Cntrol, QString& sBody) const {
    clsSRV1& srv1 = clsSet1::instance().SRV1();
    const qint32 iRows = qBound(0, srv1.getValue(1).toInt(), int(clsSRV1::iRows));
    auto isOwnAddress = [&](const QString& sAddress) {
        for (qint32 r = 0; r < iRows; ++r) {
            if (sAddress == srv1.getValue(2, {r, 3}).toString())
                return true;
        }
        return false;
    };
    for (qint32 k = 1; k <= pop3Cntrol.ToCount(); ++k) {
        if (isOwnAddress(pop3Cntrol.ToAddress(k))) {
            sBody += QStringLiteral("Toメール");
            return;
        }
    }
    for (qint32 k = 1; k <= pop3Cntrol.CcCount(); ++k) {
        if (isOwnAddress(pop3Cntrol.CcAddress(k))) {
            sBody += QStringLiteral("Ccメール");
            return;
        }
    }
}

void clsMailTransfer::writeReceiveLog(Pop3Client& pop3Cntrol, const Slot& slot) const {
    QStringList lines;
    lines << QTime::currentTime().toString(QStringLiteral("'---- 'hh:mm:ss' 受信データ -----------------'"));
    lines << QStringLiteral("送信者アドレス    :") + pop3Cntrol.FromAddress();
    lines << QStringLiteral("送信者ニックネーム:") + pop3Cntrol.FromName();
    const struct {
        const char* sKind;
        qint32 (Pop3Client::*count)();
        QString (Pop3Client::*name)(qint32);
        QString (Pop3Client::*address)(qint32);
    } kinds[] = {{"To", &Pop3Client::ToCount, &Pop3Client::ToName, &Pop3Client::ToAddress},
                 {"Cc", &Pop3Client::CcCount, &Pop3Client::CcName, &Pop3Client::CcAddress},
                 {"Bcc", &Pop3Client::BccCount, &Pop3Client::BccName, &Pop3Client::BccAddress}};
    for (const auto& kind : kinds) {
        const QString sKind = QString::fromLatin1(kind.sKind);
        const qint32 iCount = (pop3Cntrol.*kind.count)();
        for (qint32 k = 1; k <= iCount; ++k) {
            lines << sKind + QStringLiteral(":ニックネーム") + QString::number(k) + QLatin1Char(':') +
                         (pop3Cntrol.*kind.name)(k);
            lines << sKind + QStringLiteral(":アドレス") + QString::number(k) + QLatin1Char(':') +
                         (pop3Cntrol.*kind.address)(k);
        }
    }
    if (slot.lAFileCount != 0) {
        for (qint32 k = 1; k <= slot.lAFileCount; ++k)
            lines << QStringLiteral("添付ファイル名") + QString::number(k) + QLatin1Char(':') +
                         slot.sAFileName[size_t(k - 1)];
    } else {
        lines << QStringLiteral("添付ファイルなし");
    }
    const qint32 iHeaders = pop3Cntrol.HeaderCount();
    lines << (iHeaders != 0 ? QStringLiteral("拡張ヘッダーあり:") + QString::number(iHeaders)
                            : QStringLiteral("拡張ヘッダーなし"));
    lines << QStringLiteral("件名:") + slot.sSubject;
    lines << QStringLiteral("本文:");
    // The log is for telling what came in, not a second mailbox.
    constexpr qsizetype iLogBodyChars = 4096;
    const QString sBody = pop3Cntrol.Body();
    lines << sBody.left(iLogBodyChars);
    if (sBody.size() > iLogBodyChars)
        lines << QStringLiteral("(本文の残り%1文字は省略しました)").arg(sBody.size() - iLogBodyChars);
    // The body is a line of its own even when empty or already ended.
    appendLogBlock(QStringLiteral("recvmail.log"),
                   lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
}
