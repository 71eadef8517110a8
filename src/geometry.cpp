// geometry.cpp: page sizes, orientation, margins and fit modes; where a picture goes on its page.
//
// A page is laid out in three steps: the picture's own size in points (pixels at its
// resolution, sides swapped by a quarter-turn EXIF orientation), the page and the box inside
// its margins, then the picture's size and place in that box by the fit mode, centred. The
// historical page modes run the same expressions in the same order as before, so their
// numbers (and the documents' bytes) are bit for bit what they were.
#include "geometry.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "format.h"

namespace {

constexpr double POINTS_PER_INCH = 72;

struct NamedPaper {
    const char *name;
    double w, h;
};
// Points, as named. ISO 216 and 269 sizes are mm x 72 / 25.4 rounded to hundredths (A4 and A3
// have always been written so); the North American sizes are whole inches x 72. Ledger is
// tabloid turned, and is named landscape.
constexpr NamedPaper PAPERS[] = {
    {"a0", 2383.94, 3370.39},   // 841 x 1189 mm
    {"a1", 1683.78, 2383.94},   // 594 x 841 mm
    {"a2", 1190.55, 1683.78},   // 420 x 594 mm
    {"a3", 841.89, 1190.55},    // 297 x 420 mm
    {"a4", 595.28, 841.89},     // 210 x 297 mm
    {"a5", 419.53, 595.28},     // 148 x 210 mm
    {"a6", 297.64, 419.53},     // 105 x 148 mm
    {"a7", 209.76, 297.64},     // 74 x 105 mm
    {"a8", 147.4, 209.76},      // 52 x 74 mm
    {"a9", 104.88, 147.4},      // 37 x 52 mm
    {"a10", 73.7, 104.88},      // 26 x 37 mm
    {"b0", 2834.65, 4008.19},   // 1000 x 1414 mm
    {"b1", 2004.09, 2834.65},   // 707 x 1000 mm
    {"b2", 1417.32, 2004.09},   // 500 x 707 mm
    {"b3", 1000.63, 1417.32},   // 353 x 500 mm
    {"b4", 708.66, 1000.63},    // 250 x 353 mm
    {"b5", 498.9, 708.66},      // 176 x 250 mm
    {"b6", 354.33, 498.9},      // 125 x 176 mm
    {"b7", 249.45, 354.33},     // 88 x 125 mm
    {"b8", 175.75, 249.45},     // 62 x 88 mm
    {"b9", 124.72, 175.75},     // 44 x 62 mm
    {"b10", 87.87, 124.72},     // 31 x 44 mm
    {"c4", 649.13, 918.43},     // 229 x 324 mm
    {"c5", 459.21, 649.13},     // 162 x 229 mm
    {"c6", 323.15, 459.21},     // 114 x 162 mm
    {"letter", 612, 792},       // 8.5 x 11 in
    {"legal", 612, 1008},       // 8.5 x 14 in
    {"tabloid", 792, 1224},     // 11 x 17 in
    {"ledger", 1224, 792},      // 17 x 11 in
    {"statement", 396, 612},    // 5.5 x 8.5 in
    {"executive", 522, 756},    // 7.25 x 10.5 in
};
// The historical modes 1 to 3 by their table rows.
constexpr int MODE_PAPER[4] = {-1, 4, 25, 3};

constexpr const char *PAGE_SIZES_ACCEPTED =
    "accepted: image, a0-a10, b0-b10, c4-c6, letter, legal, tabloid, ledger, statement, executive, "
    "or WxH with a unit pt (default), mm, cm or in, sides 3 to 14400 pt (210x297mm, 8.5x11in)";
constexpr const char *ORIENTATIONS_ACCEPTED = "accepted: portrait, landscape, auto";
constexpr const char *FITS_ACCEPTED = "accepted: into, fill, exact, shrink, enlarge";
constexpr const char *MARGINS_ACCEPTED =
    "accepted: 1, 2 (vertical, horizontal) or 4 (top, right, bottom, left) lengths 0 to 14400 pt, "
    "comma-separated, each with a unit pt (default), mm, cm or in (2cm,2.5cm)";

void say(char *why, size_t why_size, const char *text) {
    if (why && why_size) std::snprintf(why, why_size, "%s", text);
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }
bool is_space(char c) { return c == ' ' || c == '\t'; }

// A slice of the value being parsed, spaces around it left out.
struct Text {
    const char *p, *end;
};

Text trimmed(const char *p, const char *end) {
    while (p < end && is_space(*p)) p++;
    while (end > p && is_space(end[-1])) end--;
    return Text{p, end};
}

Text whole(const char *value) { return trimmed(value, value + std::strlen(value)); }

bool equals(Text t, const char *word) {
    size_t n = std::strlen(word);
    if ((size_t)(t.end - t.p) != n) return false;
    for (size_t i = 0; i < n; i++)
        if (lower(t.p[i]) != word[i]) return false;
    return true;
}

bool ends_with(Text t, const char *suffix) {
    size_t n = std::strlen(suffix);
    return (size_t)(t.end - t.p) >= n && equals(Text{t.end - n, t.end}, suffix);
}

// Points per unit of a length's suffix, or 0 when there is none; `t` loses the suffix.
double unit_of(Text *t) {
    struct Unit {
        const char *name;
        double points;
    };
    static const Unit UNITS[] = {
        {"pt", 1}, {"mm", POINTS_PER_INCH / 25.4}, {"cm", POINTS_PER_INCH / 2.54}, {"in", POINTS_PER_INCH}};
    for (const Unit &u : UNITS) {
        if (!ends_with(*t, u.name)) continue;
        t->end -= 2;
        return u.points;
    }
    return 0;
}

// A plain decimal number: digits with at most one point, no sign or exponent, read the same
// in every locale.
bool number_of(Text t, double *out) {
    t = trimmed(t.p, t.end);
    int digits = 0, points = 0;
    for (const char *c = t.p; c < t.end; c++) {
        if (*c >= '0' && *c <= '9')
            digits++;
        else if (*c == '.')
            points++;
        else
            return false;
    }
    if (digits == 0 || points > 1) return false;
    std::from_chars_result r = std::from_chars(t.p, t.end, *out, std::chars_format::fixed);
    return r.ec == std::errc() && r.ptr == t.end;
}

// A length with an optional unit; `fallback` points per unit when it has none.
bool length_of(Text t, double fallback, double *points) {
    t = trimmed(t.p, t.end);
    double unit = unit_of(&t), n;
    if (!number_of(t, &n)) return false;
    *points = n * (unit ? unit : fallback);
    return true;
}

bool side_ok(double v) { return v >= GEO_MIN_SIDE && v <= GEO_MAX_SIDE; }

const NamedPaper *named_paper(Text t) {
    for (const NamedPaper &p : PAPERS)
        if (equals(t, p.name)) return &p;
    return nullptr;
}

// "WxH": a width without a unit takes the height's, a height without one is in points.
bool dimensions_of(Text t, double *w, double *h) {
    const char *x = t.p;
    while (x < t.end && lower(*x) != 'x') x++;
    if (x == t.end) return false;
    Text height{x + 1, t.end};
    double unit = unit_of(&height);
    return length_of(Text{t.p, x}, unit ? unit : 1, w) && length_of(height, unit ? unit : 1, h);
}

}  // namespace

bool geo_dpi_ok(double dpi) { return dpi >= GEO_MIN_DPI && dpi <= GEO_MAX_DPI; }

bool geo_page_from_mode(int mode, GeoPage *out) {
    if (mode < 0 || mode > 3) return false;
    GeoPage page{0, 0, GEO_PORTRAIT, {0, 0, 0, 0}, GEO_FIT_INTO};
    if (mode) {
        page.paper_w = PAPERS[MODE_PAPER[mode]].w;
        page.paper_h = PAPERS[MODE_PAPER[mode]].h;
    }
    if (out) *out = page;
    return true;
}

// ---- Parsers ----------------------------------------------------------------------------

bool geo_parse_page_size(const char *value, double *w, double *h, char *why, size_t why_size) {
    if (!value) return say(why, why_size, PAGE_SIZES_ACCEPTED), false;
    Text t = whole(value);
    double pw = 0, ph = 0;
    if (const NamedPaper *p = named_paper(t)) {
        pw = p->w, ph = p->h;
    } else if (!equals(t, "image")) {
        if (!dimensions_of(t, &pw, &ph)) return say(why, why_size, PAGE_SIZES_ACCEPTED), false;
        if (!side_ok(pw) || !side_ok(ph)) return say(why, why_size, PAGE_SIZES_ACCEPTED), false;
    }
    if (w) *w = pw;
    if (h) *h = ph;
    return true;
}

bool geo_parse_orientation(const char *value, int *orientation, char *why, size_t why_size) {
    static const char *const NAMES[] = {"portrait", "landscape", "auto"};  // GeoOrientation order
    for (int i = 0; value && i < 3; i++) {
        if (!equals(whole(value), NAMES[i])) continue;
        if (orientation) *orientation = i;
        return true;
    }
    return say(why, why_size, ORIENTATIONS_ACCEPTED), false;
}

bool geo_parse_fit(const char *value, int *fit, char *why, size_t why_size) {
    static const char *const NAMES[] = {"into", "fill", "exact", "shrink", "enlarge"};  // GeoFit order
    for (int i = 0; value && i < 5; i++) {
        if (!equals(whole(value), NAMES[i])) continue;
        if (fit) *fit = i;
        return true;
    }
    return say(why, why_size, FITS_ACCEPTED), false;
}

bool geo_parse_margin(const char *value, double margin[4], char *why, size_t why_size) {
    double v[4];
    int n = 0;
    const char *p = value ? value : "";
    const char *end = p + std::strlen(p);
    for (;;) {
        const char *comma = p;
        while (comma < end && *comma != ',') comma++;
        if (n == 4 || !length_of(Text{p, comma}, 1, &v[n]) || v[n] > GEO_MAX_SIDE)
            return say(why, why_size, MARGINS_ACCEPTED), false;
        n++;
        if (comma == end) break;
        p = comma + 1;
    }
    if (n == 3) return say(why, why_size, MARGINS_ACCEPTED), false;
    // Like CSS: one for all sides; vertical and horizontal; top, right, bottom, left.
    const double top = v[0], right = n > 1 ? v[1] : v[0];
    const double bottom = n == 4 ? v[2] : top, left = n == 4 ? v[3] : right;
    if (margin) margin[0] = top, margin[1] = right, margin[2] = bottom, margin[3] = left;
    return true;
}

// ---- Layout -----------------------------------------------------------------------------

namespace {

bool is_image_page(const GeoPage *page) { return page->paper_w == 0 && page->paper_h == 0; }

int upright_orientation(int o) { return o >= 2 && o <= 8 ? o : 1; }

// The paper turned as the orientation says, for a picture of pic_w x pic_h points upright.
void turn_paper(const GeoPage *page, double pic_w, double pic_h, double *w, double *h) {
    const double lo = page->paper_w < page->paper_h ? page->paper_w : page->paper_h;
    const double hi = page->paper_w < page->paper_h ? page->paper_h : page->paper_w;
    *w = page->paper_w, *h = page->paper_h;
    const bool landscape = page->orientation == GEO_LANDSCAPE ||
                           (page->orientation == GEO_AUTO && pic_w > pic_h);
    const bool portrait = page->orientation == GEO_AUTO && pic_w < pic_h;
    if (landscape) *w = hi, *h = lo;
    if (portrait) *w = lo, *h = hi;
}

// How much the picture is scaled to fill its box, by the fit mode (`exact` is not a scale).
double fit_scale(int fit, double box_w, double box_h, double pic_w, double pic_h) {
    const double by_h = box_h / pic_h;
    const double by_w = box_w / pic_w;
    const double into = by_h < by_w ? by_h : by_w;
    switch (fit) {
    case GEO_FIT_FILL: return by_h < by_w ? by_w : by_h;
    case GEO_FIT_SHRINK: return into < 1 ? into : 1;
    case GEO_FIT_ENLARGE: return into > 1 ? into : 1;
    default: return into;
    }
}

void no_room(const GeoPage *page, double w, double h, char *why, size_t why_size) {
    if (!why || !why_size) return;
    const double *m = page->margin;
    std::snprintf(why, why_size, "no room for the picture on a %sx%s pt page with margins %s,%s,%s,%s pt",
                  fixed2(w).text, fixed2(h).text, fixed2(m[0]).text, fixed2(m[1]).text, fixed2(m[2]).text,
                  fixed2(m[3]).text);
}

void set_clip(GeoLayout *out, double x, double y, double w, double h) {
    out->clip = true;
    out->clip_x = x, out->clip_y = y, out->clip_w = w, out->clip_h = h;
}

}  // namespace

void geo_picture_dpi(const GeoPage *page, double setting_dpi, bool file_known, double file_x, double file_y,
                     GeoPicture *pic) {
    const bool takes = file_known && geo_dpi_ok(file_x) && geo_dpi_ok(file_y) &&
                       (is_image_page(page) || page->fit != GEO_FIT_INTO);
    pic->file_dpi = takes;
    pic->dpi_x = takes ? file_x : setting_dpi;
    pic->dpi_y = takes ? file_y : setting_dpi;
}

bool geo_lay_out(const GeoPage *page, const GeoPicture *pic, GeoLayout *out, char *why, size_t why_size) {
    if (pic->width <= 0 || pic->height <= 0 || !geo_dpi_ok(pic->dpi_x) || !geo_dpi_ok(pic->dpi_y))
        return say(why, why_size, "the picture has no size"), false;
    *out = GeoLayout{};
    const double *margin = page->margin;  // top, right, bottom, left
    // Each side keeps its own direction's resolution; a quarter turn then swaps the sides.
    const double stored_w = (pic->width * POINTS_PER_INCH) / pic->dpi_x;
    const double stored_h = (pic->height * POINTS_PER_INCH) / pic->dpi_y;
    const int o = upright_orientation(pic->orientation);
    const bool turned = geo_orientation_swaps_sides(o);
    const double pic_w = turned ? stored_h : stored_w, pic_h = turned ? stored_w : stored_h;
    if (is_image_page(page)) {
        out->page_w = pic_w + (margin[3] + margin[1]);
        out->page_h = pic_h + (margin[0] + margin[2]);
        geo_orientation_matrix(o, pic_w, pic_h, margin[3], margin[2], out->m);
        return true;
    }
    turn_paper(page, pic_w, pic_h, &out->page_w, &out->page_h);
    const double box_w = out->page_w - margin[3] - margin[1];
    const double box_h = out->page_h - margin[0] - margin[2];
    if (!(box_w > 0 && box_h > 0)) return no_room(page, out->page_w, out->page_h, why, why_size), false;
    double w = box_w, h = box_h;
    if (page->fit != GEO_FIT_EXACT) {
        const double scale = fit_scale(page->fit, box_w, box_h, pic_w, pic_h);
        w = pic_w * scale, h = pic_h * scale;
    }
    const double x = margin[3] + 0.5 * (box_w - w), y = margin[2] + 0.5 * (box_h - h);
    // `enlarge` keeps a picture larger than the box at its own size; the margins stay clear.
    const bool outgrows = pic_w > box_w || pic_h > box_h;
    if (page->fit == GEO_FIT_FILL || (page->fit == GEO_FIT_ENLARGE && outgrows))
        set_clip(out, margin[3], margin[2], box_w, box_h);
    geo_orientation_matrix(o, w, h, x, y, out->m);
    return true;
}

namespace {

// Matrix entries that are zero print as "0", the rest with two decimals.
Fixed2 matrix_entry(double v) {
    if (v != 0) return fixed2(v);
    Fixed2 f;
    f.text[0] = '0', f.text[1] = '\0';
    return f;
}

}  // namespace

int geo_content(const GeoLayout *layout, char *buf, size_t size) {
    char clip[256] = "";
    if (layout->clip)
        std::snprintf(clip, sizeof clip, "%s %s %s %s re W n\n", fixed2(layout->clip_x).text,
                      fixed2(layout->clip_y).text, fixed2(layout->clip_w).text, fixed2(layout->clip_h).text);
    const double *m = layout->m;
    return std::snprintf(buf, size, "q\n%s%s %s %s %s %s %s cm\n/Im0 Do\nQ\n", clip, matrix_entry(m[0]).text,
                         matrix_entry(m[1]).text, matrix_entry(m[2]).text, matrix_entry(m[3]).text,
                         fixed2(m[4]).text, fixed2(m[5]).text);
}

// ---- The EXIF matrix ----------------------------------------------------------------------

bool geo_orientation_swaps_sides(int orientation) { return orientation >= 5 && orientation <= 8; }

void geo_orientation_matrix(int o, double w, double h, double x, double y, double m[6]) {
    // The image fills the unit square, its first row at the top. With (u, v) the stored
    // picture's position (v downward) and (X, Y) the upright one's, EXIF gives
    //   2: X = 1-u, Y = v   3: X = 1-u, Y = 1-v   4: X = u, Y = 1-v   5: X = v, Y = u
    //   6: X = 1-v, Y = u   7: X = 1-v, Y = 1-u   8: X = v, Y = 1-u
    // and the page point is (x + w X, y + h (1 - Y)) with u = s, v = 1 - t for the unit
    // square's point (s, t); each row below is that map written as a matrix.
    static const double T[9][6] = {
        {1, 0, 0, 1, 0, 0},   // 0: none, as 1
        {1, 0, 0, 1, 0, 0},   // 1: upright
        {-1, 0, 0, 1, 1, 0},  // 2: mirrored left to right
        {-1, 0, 0, -1, 1, 1}, // 3: turned by 180 degrees
        {1, 0, 0, -1, 0, 1},  // 4: mirrored top to bottom
        {0, -1, -1, 0, 1, 1}, // 5: mirrored along the main diagonal
        {0, -1, 1, 0, 0, 1},  // 6: to be turned 90 degrees clockwise
        {0, 1, 1, 0, 0, 0},   // 7: mirrored along the other diagonal
        {0, 1, -1, 0, 1, 0},  // 8: to be turned 90 degrees anticlockwise
    };
    const double *t = T[o >= 1 && o <= 8 ? o : 0];
    // a and b scale the image's x axis, c and d its y axis; e and f the box corner.
    m[0] = t[0] * w;
    m[1] = t[1] * h;
    m[2] = t[2] * w;
    m[3] = t[3] * h;
    m[4] = x + t[4] * w;
    m[5] = y + t[5] * h;
}
