#pragma once

#include <QByteArray>
#include <gmime/gmime.h>
#include <memory>
#include <vector>

// What the mail reader's files share of GMime, and no other file includes: owning its objects, and reading
// the decoded content of a leaf part.
namespace mdlMailContent {

struct GObjectUnref {
    void operator()(gpointer p) const {
        if (p)
            g_object_unref(p);
    }
};
template <typename T> using GPtr = std::unique_ptr<T, GObjectUnref>;

struct GFree {
    void operator()(gpointer p) const { g_free(p); }
};
using GString8 = std::unique_ptr<char, GFree>;

// GMime's base64 step drops a last group of 2 or 3 characters that lacks its "=" padding, though the group
// still holds 1 or 2 bytes (the end of a JPEG, the escape back to ASCII of a Japanese text). The step keeps
// the count of pending characters in the low byte of its state, the count of pads above it, their bits in
// save.
QByteArray base64Tail(int iState, guint32 iSave);

// The transfer encoding the part's header names, read leniently ("quoted printable", "base64;").
GMimeContentEncoding transferEncoding(GMimeObject* part);

// Streams the decoded content of a leaf part to sink in blocks, so no content is held whole in memory.
// False when reading fails or the sink refuses a block.
template <typename Sink> bool readContent(GMimePart* part, Sink&& sink) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    GMimeStream* raw = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (!raw)
        return true;
    if (g_mime_stream_reset(raw) < 0)
        return false;
    const GMimeContentEncoding encoding = transferEncoding(GMIME_OBJECT(part));
    const bool bBase64 = encoding == GMIME_CONTENT_ENCODING_BASE64;
    GPtr<GMimeStream> filtered;
    if (encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE || encoding == GMIME_CONTENT_ENCODING_UUENCODE) {
        filtered.reset(g_mime_stream_filter_new(raw));
        GPtr<GMimeFilter> decoder(g_mime_filter_basic_new(encoding, FALSE));
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), decoder.get());
    }
    GMimeStream* source = filtered ? filtered.get() : raw;
    constexpr size_t iBlock = 64 * 1024;
    std::vector<char> in(iBlock);
    std::vector<unsigned char> out(bBase64 ? iBlock : 0);
    int iState = 0;
    guint32 iSave = 0;
    bool bOk = true;
    int iIdle = 0;
    // A bounded stream answers -1 once it is through, so the end is asked for before every read; a filter may
    // swallow a whole block (soft line breaks) and answer 0 before its end.
    while (!g_mime_stream_eos(source)) {
        const ssize_t n = g_mime_stream_read(source, in.data(), in.size());
        if (n < 0) {
            bOk = g_mime_stream_eos(source);
            break;
        }
        if (n == 0) {
            if (++iIdle > 1000)
                break;
            continue;
        }
        iIdle = 0;
        if (bBase64) {
            const size_t m =
                g_mime_encoding_base64_decode_step(reinterpret_cast<const unsigned char*>(in.data()),
                                                   static_cast<size_t>(n), out.data(), &iState, &iSave);
            bOk = sink(reinterpret_cast<const char*>(out.data()), static_cast<qsizetype>(m));
        } else {
            bOk = sink(in.data(), static_cast<qsizetype>(n));
        }
        if (!bOk)
            break;
    }
    if (bOk && bBase64) {
        const QByteArray tail = base64Tail(iState, iSave);
        if (!tail.isEmpty())
            bOk = sink(tail.constData(), tail.size());
    }
    g_mime_stream_reset(raw);
    return bOk;
}

QByteArray contentBytes(GMimePart* part);
} // namespace mdlMailContent
