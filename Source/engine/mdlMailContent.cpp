#include "engine/mdlMailContent.h"

namespace mdlMailContent {

QByteArray base64Tail(int iState, guint32 iSave) {
    const int iPending = iState & 0xff;
    const int iBytes = (iPending == 3 ? 2 : iPending == 2 ? 1 : 0) - ((iState >> 8) & 0xff);
    if (iBytes <= 0)
        return {};
    const char tail[2] = {static_cast<char>(iPending == 3 ? iSave >> 10 : iSave >> 4),
                          static_cast<char>(iSave >> 2)};
    return QByteArray(tail, iBytes);
}

GMimeContentEncoding transferEncoding(GMimeObject* part) {
    const char* sRaw = g_mime_object_get_header(part, "Content-Transfer-Encoding");
    if (!sRaw)
        return GMIME_CONTENT_ENCODING_DEFAULT;
    QByteArray s = QByteArray(sRaw).toLower();
    for (char cStop : {';', '('})
        if (s.contains(cStop))
            s.truncate(s.indexOf(cStop));
    s = s.replace('"', "").simplified().replace(' ', '-').replace('_', '-');
    return g_mime_content_encoding_from_string(s.constData());
}

QByteArray contentBytes(GMimePart* part) {
    QByteArray bytes;
    readContent(part, [&](const char* p, qsizetype n) {
        bytes.append(p, n);
        return true;
    });
    return bytes;
}
} // namespace mdlMailContent
