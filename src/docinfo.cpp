// docinfo.cpp: metadata text, dates, the XMP packet, the trailer /ID and the sRGB
// output-intent profile (see docinfo.h).
//
// Text and dates are checked once, when they are set, so the writer only formats. The
// profile is computed rather than stored: the primaries, white point and transfer curve
// are the whole of sRGB, and a few lines of arithmetic are easier to check than 3 KB of
// bytes.
#include "docinfo.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bytes.h"

namespace {

// ---- UTF-8 -------------------------------------------------------------------------------

// Decodes one well-formed UTF-8 sequence at *p into *cp and advances; false for a
// malformed one (stray continuation, overlong form, surrogate, past U+10FFFF, cut short).
bool utf8_next(const unsigned char **p, uint32_t *cp) {
    const unsigned char *s = *p;
    const uint32_t b = s[0];
    int extra;
    uint32_t min;
    if (b < 0x80) {
        *cp = b;
        *p = s + 1;
        return true;
    } else if ((b & 0xE0) == 0xC0) {
        extra = 1, min = 0x80, *cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        extra = 2, min = 0x800, *cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        extra = 3, min = 0x10000, *cp = b & 0x07;
    } else {
        return false;
    }
    for (int i = 1; i <= extra; i++) {
        if ((s[i] & 0xC0) != 0x80) return false;  // also stops at the NUL
        *cp = *cp << 6 | (s[i] & 0x3F);
    }
    if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return false;
    *p = s + 1 + extra;
    return true;
}

// XML 1.0 Char: tab, line feed, carriage return, U+0020 on, less the two non-characters
// U+FFFE and U+FFFF (surrogates never decode).
bool xml_char(uint32_t cp) {
    if (cp < 0x20) return cp == 0x09 || cp == 0x0A || cp == 0x0D;
    return cp != 0xFFFE && cp != 0xFFFF;
}

bool printable_ascii(const char *s) {
    for (; *s; s++)
        if ((unsigned char)*s < 0x20 || (unsigned char)*s > 0x7E) return false;
    return true;
}

constexpr char HEX[] = "0123456789ABCDEF";

void put_hex16(std::string *out, uint32_t v) {
    for (int shift = 12; shift >= 0; shift -= 4) out->push_back(HEX[(v >> shift) & 15]);
}

// Element content: the markup characters as entities, and carriage return as a reference
// because an XML reader turns a literal one into a line feed.
void put_xml_text(std::string *out, const char *s) {
    for (; *s; s++) {
        switch (*s) {
        case '&': *out += "&amp;"; break;
        case '<': *out += "&lt;"; break;
        case '>': *out += "&gt;"; break;
        case '\r': *out += "&#xD;"; break;
        default: out->push_back(*s);
        }
    }
}

bool is_set(const char *s) { return s && *s; }

// ---- Dates ---------------------------------------------------------------------------------

struct Cursor {
    const char *p;
};

// Exactly n decimal digits.
bool digits(Cursor *c, int n, int *v) {
    *v = 0;
    for (int i = 0; i < n; i++) {
        if (c->p[i] < '0' || c->p[i] > '9') return false;
        *v = *v * 10 + (c->p[i] - '0');
    }
    c->p += n;
    return true;
}

bool take(Cursor *c, char ch) {
    if (*c->p != ch) return false;
    c->p++;
    return true;
}

bool leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static const int DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap_year(y) ? 29 : DAYS[m - 1];
}

// The zone after the time: "Z", "+hh:mm", "+hhmm" or "+hh" (or '-'); nothing means UTC.
bool parse_zone(Cursor *c, int *offset_minutes) {
    *offset_minutes = 0;
    if (!*c->p || take(c, 'Z')) return true;
    int sign = *c->p == '+' ? 1 : *c->p == '-' ? -1 : 0;
    if (!sign) return false;
    c->p++;
    int hh = 0, mm = 0;
    if (!digits(c, 2, &hh)) return false;
    if (*c->p) {
        take(c, ':');
        if (!digits(c, 2, &mm)) return false;
    }
    if (hh > 23 || mm > 59) return false;
    *offset_minutes = sign * (hh * 60 + mm);
    return true;
}

const char *parse_iso(const char *text, DocDate *d) {
    static const char *const BAD = "not an ISO 8601 date";
    Cursor c{text};
    *d = DocDate{};
    if (!digits(&c, 4, &d->year) || !take(&c, '-') || !digits(&c, 2, &d->month) || !take(&c, '-') ||
        !digits(&c, 2, &d->day))
        return BAD;
    if (d->month < 1 || d->month > 12 || d->day < 1 || d->day > days_in_month(d->year, d->month))
        return "no such day";
    if (*c.p) {
        if (!take(&c, 'T') && !take(&c, ' ')) return BAD;
        if (!digits(&c, 2, &d->hour) || !take(&c, ':') || !digits(&c, 2, &d->minute)) return BAD;
        if (take(&c, ':')) {
            if (!digits(&c, 2, &d->second)) return BAD;
            // A fraction of a second has no place in the PDF form; both forms drop it.
            if (take(&c, '.') || take(&c, ',')) {
                if (*c.p < '0' || *c.p > '9') return BAD;
                while (*c.p >= '0' && *c.p <= '9') c.p++;
            }
        }
        if (d->hour > 23 || d->minute > 59 || d->second > 59) return "no such time";
        if (!parse_zone(&c, &d->offset_minutes)) return "bad time zone";
    }
    if (*c.p) return BAD;
    d->set = true;
    return nullptr;
}

// SOURCE_DATE_EPOCH: a decimal count of seconds, nothing else (the reproducible-builds
// convention asks that a malformed value be an error, not ignored).
const char *epoch_from_environment(const char *text, int64_t *seconds) {
    static const char *const BAD = "SOURCE_DATE_EPOCH is not a count of seconds";
    if (!*text) return BAD;
    int64_t v = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9' || v > (INT64_MAX - 9) / 10) return BAD;
        v = v * 10 + (*p - '0');
    }
    *seconds = v;
    return nullptr;
}

// Days since 1970-01-01 to the proleptic Gregorian date (eras of 400 years, the year
// taken from March so that the leap day ends it).
void civil_from_days(int64_t z, int *y, int *m, int *d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = (int)(doy - (153 * mp + 2) / 5 + 1);
    *m = (int)(mp < 10 ? mp + 3 : mp - 9);
    *y = (int)(yoe + era * 400 + (*m <= 2));
}

// ---- sRGB profile ----------------------------------------------------------------------------

// Chromaticities of the sRGB primaries and of its D65 white.
constexpr double SRGB_XY[4][2] = {{0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}, {0.3127, 0.3290}};
// The profile connection space's D50 white, as the encoded values the header carries.
constexpr double D50[3] = {0xF6D6 / 65536.0, 1.0, 0xD32D / 65536.0};
// Bradford cone response matrix.
constexpr double BRADFORD[3][3] = {
    {0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}};
constexpr int TRC_ENTRIES = 1024;
constexpr uint32_t ICC_VERSION_2_1 = 0x02100000;
constexpr char PROFILE_COPYRIGHT[] = "No copyright, use freely";

using Mat3 = double[3][3];

void mat_mul(const Mat3 a, const Mat3 b, Mat3 out) {
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) out[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
}

void mat_vec(const Mat3 a, const double v[3], double out[3]) {
    for (int i = 0; i < 3; i++) out[i] = a[i][0] * v[0] + a[i][1] * v[1] + a[i][2] * v[2];
}

void mat_inverse(const Mat3 a, Mat3 out) {
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) {
            // Cofactor of a[j][i], read with cyclic indices so the sign comes out right.
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            out[i][j] = (a[r0][c0] * a[r1][c1] - a[r0][c1] * a[r1][c0]) / det;
        }
}

void xy_to_xyz(const double xy[2], double out[3]) {
    out[0] = xy[0] / xy[1];
    out[1] = 1.0;
    out[2] = (1.0 - xy[0] - xy[1]) / xy[1];
}

// The RGB to XYZ matrix under D65: the primaries scaled so that RGB (1, 1, 1) is the white.
void srgb_to_xyz_d65(Mat3 m, double white[3]) {
    Mat3 p, inv;
    for (int c = 0; c < 3; c++) {
        double v[3];
        xy_to_xyz(SRGB_XY[c], v);
        for (int r = 0; r < 3; r++) p[r][c] = v[r];
    }
    xy_to_xyz(SRGB_XY[3], white);
    mat_inverse(p, inv);
    double s[3];
    mat_vec(inv, white, s);
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) m[r][c] = p[r][c] * s[c];
}

// Bradford adaptation from `src` white to `dst` white: M^-1 diag(dst cone / src cone) M.
void bradford(const double src[3], const double dst[3], Mat3 out) {
    Mat3 inv, scaled;
    double cs[3], cd[3];
    mat_vec(BRADFORD, src, cs);
    mat_vec(BRADFORD, dst, cd);
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) scaled[r][c] = BRADFORD[r][c] * cd[r] / cs[r];
    mat_inverse(BRADFORD, inv);
    mat_mul(inv, scaled, out);
}

// sRGB's decoding curve: linear near black, a 2.4 power above.
double srgb_to_linear(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }

void put_u32(std::string *p, uint32_t v) {
    uint8_t b[4];
    store_be32(b, v);
    p->append((const char *)b, 4);
}
void put_u16(std::string *p, uint32_t v) {
    p->push_back((char)(v >> 8));
    p->push_back((char)v);
}
void put_sig(std::string *p, const char *sig) { p->append(sig, 4); }
void put_s15f16(std::string *p, double v) { put_u32(p, (uint32_t)(int32_t)std::lround(v * 65536.0)); }

// Tag data: each type opens with its signature and four reserved bytes.
std::string xyz_tag(const double v[3]) {
    std::string t;
    put_sig(&t, "XYZ ");
    put_u32(&t, 0);
    for (int i = 0; i < 3; i++) put_s15f16(&t, v[i]);
    return t;
}

std::string desc_tag(const char *ascii) {
    std::string t;
    put_sig(&t, "desc");
    put_u32(&t, 0);
    put_u32(&t, (uint32_t)std::strlen(ascii) + 1);
    t.append(ascii, std::strlen(ascii) + 1);
    put_u32(&t, 0);            // Unicode language code
    put_u32(&t, 0);            // Unicode character count
    put_u16(&t, 0);            // ScriptCode code
    t.append(1 + 67, '\0');    // ScriptCode count and its fixed 67-byte field
    return t;
}

std::string text_tag(const char *ascii) {
    std::string t;
    put_sig(&t, "text");
    put_u32(&t, 0);
    t.append(ascii, std::strlen(ascii) + 1);
    return t;
}

std::string curve_tag() {
    std::string t;
    put_sig(&t, "curv");
    put_u32(&t, 0);
    put_u32(&t, TRC_ENTRIES);
    for (int i = 0; i < TRC_ENTRIES; i++)
        put_u16(&t, (uint32_t)std::lround(srgb_to_linear(i / (double)(TRC_ENTRIES - 1)) * 65535.0));
    return t;
}

struct IccTag {
    const char *sig;
    int data;  // index into the data blocks: tags may share one
};

}  // namespace

// ---- Text ----------------------------------------------------------------------------------

const char *doc_text_problem(const char *utf8) {
    if (!utf8) return nullptr;
    const unsigned char *p = (const unsigned char *)utf8;
    while (*p) {
        uint32_t cp;
        if (!utf8_next(&p, &cp)) return "invalid UTF-8";
        if (!xml_char(cp)) return "control character";
    }
    return nullptr;
}

void pdf_text_string(const char *utf8, std::string *out) {
    if (printable_ascii(utf8)) {
        out->push_back('(');
        for (const char *s = utf8; *s; s++) {
            if (*s == '(' || *s == ')' || *s == '\\') out->push_back('\\');
            out->push_back(*s);
        }
        out->push_back(')');
        return;
    }
    *out += "<FEFF";
    const unsigned char *p = (const unsigned char *)utf8;
    uint32_t cp;
    while (*p && utf8_next(&p, &cp)) {
        if (cp < 0x10000) {
            put_hex16(out, cp);
        } else {
            cp -= 0x10000;
            put_hex16(out, 0xD800 | (cp >> 10));
            put_hex16(out, 0xDC00 | (cp & 0x3FF));
        }
    }
    out->push_back('>');
}

// ---- Dates ---------------------------------------------------------------------------------

bool doc_date_from_epoch(int64_t seconds, DocDate *out) {
    // 253402300799 is 9999-12-31T23:59:59Z, the last moment four year digits hold.
    if (seconds < 0 || seconds > 253402300799LL) return false;
    *out = DocDate{};
    civil_from_days(seconds / 86400, &out->year, &out->month, &out->day);
    const int64_t in_day = seconds % 86400;
    out->hour = (int)(in_day / 3600);
    out->minute = (int)(in_day / 60 % 60);
    out->second = (int)(in_day % 60);
    out->set = true;
    return true;
}

const char *doc_date_parse(const char *text, DocDate *out) {
    if (!text) return "no date";
    if (std::strcmp(text, "now") != 0) return parse_iso(text, out);
    int64_t seconds;
    if (const char *env = std::getenv("SOURCE_DATE_EPOCH")) {
        if (const char *why = epoch_from_environment(env, &seconds)) return why;
    } else {
        seconds = (int64_t)std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    }
    return doc_date_from_epoch(seconds, out) ? nullptr : "date out of range";
}

void doc_date_pdf(const DocDate &d, char out[DOC_DATE_TEXT]) {
    const int off = d.offset_minutes < 0 ? -d.offset_minutes : d.offset_minutes;
    std::snprintf(out, DOC_DATE_TEXT, "D:%04d%02d%02d%02d%02d%02d%c%02d'%02d", d.year, d.month, d.day, d.hour,
                  d.minute, d.second, d.offset_minutes < 0 ? '-' : '+', off / 60, off % 60);
}

void doc_date_iso(const DocDate &d, char out[DOC_DATE_TEXT]) {
    const int off = d.offset_minutes < 0 ? -d.offset_minutes : d.offset_minutes;
    std::snprintf(out, DOC_DATE_TEXT, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", d.year, d.month, d.day, d.hour,
                  d.minute, d.second, d.offset_minutes < 0 ? '-' : '+', off / 60, off % 60);
}

// ---- The document's description ----------------------------------------------------------

int doc_pdfa_parse(const char *text) {
    if (!text) return -1;
    static const struct {
        const char *name;
        int level;
    } LEVELS[] = {{"off", DOC_PDFA_OFF}, {"2b", DOC_PDFA_2B}, {"1b", DOC_PDFA_1B}};
    for (const auto &l : LEVELS) {
        size_t i = 0;
        while (l.name[i] && (text[i] | 0x20) == l.name[i]) i++;
        if (!l.name[i] && !text[i]) return l.level;
    }
    return -1;
}

bool doc_info_any(const DocInfo *info) {
    return info && (is_set(info->title) || is_set(info->author) || is_set(info->subject) ||
                    is_set(info->keywords) || is_set(info->creator) || is_set(info->producer) ||
                    info->created.set || info->modified.set || info->pdfa != DOC_PDFA_OFF);
}

void doc_info_dictionary(const DocInfo &info, std::string *out) {
    const struct {
        const char *key, *value;
    } TEXTS[] = {{"/Title", info.title},       {"/Author", info.author},   {"/Subject", info.subject},
                 {"/Keywords", info.keywords}, {"/Creator", info.creator}, {"/Producer", info.producer}};
    *out += "<<";
    for (const auto &t : TEXTS) {
        if (!is_set(t.value)) continue;
        *out += ' ';
        *out += t.key;
        *out += ' ';
        pdf_text_string(t.value, out);
    }
    char date[DOC_DATE_TEXT];
    if (info.created.set) {
        doc_date_pdf(info.created, date);
        *out += " /CreationDate (";
        *out += date;
        *out += ')';
    }
    if (info.modified.set) {
        doc_date_pdf(info.modified, date);
        *out += " /ModDate (";
        *out += date;
        *out += ')';
    }
    *out += " >>";
}

void doc_xmp_packet(const DocInfo &info, std::string *out) {
    // One element per line: pdfaid only on archival documents, each other only when set.
    auto simple = [out](const char *name, const char *text) {
        *out += "   <";
        *out += name;
        *out += '>';
        put_xml_text(out, text);
        *out += "</";
        *out += name;
        *out += ">\n";
    };
    // rdf:Alt for language alternatives (title, description), rdf:Seq for the ordered
    // author list, whose one entry is the whole /Author text.
    auto list = [out](const char *name, const char *kind, const char *text) {
        *out += "   <";
        *out += name;
        *out += "><rdf:";
        *out += kind;
        *out += std::strcmp(kind, "Alt") == 0 ? "><rdf:li xml:lang=\"x-default\">" : "><rdf:li>";
        put_xml_text(out, text);
        *out += "</rdf:li></rdf:";
        *out += kind;
        *out += "></";
        *out += name;
        *out += ">\n";
    };
    *out += "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
            "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
            " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
            "  <rdf:Description rdf:about=\"\"\n"
            "    xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
            "    xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"\n"
            "    xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\"";
    if (info.pdfa != DOC_PDFA_OFF) *out += "\n    xmlns:pdfaid=\"http://www.aiim.org/pdfa/ns/id/\"";
    *out += ">\n";
    simple("dc:format", "application/pdf");
    if (is_set(info.title)) list("dc:title", "Alt", info.title);
    if (is_set(info.author)) list("dc:creator", "Seq", info.author);
    if (is_set(info.subject)) list("dc:description", "Alt", info.subject);
    if (is_set(info.keywords)) simple("pdf:Keywords", info.keywords);
    if (is_set(info.producer)) simple("pdf:Producer", info.producer);
    if (is_set(info.creator)) simple("xmp:CreatorTool", info.creator);
    char date[DOC_DATE_TEXT];
    if (info.created.set) {
        doc_date_iso(info.created, date);
        simple("xmp:CreateDate", date);
    }
    if (info.modified.set) {
        doc_date_iso(info.modified, date);
        simple("xmp:ModifyDate", date);
    }
    if (info.created.set || info.modified.set) {
        // When the metadata was last written: with the document, so its latest date.
        doc_date_iso(info.modified.set ? info.modified : info.created, date);
        simple("xmp:MetadataDate", date);
    }
    if (info.pdfa != DOC_PDFA_OFF) {
        simple("pdfaid:part", info.pdfa == DOC_PDFA_1B ? "1" : "2");
        simple("pdfaid:conformance", "B");
    }
    *out += "  </rdf:Description>\n </rdf:RDF>\n</x:xmpmeta>\n<?xpacket end=\"w\"?>";
}

// ---- Identity ------------------------------------------------------------------------------

void doc_id_entry(const uint8_t digest[16], char out[DOC_ID_TEXT]) {
    char hex[33];
    for (int i = 0; i < 16; i++) {
        hex[2 * i] = HEX[digest[i] >> 4];
        hex[2 * i + 1] = HEX[digest[i] & 15];
    }
    hex[32] = '\0';
    std::snprintf(out, DOC_ID_TEXT, "/ID [<%s> <%s>]", hex, hex);
}

// ---- Output intent profile -----------------------------------------------------------------

void doc_srgb_profile(std::string *out) {
    Mat3 to_d65, adapt, to_d50;
    double white[3];
    srgb_to_xyz_d65(to_d65, white);
    bradford(white, D50, adapt);
    mat_mul(adapt, to_d65, to_d50);
    double colorant[3][3];
    for (int c = 0; c < 3; c++)
        for (int r = 0; r < 3; r++) colorant[c][r] = to_d50[r][c];

    // Data blocks in file order; the three tone curves share one.
    const std::string data[] = {desc_tag(DOC_SRGB_NAME), text_tag(PROFILE_COPYRIGHT), xyz_tag(white),
                                xyz_tag(colorant[0]),   xyz_tag(colorant[1]),         xyz_tag(colorant[2]),
                                curve_tag()};
    static const IccTag TAGS[] = {{"desc", 0}, {"cprt", 1}, {"wtpt", 2}, {"rXYZ", 3}, {"gXYZ", 4},
                                  {"bXYZ", 5}, {"rTRC", 6}, {"gTRC", 6}, {"bTRC", 6}};
    constexpr uint32_t TAG_COUNT = sizeof TAGS / sizeof TAGS[0];
    uint32_t offset[sizeof data / sizeof data[0]];
    uint32_t at = 128 + 4 + 12 * TAG_COUNT;
    for (size_t i = 0; i < sizeof data / sizeof data[0]; i++) {
        offset[i] = at;
        at += ((uint32_t)data[i].size() + 3) & ~3u;  // each block starts on four bytes
    }

    std::string &p = *out;
    p.clear();
    put_u32(&p, at);              // profile size
    put_u32(&p, 0);               // preferred colour management module: none
    put_u32(&p, ICC_VERSION_2_1);
    put_sig(&p, "mntr");
    put_sig(&p, "RGB ");
    put_sig(&p, "XYZ ");
    for (uint32_t v : {2026u, 1u, 1u, 0u, 0u, 0u}) put_u16(&p, v);  // a fixed date: same bytes
    put_sig(&p, "acsp");
    p.append(64 - 40, '\0');      // platform, flags, manufacturer, model, attributes
    put_u32(&p, 0);               // rendering intent: perceptual
    for (double v : D50) put_s15f16(&p, v);
    p.append(128 - 80, '\0');     // creator and the reserved bytes
    put_u32(&p, TAG_COUNT);
    for (const IccTag &t : TAGS) {
        put_sig(&p, t.sig);
        put_u32(&p, offset[t.data]);
        put_u32(&p, (uint32_t)data[t.data].size());
    }
    for (const std::string &d : data) {
        p += d;
        p.append((4 - d.size() % 4) % 4, '\0');
    }
}
