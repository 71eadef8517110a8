// settings.h: the settings record that one document's conversion carries from the front end
// to the writer, and the one table of keys that fills it from text.
//
// Every way of setting something (the C functions, the tool's long options, Python keywords)
// goes through settings_set, so a key is parsed and checked in one place.
//
// How another unit adds a key (one row, no other edit here):
//   1. add the field to Settings below, its default to SETTINGS_DEFAULTS in settings.cpp;
//   2. write a parser `bool parse_x(const char *value, void *field, char *why, size_t why_size)`
//      that writes the field only on success and else puts the accepted values into `why`;
//   3. add the row {"key", parse_x, offsetof(Settings, field)} to KEYS in settings.cpp.
//   Text values use settings_parse_text (a char * field the record owns; copy and free follow).
#ifndef FOLIAN_SETTINGS_H
#define FOLIAN_SETTINGS_H

#include <cstddef>
#include <cstdint>

#include "geometry.h"
#include "docinfo.h"

struct Settings {
    GeoPage page;         // paper, orientation, margins, fit
    int dpi;              // 1 to 10000 (geo_dpi_ok)
    bool compact;         // compressed pages (PNG data passed through, else deflate)
    bool interlaced;      // Adam7 PNG files convert
    bool content_probe;   // files recognised by content; 0xC1 JPEG frames embed
    bool exif_rotation;   // EXIF orientation draws the picture upright
    bool file_dpi;        // the file's resolution sizes an "image" page
    bool icc;             // embedded ICC profiles become /ICCBased
    bool natural_order;   // directories in numbered order: 2.jpg before 10.jpg
    uint64_t max_pixels;  // per image; 0: the codecs' own limits
    uint64_t max_pages;   // per document; 0: no limit
    bool all_formats;     // every format of the table converts, not only PNG and JPEG
    bool first_frame_only;  // a file of several frames or pages gives its first only
    // The document's description (docinfo.h): UTF-8 texts the record owns, null for none;
    // dates as parsed ("now" is fixed when set); the archival level, DocPdfa.
    char *title, *author, *subject, *keywords, *creator, *producer;
    DocDate creation_date, mod_date;
    int pdfa;
    int jobs;             // threads loading pages of a batch; 0: every usable core; 1: none started
};

// The library's defaults: page size "image", 150 dpi, every option off, no limits beyond the
// codecs'.
Settings settings_defaults();
// Parses `value` for `key` into *s. False leaves *s unchanged and writes into why[0..why_size)
// a message naming the key, the value and what is accepted.
bool settings_set(Settings *s, const char *key, const char *value, char *why, size_t why_size);
// A copy owning its own texts; false when memory runs out (*to then holds no texts).
bool settings_clone(const Settings *from, Settings *to);
// Releases the texts the record owns.
void settings_release(Settings *s);

// The old option bits (FOLIAN_OPT_*) as the record's switches and back.
void settings_set_option_bits(Settings *s, unsigned bits);
unsigned settings_option_bits(const Settings *s);

// The pixel limit a conversion applies to one image: max-pixels when set, else `codec_limit`.
uint64_t settings_pixel_limit(const Settings *s, uint64_t codec_limit);

// The description the writer puts into /Info and XMP; its texts point into *s.
DocInfo settings_doc_info(const Settings *s);
// How many threads the `jobs` setting asks for: 0 stands for every core the process may use.
int settings_thread_count(const Settings *s);

// The record behind the exported handle; null for a null handle.
struct folian_settings;
const Settings *settings_of(const folian_settings *s);

// Parser for text values (see above); the field is a char * owned by the record.
bool settings_parse_text(const char *value, void *field, char *why, size_t why_size);

#endif
