#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <memory>

// One received message, read from the file the POP3 dialogue wrote: either the whole message (RETR) or its
// header alone (TOP n 0). Every text is decoded Unicode; indexes are 1-based. The file stays open while the
// message is loaded, so attachment contents are read from disk when asked for and never held in memory.
class MailMessage {
public:
    MailMessage();
    ~MailMessage();
    MailMessage(const MailMessage&) = delete;
    MailMessage& operator=(const MailMessage&) = delete;

    // False when the file cannot be read as a message; the object is then empty. bHeaderOnly says that the
    // file holds the header alone: there is no body and there are no attachments.
    bool load(const QString& sPath, bool bHeaderOnly = false);
    // The same for a whole message held in memory; attachments are then read from memory too.
    bool loadData(const QByteArray& data);
    // Forgets the message and closes its file.
    void clear();
    bool isLoaded() const;
    bool isHeaderOnly() const;
    // The message had more MIME parts than are read: only those before the cut were.
    bool partsCut() const;

    QString FromName() const;
    // The sender's address; when the From field holds no readable address, its raw text (unfolded), so that
    // a sender left undecoded still shows its charset label.
    QString FromAddress() const;
    QString ReplyTo() const;
    QString Subject() const;
    // The first plain-text part (else the text of the first HTML part), with CR LF line ends.
    QString Body() const;

    qint32 ToCount() const;
    QString ToName(qint32 k) const;
    QString ToAddress(qint32 k) const;
    qint32 CcCount() const;
    QString CcName(qint32 k) const;
    QString CcAddress(qint32 k) const;
    qint32 BccCount() const;
    QString BccName(qint32 k) const;
    QString BccAddress(qint32 k) const;

    // The message's own top-level header lines in file order, unfolded, as "Name: value". They are the same
    // whether the file holds the whole message or only its header.
    qint32 HeaderCount() const;
    QString HeaderLine(qint32 k) const;

    qint32 AttachmentCount() const;
    // "" when the attachment carries no file name.
    QString AttachmentName(qint32 k) const;
    // Decoded size in bytes; 0 for an empty attachment or a bad index.
    qint64 AttachmentSize(qint32 k) const;
    // Writes the decoded attachment into sFolder under its own name reduced to a plain file name; an existing
    // file is never overwritten ("name (2).ext" is taken instead). False when the folder is missing or not
    // writable, the index is bad, the message is header-only or writing fails.
    bool SaveAttachment(qint32 k, const QString& sFolder) const;
    // The path written by the last successful SaveAttachment.
    QString lastSavedPath() const;

private:
    // Takes the stream over.
    bool parse(struct _GMimeStream* stream, bool bHeaderOnly);
    struct Impl;
    std::unique_ptr<Impl> d;
};
