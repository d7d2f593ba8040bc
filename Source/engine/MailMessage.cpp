#include "engine/MailMessage.h"

#include "engine/clsAttachmentSaver.h"
#include "engine/mdlCharset.h"
#include "engine/mdlGMime.h"
#include "engine/mdlMailContent.h"
#include "engine/mdlMailMending.h"
#include "engine/mdlMailText.h"

#include <QFile>
#include <QList>
#include <QStringList>
#include <algorithm>
#include <fcntl.h>
#include <gmime/gmime.h>
#include <vector>

using mdlMailContent::GPtr;
using mdlMailContent::GString8;
using mdlMailContent::readContent;
using mdlMailMending::mended;
using mdlMailMending::survey;
using mdlMailMending::Survey;
using mdlMailText::htmlToText;
using mdlMailText::partFileName;
using mdlMailText::partText;
using mdlMailText::preparedHeader;
using mdlMailText::unfolded;
using mdlMailText::utf8Text;

namespace {

struct Address {
    QString sName;
    QString sAddress;
};

bool hasMediaType(GMimeObject* object, const char* sType, const char* sSubtype = "*") {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    return type && g_mime_content_type_is_type(type, sType, sSubtype);
}

// A Content-Type without a "type/subtype" is read as plain text, as RFC 2045 recommends; GMime makes it
// application/octet-stream.
bool hasInvalidType(GMimeObject* object) {
    const char* sRaw = g_mime_object_get_header(object, "Content-Type");
    return sRaw && !QByteArray(sRaw).split(';').front().contains('/');
}

bool isAttachmentDisposition(GMimeObject* object) {
    const char* s = g_mime_object_get_disposition(object);
    return s && g_ascii_strcasecmp(s, GMIME_DISPOSITION_ATTACHMENT) == 0;
}

bool carriesFileName(GMimeObject* part) {
    return g_mime_object_get_content_disposition_parameter(part, "filename") ||
           g_mime_object_get_content_type_parameter(part, "name");
}
} // namespace

struct MailMessage::Impl {
    GMimeParserOptions* options = nullptr;
    GPtr<GMimeStream> stream;
    GPtr<GMimeParser> parser;
    GPtr<GMimeMessage> message;
    std::vector<GPtr<GObject>> kept; // streams and messages of encoded message/rfc822 parts
    bool bLoaded = false;
    bool bHeaderOnly = false;
    bool bPartsCut = false;

    QString sFromName, sFromAddress, sReplyTo, sSubject, sBody;
    QList<Address> to, cc, bcc;
    QStringList headerLines;

    struct Attachment {
        GMimePart* part = nullptr;
        QString sName;
        qint64 iSize = -1; // worked out when first asked for
    };
    QList<Attachment> attachments;
    clsAttachmentSaver saver;

    ~Impl() {
        kept.clear();
        message.reset();
        parser.reset();
        stream.reset();
        if (options)
            g_mime_parser_options_free(options);
    }

    const char* rawHeader(const char* sName) const {
        GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(message.get()));
        GMimeHeader* header = g_mime_header_list_get_header(headers, sName);
        return header ? g_mime_header_get_raw_value(header) : nullptr;
    }

    QList<Address> addresses(const char* sName) const {
        QList<Address> out;
        const char* sRaw = rawHeader(sName);
        if (!sRaw)
            return out;
        GPtr<InternetAddressList> list(
            internet_address_list_parse(options, preparedHeader(unfolded(sRaw)).constData()));
        if (list)
            flatten(list.get(), out, 0);
        return out;
    }

    static void flatten(InternetAddressList* list, QList<Address>& out, int iDepth) {
        const int n = internet_address_list_length(list);
        for (int i = 0; i < n; ++i) {
            InternetAddress* address = internet_address_list_get_address(list, i);
            if (INTERNET_ADDRESS_IS_GROUP(address)) {
                if (iDepth < 8)
                    flatten(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out,
                            iDepth + 1);
            } else if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
                out.append({utf8Text(internet_address_get_name(address)).trimmed(),
                            utf8Text(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address)))});
            }
        }
    }

    // The first mailbox of a sender field. When no address can be read from it (a lone encoded word is taken
    // for an address by GMime), the field's raw text, which still names its charset, and its decoded text
    // as the name.
    void sender(const char* sName, QString& sAddress, QString* psDisplayName) const {
        const char* sRaw = rawHeader(sName);
        if (!sRaw)
            return;
        const QList<Address> list = addresses(sName);
        for (const Address& a : list) {
            if (!a.sAddress.isEmpty() && !a.sAddress.contains(QStringLiteral("=?")) &&
                !a.sAddress.contains(u' ')) {
                sAddress = a.sAddress;
                if (psDisplayName)
                    *psDisplayName = a.sName;
                return;
            }
        }
        sAddress = decodeCharset(unfolded(sRaw), QByteArray()).trimmed();
        if (psDisplayName) {
            GString8 s(g_mime_utils_header_decode_text(options, preparedHeader(unfolded(sRaw)).constData()));
            *psDisplayName = utf8Text(s.get()).trimmed();
        }
    }

    void readHeaderLines() {
        struct Line {
            gint64 iOffset;
            GMimeHeader* header;
        };
        std::vector<Line> lines;
        auto collect = [&](GMimeObject* object) {
            GMimeHeaderList* headers = g_mime_object_get_header_list(object);
            const int n = headers ? g_mime_header_list_get_count(headers) : 0;
            for (int i = 0; i < n; ++i) {
                GMimeHeader* header = g_mime_header_list_get_header_at(headers, i);
                lines.push_back({g_mime_header_get_offset(header), header});
            }
        };
        // GMime keeps the Content-* fields of the top level with the body part; the offsets restore the
        // order of the file.
        collect(GMIME_OBJECT(message.get()));
        if (GMimeObject* body = g_mime_message_get_mime_part(message.get()))
            collect(body);
        std::stable_sort(lines.begin(), lines.end(),
                         [](const Line& a, const Line& b) { return a.iOffset < b.iOffset; });
        for (const Line& line : lines) {
            if (line.iOffset < 0)
                continue; // made up by GMime, not in the file
            QString sName = decodeCharset(QByteArray(g_mime_header_get_raw_name(line.header)), QByteArray());
            if (headerLines.isEmpty() && sName.startsWith(QChar(0xFEFF)))
                sName.remove(0, 1);
            const QString sValue =
                decodeCharset(unfolded(g_mime_header_get_raw_value(line.header)), QByteArray());
            headerLines.append(sName + QStringLiteral(": ") + sValue);
        }
    }

    // A leaf of the MIME tree: a part, or a multipart that lost its boundary and so holds its text as its
    // prologue.
    struct Leaf {
        GMimePart* part = nullptr;
        GMimeMultipart* bare = nullptr;
    };

    // Leaves in depth-first order, descending into forwarded messages.
    void collectLeaves(GMimeObject* object, QList<Leaf>& leaves, int iDepth) {
        if (object && iDepth > 64)
            bPartsCut = true;
        if (!object || iDepth > 64)
            return;
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart* multipart = GMIME_MULTIPART(object);
            const int n = g_mime_multipart_get_count(multipart);
            if (n == 0 && !g_mime_object_get_content_type_parameter(object, "boundary"))
                leaves.append({nullptr, multipart});
            for (int i = 0; i < n; ++i)
                collectLeaves(g_mime_multipart_get_part(multipart, i), leaves, iDepth + 1);
        } else if (GMIME_IS_MESSAGE_PART(object)) {
            GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
            if (inner)
                collectLeaves(g_mime_message_get_mime_part(inner), leaves, iDepth + 1);
        } else if (GMIME_IS_PART(object)) {
            GMimePart* part = GMIME_PART(object);
            // A forwarded message sent in base64 or quoted-printable is a plain part to GMime; decode and
            // read it like any other forwarded message.
            if (hasMediaType(object, "message", "rfc822") || hasMediaType(object, "message", "global")) {
                if (GMimeMessage* inner = parseEmbedded(part)) {
                    collectLeaves(g_mime_message_get_mime_part(inner), leaves, iDepth + 1);
                    return;
                }
            }
            leaves.append({part, nullptr});
        }
    }

    GMimeMessage* parseEmbedded(GMimePart* part) {
        GPtr<GMimeStream> memory(g_mime_stream_mem_new());
        const bool bRead = readContent(part, [&](const char* p, qsizetype n) {
            return g_mime_stream_write(memory.get(), p, static_cast<size_t>(n)) == n;
        });
        if (!bRead)
            return nullptr;
        g_mime_stream_reset(memory.get());
        GPtr<GMimeParser> innerParser(g_mime_parser_new_with_stream(memory.get()));
        GMimeMessage* inner = g_mime_parser_construct_message(innerParser.get(), options);
        if (!inner)
            return nullptr;
        kept.emplace_back(G_OBJECT(memory.release()));
        kept.emplace_back(G_OBJECT(innerParser.release()));
        kept.emplace_back(G_OBJECT(inner));
        return inner;
    }

    void readParts() {
        QList<Leaf> leaves;
        collectLeaves(g_mime_message_get_mime_part(message.get()), leaves, 0);
        const Leaf* plain = nullptr;
        GMimePart* html = nullptr;
        for (const Leaf& leaf : leaves) {
            if (leaf.bare) {
                const char* sText = g_mime_multipart_get_prologue(leaf.bare);
                if (!plain && sText && !QByteArray(sText).trimmed().isEmpty())
                    plain = &leaf;
                continue;
            }
            GMimeObject* object = GMIME_OBJECT(leaf.part);
            const bool bAttached = isAttachmentDisposition(object);
            const bool bPlain = hasMediaType(object, "text", "plain") || hasInvalidType(object);
            if (!plain && !bAttached && bPlain) {
                plain = &leaf;
                continue;
            }
            if (!html && !bAttached && hasMediaType(object, "text", "html"))
                html = leaf.part;
            if (bAttached || carriesFileName(object) ||
                !(bPlain || hasMediaType(object, "text") || hasMediaType(object, "message")))
                attachments.append({leaf.part, partFileName(options, object), -1});
        }
        if (plain && plain->part) {
            sBody = toCrLf(partText(plain->part));
        } else if (plain) {
            const char* sCharset =
                g_mime_object_get_content_type_parameter(GMIME_OBJECT(plain->bare), "charset");
            sBody = toCrLf(decodeCharset(QByteArray(g_mime_multipart_get_prologue(plain->bare)),
                                         sCharset ? QByteArray(sCharset) : QByteArray()));
        } else if (html) {
            sBody = toCrLf(htmlToText(partText(html)));
        }
    }
};

MailMessage::MailMessage() : d(std::make_unique<Impl>()) {
    ensureGMime();
}

MailMessage::~MailMessage() = default;

void MailMessage::clear() {
    d = std::make_unique<Impl>();
}

bool MailMessage::loadData(const QByteArray& data) {
    clear();
    // The stream keeps its own copy, so the caller's may go.
    return parse(g_mime_stream_mem_new_with_buffer(data.constData(), size_t(data.size())), false);
}

bool MailMessage::load(const QString& sPath, bool bHeaderOnly) {
    clear();
    GPtr<GMimeStream> stream;
    if (bHeaderOnly) {
        // The header is all that is read: a check tells the mail it already holds by its header alone, and
        // parsing the text and attachments of each such mail again was most of the work of a check.
        QFile file(sPath);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        QByteArray header;
        char line[4096];
        bool bLineStart = true;
        for (;;) {
            const qint64 n = file.readLine(line, sizeof line);
            if (n <= 0)
                break;
            header.append(line, qsizetype(n));
            const bool bBlank =
                bLineStart && (line[0] == '\n' || (n == 2 && line[0] == '\r' && line[1] == '\n'));
            if (bBlank)
                break;
            bLineStart = line[n - 1] == '\n';
        }
        stream.reset(g_mime_stream_mem_new_with_buffer(header.constData(), size_t(header.size())));
    } else {
        const QByteArray sNative = QFile::encodeName(sPath);
        GError* error = nullptr;
        stream.reset(g_mime_stream_fs_open(sNative.constData(), O_RDONLY, 0, &error));
        if (error)
            g_error_free(error);
    }
    return parse(stream.release(), bHeaderOnly);
}

bool MailMessage::parse(GMimeStream* source, bool bHeaderOnly) {
    GPtr<GMimeStream> stream(source);
    if (!stream)
        return false;
    // The text found before a cut is kept; the caller can say that more was left unread.
    const Survey found = survey(stream.get(), bHeaderOnly);
    d->bPartsCut = found.iCut >= 0;
    if (found.bHeaderNul || !found.breaks.isEmpty())
        stream.reset(mended(stream.get(), found));
    else if (d->bPartsCut)
        stream.reset(g_mime_stream_substream(stream.get(), 0, found.iCut));
    d->options = g_mime_parser_options_new();
    // Raw 8-bit text that reaches GMime untouched (rare after preparedHeader) is tried in this order.
    const char* fallback[] = {"UTF-8", "CP932", "ISO-8859-1", nullptr};
    g_mime_parser_options_set_fallback_charsets(d->options, fallback);
    g_mime_parser_options_set_address_compliance_mode(d->options, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_parameter_compliance_mode(d->options, GMIME_RFC_COMPLIANCE_LOOSE);
    g_mime_parser_options_set_rfc2047_compliance_mode(d->options, GMIME_RFC_COMPLIANCE_LOOSE);

    // The parser keeps the file as the source of every part's content, so large attachments stay on disk.
    d->parser.reset(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_persist_stream(d->parser.get(), TRUE);
    g_mime_parser_set_format(d->parser.get(), GMIME_FORMAT_MESSAGE);
    d->message.reset(g_mime_parser_construct_message(d->parser.get(), d->options));
    d->stream = std::move(stream);
    if (!d->message) {
        clear();
        return false;
    }
    d->bLoaded = true;
    d->bHeaderOnly = bHeaderOnly;

    d->sender("From", d->sFromAddress, &d->sFromName);
    d->sender("Reply-To", d->sReplyTo, nullptr);
    if (const char* sRaw = d->rawHeader("Subject")) {
        GString8 s(g_mime_utils_header_decode_text(d->options, preparedHeader(unfolded(sRaw)).constData()));
        d->sSubject = utf8Text(s.get());
    }
    d->to = d->addresses("To");
    d->cc = d->addresses("Cc");
    d->bcc = d->addresses("Bcc");
    d->readHeaderLines();
    if (!bHeaderOnly)
        d->readParts();
    return true;
}

bool MailMessage::partsCut() const {
    return d->bPartsCut;
}

bool MailMessage::isLoaded() const {
    return d->bLoaded;
}

bool MailMessage::isHeaderOnly() const {
    return d->bHeaderOnly;
}

QString MailMessage::FromName() const {
    return d->sFromName;
}

QString MailMessage::FromAddress() const {
    return d->sFromAddress;
}

QString MailMessage::ReplyTo() const {
    return d->sReplyTo;
}

QString MailMessage::Subject() const {
    return d->sSubject;
}

QString MailMessage::Body() const {
    return d->sBody;
}

namespace {
const Address* entry(const QList<Address>& list, qint32 k) {
    return k >= 1 && k <= list.size() ? &list[k - 1] : nullptr;
}
} // namespace

qint32 MailMessage::ToCount() const {
    return static_cast<qint32>(d->to.size());
}

QString MailMessage::ToName(qint32 k) const {
    const Address* a = entry(d->to, k);
    return a ? a->sName : QString();
}

QString MailMessage::ToAddress(qint32 k) const {
    const Address* a = entry(d->to, k);
    return a ? a->sAddress : QString();
}

qint32 MailMessage::CcCount() const {
    return static_cast<qint32>(d->cc.size());
}

QString MailMessage::CcName(qint32 k) const {
    const Address* a = entry(d->cc, k);
    return a ? a->sName : QString();
}

QString MailMessage::CcAddress(qint32 k) const {
    const Address* a = entry(d->cc, k);
    return a ? a->sAddress : QString();
}

qint32 MailMessage::BccCount() const {
    return static_cast<qint32>(d->bcc.size());
}

QString MailMessage::BccName(qint32 k) const {
    const Address* a = entry(d->bcc, k);
    return a ? a->sName : QString();
}

QString MailMessage::BccAddress(qint32 k) const {
    const Address* a = entry(d->bcc, k);
    return a ? a->sAddress : QString();
}

qint32 MailMessage::HeaderCount() const {
    return static_cast<qint32>(d->headerLines.size());
}

QString MailMessage::HeaderLine(qint32 k) const {
    return k >= 1 && k <= d->headerLines.size() ? d->headerLines[k - 1] : QString();
}

qint32 MailMessage::AttachmentCount() const {
    return static_cast<qint32>(d->attachments.size());
}

QString MailMessage::AttachmentName(qint32 k) const {
    return k >= 1 && k <= d->attachments.size() ? d->attachments[k - 1].sName : QString();
}

qint64 MailMessage::AttachmentSize(qint32 k) const {
    if (k < 1 || k > d->attachments.size())
        return 0;
    Impl::Attachment& attachment = d->attachments[k - 1];
    if (attachment.iSize < 0) {
        qint64 iSize = 0;
        const bool bOk = readContent(attachment.part, [&](const char*, qsizetype n) {
            iSize += n;
            return true;
        });
        attachment.iSize = bOk ? iSize : 0;
    }
    return attachment.iSize;
}

bool MailMessage::SaveAttachment(qint32 k, const QString& sFolder) const {
    if (k < 1 || k > d->attachments.size() || d->bHeaderOnly)
        return false;
    return d->saver.save(d->attachments[k - 1].part, d->attachments[k - 1].sName, k, sFolder);
}

QString MailMessage::lastSavedPath() const {
    return d->saver.lastSavedPath();
}
