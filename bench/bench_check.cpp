// How long one simple-mode check takes to forward 20 new mails when 80 are already held, and how much it
// reads from the POP3 server when nothing is new. Prints the numbers; judges nothing.

#include "MailServers.h"

#include "base/mdlLog.h"
#include "engine/Pop3Client.h"
#include "engine/SmtpClient.h"
#include "engine/clsMailTransfer.h"
#include "engine/clsSimpleCycle.h"
#include "settings/clsSystem.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>

namespace {
const QString sUser = QStringLiteral("alice");
const QString sPassword = QStringLiteral("secret");
constexpr int iHeld = 80;
constexpr int iNew = 20;
constexpr int iWithAttachment = 5;
constexpr int iAttachmentBytes = 1024 * 1024;

QByteArray headers(int n, const QByteArray& extra = QByteArray()) {
    return "From: Sender " + QByteArray::number(n) + " <sender" + QByteArray::number(n) +
           "@example.com>\r\nTo: alice@example.jp\r\nSubject: bench mail " + QByteArray::number(n) +
           "\r\nMessage-ID: <bench" + QByteArray::number(n) + "@example.com>\r\nMIME-Version: 1.0\r\n" +
           extra;
}

QByteArray text(int n) {
    QByteArray body;
    for (int i = 0; i < 12; ++i)
        body += "Line " + QByteArray::number(i) + " of mail " + QByteArray::number(n) +
                ": a few words of ordinary text to forward.\r\n";
    return body;
}

QByteArray plainMail(int n) {
    return headers(n, "Content-Type: text/plain; charset=us-ascii\r\n") + "\r\n" + text(n);
}

QByteArray mailWithAttachment(int n) {
    QByteArray data(iAttachmentBytes, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 131 + n * 7) & 0xff);
    const QByteArray encoded = data.toBase64();
    QByteArray lines;
    for (qsizetype i = 0; i < encoded.size(); i += 76)
        lines += encoded.mid(i, 76) + "\r\n";
    return headers(n, "Content-Type: multipart/mixed; boundary=\"b1\"\r\n") +
           "\r\n--b1\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + text(n) +
           "--b1\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; "
           "filename=\"data.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
           lines + "--b1--\r\n";
}

const char* outcomeName(CheckOutcome outcome) {
    return outcome == CheckOutcome::CarryOn ? "carry on" : "unexpected";
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("PELIMO_TEST_SERVERS"))
        qputenv("PELIMO_TEST_SERVERS", PELIMO_SERVERS_DIR);

    QTemporaryDir logDir;
    setProgramFolder(logDir.path());
    clsSystem::instance().RunLog = false;

    DovecotServer dovecot;
    SmtpTestServer smtpServer;
    SmtpTestServer::Options smtpOptions;
    smtpOptions.sUser = sUser;
    smtpOptions.sPassword = sPassword;
    if (!dovecot.start() || !smtpServer.start(smtpOptions)) {
        std::fprintf(stderr, "the mail servers did not start\n");
        return 1;
    }

    pointSimpleSetAt(dovecot, smtpServer, sUser, sPassword, QStringLiteral("phone@example.jp"), 1, 0);

    Pop3Client pop;
    SmtpClient smtp;
    clsSimpleCycle cycle(pop, smtp);
    cycle.start();

    int n = 0;
    for (int i = 0; i < iHeld; ++i)
        dovecot.addMessage(sUser, plainMail(++n));
    QElapsedTimer timer;
    timer.start();
    const CheckOutcome first = cycle.tick();
    const qint64 iFirstMs = timer.elapsed();
    const qsizetype iAfterFirst = smtpServer.messages().size();

    for (int i = 0; i < iNew; ++i)
        dovecot.addMessage(sUser, i < iWithAttachment ? mailWithAttachment(++n) : plainMail(++n));
    const qint64 iBytesBefore = pop.bytesReceived();
    timer.restart();
    const CheckOutcome second = cycle.tick();
    const qint64 iSecondNs = timer.nsecsElapsed();
    const qint64 iSecondBytes = pop.bytesReceived() - iBytesBefore;
    const qsizetype iAfterSecond = smtpServer.messages().size();

    const qint64 iIdleBefore = pop.bytesReceived();
    timer.restart();
    const CheckOutcome third = cycle.tick();
    const qint64 iThirdNs = timer.nsecsElapsed();
    const qint64 iIdleBytes = pop.bytesReceived() - iIdleBefore;
    const qsizetype iAfterThird = smtpServer.messages().size();

    std::printf("mailbox: %d messages (%d held before, %d new, %d of them with a %d-byte attachment)\n", n,
                iHeld, iNew, iWithAttachment, iAttachmentBytes);
    std::printf("first check (80 new):    %s, %lld forwarded, %lld ms\n", outcomeName(first),
                static_cast<long long>(iAfterFirst), static_cast<long long>(iFirstMs));
    std::printf("check forwarding the 20: %s, %lld forwarded, %.1f ms, %lld bytes read from POP3\n",
                outcomeName(second), static_cast<long long>(iAfterSecond - iAfterFirst),
                double(iSecondNs) / 1e6, static_cast<long long>(iSecondBytes));
    std::printf("check with nothing new:  %s, %lld forwarded, %.1f ms, %lld bytes read from POP3\n",
                outcomeName(third), static_cast<long long>(iAfterThird - iAfterSecond),
                double(iThirdNs) / 1e6, static_cast<long long>(iIdleBytes));

    clsMailTransfer::instance().clearClass();
    return 0;
}
