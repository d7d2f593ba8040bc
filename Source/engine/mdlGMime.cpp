#include "engine/mdlGMime.h"

#include <gmime/gmime.h>
#include <iconv.h>
#include <iterator>
#include <mutex>

namespace {
const char* const sJapaneseCharsets[] = {"ISO-2022-JP", "SHIFT_JIS", "CP932", "EUC-JP"};
iconv_t keptOpen[2 * std::size(sJapaneseCharsets)];
} // namespace

void ensureGMime() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_mime_init();
        // glibc loads a charset's module at the first open and unloads it when the last user closes, and
        // every Japanese mail opens and closes a converter several times: one kept open for each keeps them
        // loaded for the life of the program.
        size_t n = 0;
        for (const char* sCharset : sJapaneseCharsets) {
            keptOpen[n++] = iconv_open("UTF-8", sCharset);
            keptOpen[n++] = iconv_open(sCharset, "UTF-8");
        }
    });
}
