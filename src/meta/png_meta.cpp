// png_meta.cpp: the metadata of a PNG file: eXIf (orientation), pHYs (pixels per metre)
// and iCCP (a named, zlib-compressed ICC profile).
//
// The chunks are walked on their own, after the same length rules as the decoder's walk;
// a chunk that runs past the end of the file ends the walk with what was found before.
// The first chunk of each kind counts: the format allows only one.
#include <cstring>

#include "bytes.h"
#include "folian.h"
#include "meta/meta.h"

namespace {

constexpr uint8_t SIGNATURE[8] = {137, 80, 78, 71, 13, 10, 26, 10};
constexpr uint32_t PHYS_LEN = 9;      // X and Y pixels per unit (4 bytes each), unit (1 = metre)
constexpr uint32_t MAX_ICCP_NAME = 79;
constexpr char EXIF_TAG[6] = {'E', 'x', 'i', 'f', 0, 0};

MetaDpi phys_dpi(const uint8_t *d, uint32_t len) {
    if (len != PHYS_LEN || d[8] != 1) return {false, 0, 0};
    return meta_dpi_from_rational(load_be32(d), 1, load_be32(d + 4), 1, META_UNIT_METRE);
}

// The profile of an iCCP chunk: name (1 to 79 bytes), NUL, method 0, zlib stream.
uint8_t *iccp_profile(const uint8_t *d, uint32_t len, uint64_t *out_len, bool *no_memory) {
    *out_len = 0;
    const uint8_t *nul = (const uint8_t *)std::memchr(d, 0, len < MAX_ICCP_NAME + 1 ? len : MAX_ICCP_NAME + 1);
    if (!nul || nul == d) return nullptr;
    const uint64_t z = (uint64_t)(nul - d) + 2;  // past the NUL and the method byte
    if (z > len || nul[1] != 0) return nullptr;
    return icc_inflate_zlib(d + z, len - z, out_len, no_memory);
}

ExifInfo exif_chunk(const uint8_t *d, uint32_t len) {
    // Some writers keep the JPEG segment's "Exif\0\0" before the TIFF header.
    if (len >= sizeof EXIF_TAG && std::memcmp(d, EXIF_TAG, sizeof EXIF_TAG) == 0)
        return exif_read(d + sizeof EXIF_TAG, len - sizeof EXIF_TAG);
    return exif_read(d, len);
}

}  // namespace

void png_read_meta(const uint8_t *data, uint64_t len, unsigned options, int components, ImageMeta *m) {
    if (!data || !(options & (FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC))) return;
    if (len < 8 || std::memcmp(data, SIGNATURE, 8) != 0) return;
    bool have_exif = false, have_phys = false, have_iccp = false;
    for (uint64_t off = 8; len - off >= 8;) {
        const uint32_t L = load_be32(data + off);
        const uint8_t *type = data + off + 4, *d = data + off + 8;
        if (off + 8 + (uint64_t)L + 4 > len || std::memcmp(type, "IEND", 4) == 0) break;
        if (std::memcmp(type, "eXIf", 4) == 0 && !have_exif) {
            have_exif = true;
            if (options & FOLIAN_OPT_ORIENTATION) m->orientation = exif_chunk(d, L).orientation;
        } else if (std::memcmp(type, "pHYs", 4) == 0 && !have_phys) {
            have_phys = true;
            if (options & FOLIAN_OPT_FILE_DPI) m->dpi = phys_dpi(d, L);
        } else if (std::memcmp(type, "iCCP", 4) == 0 && !have_iccp) {
            have_iccp = true;
            if (options & FOLIAN_OPT_ICC) {
                uint64_t icc_len = 0;
                uint8_t *icc = iccp_profile(d, L, &icc_len, &m->no_memory);
                meta_take_icc(m, icc, icc_len, components);
            }
        }
        off += 8 + (uint64_t)L + 4;
    }
}
