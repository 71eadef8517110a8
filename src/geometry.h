// geometry.h: page geometry, the one place that decides a page's size and where its picture
// goes: paper sizes, orientation, margins, fit modes, the resolution rule and the EXIF matrix,
// plus the parsers of the layout settings' values.
#ifndef FOLIAN_GEOMETRY_H
#define FOLIAN_GEOMETRY_H

#include <cstddef>

// The one resolution rule: 1 to 10000 dots per inch (files, settings, the tool).
constexpr double GEO_MIN_DPI = 1, GEO_MAX_DPI = 10000;
bool geo_dpi_ok(double dpi);

// Page sides a document may have, in points (what viewers are required to show).
constexpr double GEO_MIN_SIDE = 3, GEO_MAX_SIDE = 14400;

enum GeoOrientation { GEO_PORTRAIT, GEO_LANDSCAPE, GEO_AUTO };
enum GeoFit { GEO_FIT_INTO, GEO_FIT_FILL, GEO_FIT_EXACT, GEO_FIT_SHRINK, GEO_FIT_ENLARGE };

// A document's layout settings.
struct GeoPage {
    double paper_w, paper_h;  // points, as named or given; 0 and 0: the page is the picture ("image")
    int orientation;          // GeoOrientation; portrait keeps the paper as named, landscape puts
                              // its long side horizontal, auto turns it to the picture
    double margin[4];         // top, right, bottom, left, in points
    int fit;                  // GeoFit; on "image" pages the picture keeps its own size
};
// The four historical page-size modes (0 image, 1 A4, 2 Letter, 3 A3) with their exact numbers:
// portrait, no margins, `into`. False for any other mode.
bool geo_page_from_mode(int mode, GeoPage *out);

// Value parsers for the settings keys page-size, orientation, margin, fit. Case-insensitive.
// On failure they return false, leave the outputs alone and write into why[0..why_size) the
// accepted values (the settings unit prefixes the key and the value); `why` may be null.
bool geo_parse_page_size(const char *value, double *w, double *h, char *why, size_t why_size);
bool geo_parse_orientation(const char *value, int *orientation, char *why, size_t why_size);
bool geo_parse_margin(const char *value, double margin[4], char *why, size_t why_size);
bool geo_parse_fit(const char *value, int *fit, char *why, size_t why_size);

// One picture as its file gives it.
struct GeoPicture {
    int width, height;    // pixels as stored
    double dpi_x, dpi_y;  // the resolution that sizes it (see geo_picture_dpi)
    bool file_dpi;        // dpi_x/dpi_y came from the file
    int orientation;      // EXIF orientation 1 to 8 (1: as stored; anything else outside 2..8 is 1)
};
// Fills pic->dpi_x, dpi_y and file_dpi: the file's resolution when `file_known` (the file gave
// one and the conversion reads it), both values pass geo_dpi_ok and the page takes it, else
// `setting_dpi` both ways. Paper pages in `into` never take it: the fit cancels the size, and
// their bytes stay as they were before pages could have other fits.
void geo_picture_dpi(const GeoPage *page, double setting_dpi, bool file_known, double file_x, double file_y,
                     GeoPicture *pic);

struct GeoLayout {
    double page_w, page_h;   // the MediaBox
    double m[6];             // maps the unit square (the stored picture) upright onto the page
    bool clip;               // what falls outside the clip box is not drawn: `fill` always, and
                             // `enlarge` when the picture at its own size outgrows the box
    double clip_x, clip_y, clip_w, clip_h;
};
// Lays one picture out with its sizes from pic->dpi_x/dpi_y as given. False when the margins
// leave no room (why names the page size and margins) or the picture has no size (why says so).
bool geo_lay_out(const GeoPage *page, const GeoPicture *pic, GeoLayout *out, char *why, size_t why_size);
// The page's content stream, "q\n<matrix> cm\n/Im0 Do\nQ\n" when there is no clip, with
// "x y w h re W n\n" after the first "q\n" when there is. Returns the length it needs without
// the terminating zero (like snprintf), writing at most `size` bytes, always terminated.
int geo_content(const GeoLayout *layout, char *buf, size_t size);

// ---- The EXIF matrix ----------------------------------------------------------------------
// True for orientations 5 to 8, whose upright picture is the stored one turned by 90
// degrees: its width is the stored height.
bool geo_orientation_swaps_sides(int orientation);
// The placement matrix [a b c d e f] that draws the image upright into the box of
// `box_w` x `box_h` points at (x, y), the box being the upright picture's size. An
// orientation outside 2 to 8 gives the plain matrix [box_w 0 0 box_h x y].
void geo_orientation_matrix(int orientation, double box_w, double box_h, double x, double y, double m[6]);

#endif
