// settings.cpp: the key table, the value parsers and the exported settings record.
//
// A key is one row: its name (the tool's long option), its parser and the field it fills.
// A parser writes its field only when the whole value is good, so a failed set changes nothing.
#include "settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "folian.h"
#include "cpu.h"
#include "geometry.h"
#include "mem.h"

struct folian_settings {
    Settings v;
    char error[512];  // why the last set failed; "" after a success
};

namespace {

constexpr int DEFAULT_DPI = 150;

bool fold_equals(const char *a, const char *b) {
    for (; *a && *b; a++, b++) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = (char)(y - 'A' + 'a');
        if (x != y) return false;
    }
    return *a == *b;
}

void say(char *why, size_t why_size, const char *text) {
    if (why_size) std::snprintf(why, why_size, "%s", text);
}

// A whole decimal number from `min` to `max`, nothing around it.
bool parse_whole(const char *value, uint64_t min, uint64_t max, uint64_t *out) {
    if (*value < '0' || *value > '9') return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(value, &end, 10);
    if (errno || *end || v < min || v > max) return false;
    *out = v;
    return true;
}

// The layout keys, each a part of the page record, parsed by the geometry unit.
bool parse_page_size(const char *value, void *field, char *why, size_t why_size) {
    GeoPage *page = (GeoPage *)field;
    return geo_parse_page_size(value, &page->paper_w, &page->paper_h, why, why_size);
}
bool parse_orientation(const char *value, void *field, char *why, size_t why_size) {
    return geo_parse_orientation(value, (int *)field, why, why_size);
}
bool parse_margin(const char *value, void *field, char *why, size_t why_size) {
    return geo_parse_margin(value, (double *)field, why, why_size);
}
bool parse_fit(const char *value, void *field, char *why, size_t why_size) {
    return geo_parse_fit(value, (int *)field, why, why_size);
}

bool parse_dpi(const char *value, void *field, char *why, size_t why_size) {
    uint64_t v;
    if (!parse_whole(value, (uint64_t)GEO_MIN_DPI, (uint64_t)GEO_MAX_DPI, &v)) {
        say(why, why_size, "accepted: a whole number of dots per inch from 1 to 10000");
        return false;
    }
    *(int *)field = (int)v;
    return true;
}

// A key of two words: `yes` sets the field, `no` clears it.
bool parse_switch(const char *value, const char *yes, const char *no, bool *field, char *why, size_t why_size,
                  const char *accepted) {
    if (fold_equals(value, yes) || fold_equals(value, no)) {
        *field = fold_equals(value, yes);
        return true;
    }
    say(why, why_size, accepted);
    return false;
}

bool parse_on_off(const char *value, void *field, char *why, size_t why_size) {
    return parse_switch(value, "on", "off", (bool *)field, why, why_size, "accepted: on, off");
}

// A limit: a positive whole number, or 0 for the library's default.
bool parse_limit(const char *value, void *field, char *why, size_t why_size) {
    uint64_t v;
    if (!parse_whole(value, 0, UINT64_MAX, &v)) {
        say(why, why_size, "accepted: a whole number (0: the default)");
        return false;
    }
    *(uint64_t *)field = v;
    return true;
}

// Which input formats convert: the classic PNG and JPEG, or every format of the table.
bool parse_formats(const char *value, void *field, char *why, size_t why_size) {
    return parse_switch(value, "all", "classic", (bool *)field, why, why_size,
                        "classic (PNG and JPEG), all (also TIFF, GIF, BMP)");
}

// Metadata text: checked here, so the writer never meets text XML or UTF-16 cannot carry.
bool parse_doc_text(const char *value, void *field, char *why, size_t why_size) {
    if (const char *problem = doc_text_problem(value)) {
        if (why_size) std::snprintf(why, why_size, "UTF-8 text without control characters (%s)", problem);
        return false;
    }
    return settings_parse_text(value, field, why, why_size);
}

bool parse_date(const char *value, void *field, char *why, size_t why_size) {
    DocDate d;
    if (const char *problem = doc_date_parse(value, &d)) {
        if (why_size)
            std::snprintf(why, why_size, "YYYY-MM-DD, YYYY-MM-DDThh:mm:ss+hh:mm, now (%s)", problem);
        return false;
    }
    *(DocDate *)field = d;
    return true;
}

bool parse_pdfa(const char *value, void *field, char *why, size_t why_size) {
    const int level = doc_pdfa_parse(value);
    if (level < 0) {
        say(why, why_size, "off, 2b, 1b");
        return false;
    }
    *(int *)field = level;
    return true;
}

constexpr uint64_t MAX_JOBS = 1024;

bool parse_jobs(const char *value, void *field, char *why, size_t why_size) {
    uint64_t v;
    if (!parse_whole(value, 0, MAX_JOBS, &v)) {
        say(why, why_size, "accepted: a whole number of threads from 0 (every core) to 1024");
        return false;
    }
    *(int *)field = (int)v;
    return true;
}

struct Key {
    const char *name;
    bool (*parse)(const char *value, void *field, char *why, size_t why_size);
    size_t field;  // offsetof(Settings, ...)
};

constexpr Key KEYS[] = {
    {"page-size", parse_page_size, offsetof(Settings, page)},
    {"orientation", parse_orientation, offsetof(Settings, page.orientation)},
    {"margin", parse_margin, offsetof(Settings, page.margin)},
    {"fit", parse_fit, offsetof(Settings, page.fit)},
    {"dpi", parse_dpi, offsetof(Settings, dpi)},
    {"compact", parse_on_off, offsetof(Settings, compact)},
    {"interlaced", parse_on_off, offsetof(Settings, interlaced)},
    {"content-probe", parse_on_off, offsetof(Settings, content_probe)},
    {"exif-rotation", parse_on_off, offsetof(Settings, exif_rotation)},
    {"file-dpi", parse_on_off, offsetof(Settings, file_dpi)},
    {"icc", parse_on_off, offsetof(Settings, icc)},
    {"natural-order", parse_on_off, offsetof(Settings, natural_order)},
    {"max-pixels", parse_limit, offsetof(Settings, max_pixels)},
    {"max-pages", parse_limit, offsetof(Settings, max_pages)},
    {"formats", parse_formats, offsetof(Settings, all_formats)},
    {"first-frame-only", parse_on_off, offsetof(Settings, first_frame_only)},
    {"title", parse_doc_text, offsetof(Settings, title)},
    {"author", parse_doc_text, offsetof(Settings, author)},
    {"subject", parse_doc_text, offsetof(Settings, subject)},
    {"keywords", parse_doc_text, offsetof(Settings, keywords)},
    {"creator", parse_doc_text, offsetof(Settings, creator)},
    {"producer", parse_doc_text, offsetof(Settings, producer)},
    {"creation-date", parse_date, offsetof(Settings, creation_date)},
    {"mod-date", parse_date, offsetof(Settings, mod_date)},
    {"pdfa", parse_pdfa, offsetof(Settings, pdfa)},
    {"jobs", parse_jobs, offsetof(Settings, jobs)},
};

// Keys whose field is a text the record owns (copied with it, freed with it).
bool owns_text(const Key &k) { return k.parse == settings_parse_text || k.parse == parse_doc_text; }

// Each old option bit and the switch that stands for it.
struct OptionBit {
    unsigned bit;
    size_t field;
};
constexpr OptionBit OPTION_BITS[] = {
    {FOLIAN_OPT_COMPACT, offsetof(Settings, compact)},
    {FOLIAN_OPT_INTERLACED, offsetof(Settings, interlaced)},
    {FOLIAN_OPT_WIDE_PROBE, offsetof(Settings, content_probe)},
    {FOLIAN_OPT_ORIENTATION, offsetof(Settings, exif_rotation)},
    {FOLIAN_OPT_FILE_DPI, offsetof(Settings, file_dpi)},
    {FOLIAN_OPT_ICC, offsetof(Settings, icc)},
};

void *field_of(Settings *s, size_t offset) { return (char *)s + offset; }
bool &switch_of(Settings *s, size_t offset) { return *(bool *)field_of(s, offset); }

const Key *find_key(const char *name) {
    for (const Key &k : KEYS)
        if (std::strcmp(k.name, name) == 0) return &k;
    return nullptr;
}

void list_keys(char *out, size_t size) {
    size_t n = 0;
    for (const Key &k : KEYS) {
        int w = std::snprintf(out + n, size - n, "%s%s", n ? ", " : "", k.name);
        if (w < 0 || (size_t)w >= size - n) return;
        n += (size_t)w;
    }
}

}  // namespace

Settings settings_defaults() {
    Settings s{};
    geo_page_from_mode(FOLIAN_PAGE_IMAGE, &s.page);
    s.dpi = DEFAULT_DPI;
    s.jobs = 1;
    return s;
}

bool settings_set(Settings *s, const char *key, const char *value, char *why, size_t why_size) {
    if (!key || !value) {
        say(why, why_size, "settings: null key or value");
        return false;
    }
    const Key *k = find_key(key);
    if (!k) {
        char keys[400] = "";
        list_keys(keys, sizeof keys);
        if (why_size) std::snprintf(why, why_size, "settings: unknown key \"%s\"; accepted: %s", key, keys);
        return false;
    }
    // The parser fills a copy, so a value that fails half way leaves the record as it was.
    Settings trial = *s;
    char accepted[256] = "";
    if (!k->parse(value, field_of(&trial, k->field), accepted, sizeof accepted)) {
        if (why_size) std::snprintf(why, why_size, "settings: %s \"%s\": %s", key, value, accepted);
        return false;
    }
    if (owns_text(*k)) std::free(*(char **)field_of(s, k->field));
    *s = trial;
    return true;
}

bool settings_parse_text(const char *value, void *field, char *why, size_t why_size) {
    const size_t n = std::strlen(value) + 1;
    char *copy = (char *)mem_malloc(n);
    if (!copy) {
        say(why, why_size, "any text (out of memory)");
        return false;
    }
    std::memcpy(copy, value, n);
    *(char **)field = copy;
    return true;
}

bool settings_clone(const Settings *from, Settings *to) {
    *to = *from;
    bool ok = true;
    for (const Key &k : KEYS) {
        if (!owns_text(k)) continue;
        char **text = (char **)field_of(to, k.field);
        if (*text && !settings_parse_text(*text, text, nullptr, 0)) *text = nullptr, ok = false;
    }
    if (!ok) settings_release(to);
    return ok;
}

void settings_release(Settings *s) {
    for (const Key &k : KEYS) {
        if (!owns_text(k)) continue;
        char **text = (char **)field_of(s, k.field);
        std::free(*text);
        *text = nullptr;
    }
}

void settings_set_option_bits(Settings *s, unsigned bits) {
    for (const OptionBit &o : OPTION_BITS) switch_of(s, o.field) = (bits & o.bit) != 0;
}

unsigned settings_option_bits(const Settings *s) {
    unsigned bits = 0;
    for (const OptionBit &o : OPTION_BITS)
        if (switch_of(const_cast<Settings *>(s), o.field)) bits |= o.bit;
    return bits;
}

uint64_t settings_pixel_limit(const Settings *s, uint64_t codec_limit) {
    return s->max_pixels ? s->max_pixels : codec_limit;
}

DocInfo settings_doc_info(const Settings *s) {
    DocInfo info{};
    info.title = s->title, info.author = s->author, info.subject = s->subject;
    info.keywords = s->keywords, info.creator = s->creator, info.producer = s->producer;
    info.created = s->creation_date, info.modified = s->mod_date;
    info.pdfa = s->pdfa;
    return info;
}
int settings_thread_count(const Settings *s) { return s->jobs > 0 ? s->jobs : cpu_usable_cores(); }

// ---- The exported record ------------------------------------------------------------------

const Settings *settings_of(const folian_settings *s) { return s ? &s->v : nullptr; }

extern "C" {

FOLIAN_API folian_settings *folian_settings_new(void) noexcept {
    folian_settings *s = (folian_settings *)mem_calloc(1, sizeof(folian_settings));
    if (s) s->v = settings_defaults();
    return s;
}

FOLIAN_API folian_settings *folian_settings_copy(const folian_settings *from) noexcept {
    if (!from) return nullptr;
    folian_settings *s = (folian_settings *)mem_calloc(1, sizeof(folian_settings));
    if (!s) return nullptr;
    if (!settings_clone(&from->v, &s->v)) {
        std::free(s);
        return nullptr;
    }
    std::memcpy(s->error, from->error, sizeof s->error);
    return s;
}

FOLIAN_API void folian_settings_free(folian_settings *s) noexcept {
    if (!s) return;
    settings_release(&s->v);
    std::free(s);
}

FOLIAN_API int folian_settings_set(folian_settings *s, const char *key, const char *value) noexcept {
    if (!s) return 0;
    if (!settings_set(&s->v, key, value, s->error, sizeof s->error)) return 0;
    s->error[0] = '\0';
    return 1;
}

FOLIAN_API int folian_settings_threads(const folian_settings *s) noexcept {
    const Settings defaults = settings_defaults();
    return settings_thread_count(s ? &s->v : &defaults);
}

FOLIAN_API const char *folian_settings_error(const folian_settings *s) noexcept {
    return s ? s->error : "settings: null record";
}

}  // extern "C"
