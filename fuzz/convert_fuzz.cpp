// convert_fuzz.cpp: end-to-end fuzz target: the input, saved as a .png or .jpg file (chosen by
// its first byte), goes through folian_single into a PDF written to /dev/null. A failure must
// come with a message; success must mean a document was written. Bit 3 of the first byte
// turns on the options that read the file's own metadata and recognise it by content.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "folian.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static std::string base = [] {
        char tmpl[] = "/tmp/folian-fuzz-XXXXXX";
        return std::string(mkdtemp(tmpl) ? tmpl : "/tmp");
    }();
    std::string path = base + ((data[0] & 1) ? "/in.jpg" : "/in.png");
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
    folian_set_page_size(data[0] >> 1 & 3);
    folian_set_options((data[0] & 8) ? FOLIAN_OPT_WIDE_PROBE | FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC
                                     : 0u);
    int ok = folian_single(path.c_str(), "/dev/null");
    if (!ok && folian_last_error()[0] == '\0') std::abort();
    if (ok && folian_last_error()[0] != '\0') std::abort();
    unlink(path.c_str());
    return 0;
}
