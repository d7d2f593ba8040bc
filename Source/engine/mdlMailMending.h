#pragma once

#include <QList>
#include <glib.h>
#include <utility>

// Declared only, so that this header does not bring GMime in.
struct _GMimeStream;

// The mending pass before GMime reads a mail: where to cut a mail with too many parts, and the empty lines
// and NULs that would make GMime lose text.
namespace mdlMailMending {
// What a first reading of the whole mail finds before GMime builds it.
struct Survey {
    // Where a message would hold more parts than are read; -1 when it holds fewer. GMime builds every part
    // it finds, and a few hundred thousand tiny parts take gigabytes.
    gint64 iCut = -1;
    // The header blocks, [start, end): the mail's own and each part's.
    QList<std::pair<gint64, gint64>> headers;
    // Where a header runs straight into text: GMime would take that text for broken header lines and drop
    // it, so an empty line goes there.
    QList<gint64> breaks;
    // GMime ends a header value at a NUL, losing the rest of it.
    bool bHeaderNul = false;
};

Survey survey(_GMimeStream* stream, bool bHeaderOnly);

// The mail up to the cut in memory, with an empty line at each break and without NULs in its headers.
_GMimeStream* mended(_GMimeStream* stream, const Survey& found);
} // namespace mdlMailMending
