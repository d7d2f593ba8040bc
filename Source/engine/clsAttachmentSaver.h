#pragma once

#include <QString>
#include <QtGlobal>

// Declared only, so that this header does not bring GMime in.
struct _GMimePart;

// Writes a message's attachments into a folder, never over an existing file, and keeps the path it wrote
// last.
class clsAttachmentSaver {
public:
    // As MailMessage::SaveAttachment, for the part of attachment k named sFileName.
    bool save(_GMimePart* part, const QString& sFileName, qint32 k, const QString& sFolder);
    // The path written by the last successful save.
    QString lastSavedPath() const { return sLastSaved; }

private:
    QString sLastSaved;
};
