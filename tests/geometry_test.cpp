// geometry_test.cpp: every page layout (fit x orientation x paper or picture size x EXIF
// turn x margins) puts the page and the picture where a model written from the rules says;
// the historical page modes keep their exact numbers; the value parsers accept what they
// document and refuse the rest; a rendered `fill` page shows nothing outside its box.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "geometry.h"
#include "pdf_test_util.h"
#include "test_util.h"

namespace {

constexpr double A4_W = 595.28, A4_H = 841.89;

struct Rect {
    double x, y, w, h;
};
struct Model {
    double page_w, page_h;
    Rect pic;  // the upright picture on the page
    bool clip;
    Rect box;
};

// The rules as a user reads them, written without the unit's code paths.
Model model(const GeoPage &page, int width, int height, double dpi_x, double dpi_y, int o) {
    double w = width * 72 / dpi_x, h = height * 72 / dpi_y;
    if (o >= 5 && o <= 8) std::swap(w, h);
    const double top = page.margin[0], right = page.margin[1], bottom = page.margin[2], left = page.margin[3];
    Model m{};
    if (page.paper_w == 0) {
        m.page_w = left + w + right, m.page_h = bottom + h + top;
        m.pic = m.box = Rect{left, bottom, w, h};
        return m;
    }
    const double lo = std::fmin(page.paper_w, page.paper_h), hi = std::fmax(page.paper_w, page.paper_h);
    m.page_w = page.paper_w, m.page_h = page.paper_h;
    const bool wide = page.orientation == GEO_LANDSCAPE || (page.orientation == GEO_AUTO && w > h);
    const bool tall = page.orientation == GEO_AUTO && w < h;
    if (wide) m.page_w = hi, m.page_h = lo;
    if (tall) m.page_w = lo, m.page_h = hi;
    m.box = Rect{left, bottom, m.page_w - left - right, m.page_h - bottom - top};
    const double into = std::fmin(m.box.w / w, m.box.h / h);
    double k = into;
    if (page.fit == GEO_FIT_FILL) k = std::fmax(m.box.w / w, m.box.h / h);
    if (page.fit == GEO_FIT_SHRINK) k = std::fmin(into, 1);
    if (page.fit == GEO_FIT_ENLARGE) k = std::fmax(into, 1);
    const double pw = page.fit == GEO_FIT_EXACT ? m.box.w : w * k, ph = page.fit == GEO_FIT_EXACT ? m.box.h : h * k;
    m.pic = Rect{left + (m.box.w - pw) / 2, bottom + (m.box.h - ph) / 2, pw, ph};
    m.clip = page.fit == GEO_FIT_FILL || (page.fit == GEO_FIT_ENLARGE && (w > m.box.w || h > m.box.h));
    return m;
}

// Where the stored picture's top-left and top-right corners stand once it is upright, as
// corners of the upright picture: 0 top left, 1 top right, 2 bottom right, 3 bottom left.
constexpr int TOP_LEFT_GOES[9] = {0, 0, 1, 2, 3, 0, 1, 2, 3};
constexpr int TOP_RIGHT_GOES[9] = {1, 1, 0, 3, 2, 3, 2, 1, 0};

void corner(const Rect &r, int which, double *x, double *y) {
    *x = which == 1 || which == 2 ? r.x + r.w : r.x;
    *y = which == 2 || which == 3 ? r.y : r.y + r.h;
}

void expect_layout(const GeoLayout &got, const Model &want, int o) {
    const double eps = 1e-9 * (want.page_w + want.page_h);
    EXPECT_NEAR(got.page_w, want.page_w, eps);
    EXPECT_NEAR(got.page_h, want.page_h, eps);
    // The unit square's top corners (0,1) and (1,1) are the stored picture's top corners.
    const double *m = got.m;
    double x, y;
    corner(want.pic, TOP_LEFT_GOES[o], &x, &y);
    EXPECT_NEAR(m[2] + m[4], x, eps);
    EXPECT_NEAR(m[3] + m[5], y, eps);
    corner(want.pic, TOP_RIGHT_GOES[o], &x, &y);
    EXPECT_NEAR(m[0] + m[2] + m[4], x, eps);
    EXPECT_NEAR(m[1] + m[3] + m[5], y, eps);
    EXPECT_EQ(got.clip, want.clip);
    if (!got.clip || !want.clip) return;
    EXPECT_NEAR(got.clip_x, want.box.x, eps);
    EXPECT_NEAR(got.clip_y, want.box.y, eps);
    EXPECT_NEAR(got.clip_w, want.box.w, eps);
    EXPECT_NEAR(got.clip_h, want.box.h, eps);
}

struct Pic {
    int width, height;
    double dpi_x, dpi_y;
};

TEST(Geometry, EveryLayoutMatchesTheModel) {
    const Pic pics[] = {{300, 200, 150, 150}, {100, 400, 72, 144}, {5000, 5000, 300, 300}, {40, 40, 72, 72}};
    const double margins[][4] = {{0, 0, 0, 0}, {10, 20, 30, 40}};
    const double papers[][2] = {{0, 0}, {A4_W, A4_H}, {1224, 792}};  // image, A4, ledger
    for (const Pic &p : pics)
        for (const auto &paper : papers)
            for (const auto &margin : margins)
                for (int fit = GEO_FIT_INTO; fit <= GEO_FIT_ENLARGE; fit++)
                    for (int orient = GEO_PORTRAIT; orient <= GEO_AUTO; orient++)
                        for (int o : {1, 6, 3, 5, 8}) {
                            GeoPage page{paper[0], paper[1], orient, {margin[0], margin[1], margin[2], margin[3]}, fit};
                            GeoPicture pic{p.width, p.height, p.dpi_x, p.dpi_y, false, o};
                            SCOPED_TRACE(testing::Message() << p.width << "x" << p.height << " paper " << paper[0]
                                                            << " margin " << margin[0] << " fit " << fit
                                                            << " orientation " << orient << " exif " << o);
                            GeoLayout got;
                            ASSERT_TRUE(geo_lay_out(&page, &pic, &got, nullptr, 0));
                            expect_layout(got, model(page, p.width, p.height, p.dpi_x, p.dpi_y, o), o);
                        }
}

TEST(Geometry, MarginsThatLeaveNoRoomFailNamingPageAndMargins) {
    GeoPage page{A4_W, A4_H, GEO_LANDSCAPE, {300, 0, 300, 0}, GEO_FIT_FILL};
    GeoPicture pic{10, 10, 72, 72, false, 1};
    GeoLayout out;
    char why[200] = "";
    EXPECT_FALSE(geo_lay_out(&page, &pic, &out, why, sizeof why));
    EXPECT_STREQ(why, "no room for the picture on a 841.89x595.28 pt page with margins 300.00,0.00,300.00,0.00 pt");
    page.orientation = GEO_PORTRAIT;  // the same margins fit the upright page
    EXPECT_TRUE(geo_lay_out(&page, &pic, &out, why, sizeof why));
    pic.width = 0;
    EXPECT_FALSE(geo_lay_out(&page, &pic, &out, nullptr, 0));
}

// The writer's placement before the unit existed, expression for expression: the
// historical modes must give these doubles bit for bit.
void historical(int mode, int dpi, int width, int height, double file_x, double file_y, int o, double page[2],
                double m[6]) {
    static const double PAPER[4][2] = {{0, 0}, {595.28, 841.89}, {612, 792}, {841.89, 1190.55}};
    const bool file = mode == 0 && file_x >= 1 && file_x <= 10000 && file_y >= 1 && file_y <= 10000;
    const double dx = file ? file_x : dpi, dy = file ? file_y : dpi;
    const double sw = (width * 72.0) / dx, sh = (height * 72.0) / dy;
    const bool turned = o >= 5 && o <= 8;
    const double iw = turned ? sh : sw, ih = turned ? sw : sh;
    double scale = 1.0, ox = 0, oy = 0;
    page[0] = iw, page[1] = ih;
    if (mode) {
        page[0] = PAPER[mode][0], page[1] = PAPER[mode][1];
        double by_h = page[1] / ih, by_w = page[0] / iw;
        scale = by_h < by_w ? by_h : by_w;
        ox = 0.5 * (page[0] - iw * scale);
        oy = 0.5 * (page[1] - ih * scale);
    }
    geo_orientation_matrix(o, iw * scale, ih * scale, ox, oy, m);
}

TEST(Geometry, HistoricalModesKeepTheirExactNumbers) {
    const Pic pics[] = {{1, 1, 0, 0}, {640, 480, 96, 96}, {3, 1000, 72.5, 300}, {4321, 1234, 9999, 1}, {7, 9, 0.5, 20000}};
    for (int mode = 0; mode <= 3; mode++)
        for (const Pic &p : pics)
            for (int dpi : {1, 72, 150, 333, 10000})
                for (int o = 0; o <= 9; o++) {
                    GeoPage page;
                    ASSERT_TRUE(geo_page_from_mode(mode, &page));
                    GeoPicture pic{p.width, p.height, 0, 0, false, o};
                    geo_picture_dpi(&page, dpi, p.dpi_x != 0, p.dpi_x, p.dpi_y, &pic);
                    GeoLayout got;
                    ASSERT_TRUE(geo_lay_out(&page, &pic, &got, nullptr, 0));
                    double want_page[2], want_m[6];
                    historical(mode, dpi, p.width, p.height, p.dpi_x, p.dpi_y, o, want_page, want_m);
                    EXPECT_EQ(std::memcmp(&got.page_w, &want_page[0], 8), 0) << mode << " " << dpi << " " << o;
                    EXPECT_EQ(std::memcmp(&got.page_h, &want_page[1], 8), 0) << mode << " " << dpi << " " << o;
                    EXPECT_EQ(std::memcmp(got.m, want_m, sizeof want_m), 0) << mode << " " << dpi << " " << o;
                    EXPECT_FALSE(got.clip);
                }
    EXPECT_FALSE(geo_page_from_mode(4, nullptr));
    EXPECT_FALSE(geo_page_from_mode(-1, nullptr));
}

TEST(Geometry, FileResolutionSizesEveryPageButPaperInInto) {
    GeoPage page{A4_W, A4_H, GEO_PORTRAIT, {0, 0, 0, 0}, GEO_FIT_INTO};
    GeoPicture pic{100, 100, 0, 0, false, 1};
    geo_picture_dpi(&page, 150, true, 300, 600, &pic);
    EXPECT_FALSE(pic.file_dpi);
    EXPECT_EQ(pic.dpi_y, 150);
    page.fit = GEO_FIT_SHRINK;
    geo_picture_dpi(&page, 150, true, 300, 600, &pic);
    EXPECT_TRUE(pic.file_dpi);
    EXPECT_EQ(pic.dpi_y, 600);
    geo_picture_dpi(&page, 150, true, 300, 10001, &pic);  // out of range: the setting's
    EXPECT_FALSE(pic.file_dpi);
    EXPECT_EQ(pic.dpi_x, 150);
    EXPECT_TRUE(geo_dpi_ok(1) && geo_dpi_ok(10000));
    EXPECT_FALSE(geo_dpi_ok(0.999) || geo_dpi_ok(10000.5) || geo_dpi_ok(std::nan("")));
}

TEST(Geometry, ContentStreamClipsOnlyWhenAsked) {
    GeoLayout l{};
    l.page_w = 100, l.page_h = 50;
    geo_orientation_matrix(6, 40, 30, 5, 10, l.m);
    char buf[256];
    int n = geo_content(&l, buf, sizeof buf);
    EXPECT_STREQ(buf, "q\n0 -30.00 40.00 0 5.00 40.00 cm\n/Im0 Do\nQ\n");
    EXPECT_EQ(n, (int)std::strlen(buf));
    l.clip = true, l.clip_x = 1, l.clip_y = 2.5, l.clip_w = 98, l.clip_h = 45.125;
    n = geo_content(&l, buf, sizeof buf);
    EXPECT_STREQ(buf, "q\n1.00 2.50 98.00 45.12 re W n\n0 -30.00 40.00 0 5.00 40.00 cm\n/Im0 Do\nQ\n");
    EXPECT_EQ(geo_content(&l, nullptr, 0), n);
}

// ---- Parsers ------------------------------------------------------------------------------

TEST(GeometryParse, PageSizes) {
    struct Case {
        const char *value;
        double w, h;
    };
    const Case good[] = {
        {"image", 0, 0},        {"A4", 595.28, 841.89},   {"a3", 841.89, 1190.55}, {"Letter", 612, 792},
        {"a10", 73.7, 104.88},  {"b0", 2834.65, 4008.19}, {"c6", 323.15, 459.21},  {"ledger", 1224, 792},
        {"executive", 522, 756}, {" statement ", 396, 612}, {"8.5x11in", 612, 792}, {"100x200", 100, 200},
        {"210x297mm", 210 * 72 / 25.4, 297 * 72 / 25.4}, {"21X29.7CM", 21 * 72 / 2.54, 29.7 * 72 / 2.54},
        {"3x14400pt", 3, 14400}, {"1inx72", 72, 72},      {"10mmx2in", 720 / 25.4, 144},
    };
    for (const Case &c : good) {
        double w = -1, h = -1;
        EXPECT_TRUE(geo_parse_page_size(c.value, &w, &h, nullptr, 0)) << c.value;
        EXPECT_NEAR(w, c.w, 1e-9) << c.value;
        EXPECT_NEAR(h, c.h, 1e-9) << c.value;
    }
    for (const char *bad : {"", "a11", "b11", "c3", "a4x", "x297", "2.9x100", "100x14401", "-100x200", "1e3x100",
                            "100x200km", "1..5x100", "inf x 100", "a4 landscape", "100 x 200 mm x 3"}) {
        double w = 7, h = 7;
        char why[300] = "";
        EXPECT_FALSE(geo_parse_page_size(bad, &w, &h, why, sizeof why)) << bad;
        EXPECT_EQ(w, 7) << bad;
        EXPECT_NE(std::strstr(why, "accepted: image, a0-a10"), nullptr) << bad;
    }
    EXPECT_FALSE(geo_parse_page_size(nullptr, nullptr, nullptr, nullptr, 0));
}

TEST(GeometryParse, Margins) {
    struct Case {
        const char *value;
        double top, right, bottom, left;
    };
    const Case good[] = {
        {"0", 0, 0, 0, 0},
        {"10", 10, 10, 10, 10},
        {"1in,2cm", 72, 2 * 72 / 2.54, 72, 2 * 72 / 2.54},
        {"1, 2 ,3,4.5MM", 1, 2, 3, 4.5 * 72 / 25.4},
        {"14400pt", 14400, 14400, 14400, 14400},
    };
    for (const Case &c : good) {
        double m[4] = {-1, -1, -1, -1};
        EXPECT_TRUE(geo_parse_margin(c.value, m, nullptr, 0)) << c.value;
        EXPECT_NEAR(m[0], c.top, 1e-9) << c.value;
        EXPECT_NEAR(m[1], c.right, 1e-9) << c.value;
        EXPECT_NEAR(m[2], c.bottom, 1e-9) << c.value;
        EXPECT_NEAR(m[3], c.left, 1e-9) << c.value;
    }
    for (const char *bad : {"", ",", "1,", "1,2,3", "1,2,3,4,5", "-1", "1cm 2cm", "14401", "2km", "1:2"}) {
        char why[300] = "";
        EXPECT_FALSE(geo_parse_margin(bad, nullptr, why, sizeof why)) << bad;
        EXPECT_NE(std::strstr(why, "accepted: 1, 2"), nullptr) << bad;
    }
}

TEST(GeometryParse, OrientationsAndFits) {
    int v = -1;
    const char *orientations[] = {"portrait", "LANDSCAPE", " Auto"};
    for (int i = 0; i < 3; i++) EXPECT_TRUE(geo_parse_orientation(orientations[i], &v, nullptr, 0) && v == i);
    const char *fits[] = {"into", "Fill", "EXACT", "shrink", "enlarge"};
    for (int i = 0; i < 5; i++) EXPECT_TRUE(geo_parse_fit(fits[i], &v, nullptr, 0) && v == i);
    char why[100];
    EXPECT_FALSE(geo_parse_orientation("upright", &v, why, sizeof why));
    EXPECT_STREQ(why, "accepted: portrait, landscape, auto");
    EXPECT_FALSE(geo_parse_fit("stretch", &v, why, sizeof why));
    EXPECT_STREQ(why, "accepted: into, fill, exact, shrink, enlarge");
    EXPECT_EQ(v, 4);
    char tiny[8];
    EXPECT_FALSE(geo_parse_fit("", &v, tiny, sizeof tiny));  // cut, still terminated
    EXPECT_EQ(std::strlen(tiny), 7u);
}

// ---- Rendered pages -------------------------------------------------------------------------
// One page drawn by hand around the unit's content stream: the margins grey, the box white,
// then the picture: four coloured quadrants in a black frame with a dark disc in the middle
// (so a clipped side, a stretch and a turn all show), stored on its side, EXIF 6.
constexpr int PIC_W = 60, PIC_H = 40;

struct Rgb {
    uint8_t c[3];
};

Rgb stored_colour(int r, int c) {
    static const Rgb QUADRANT[4] = {{{255, 0, 0}}, {{0, 160, 0}}, {{0, 0, 255}}, {{255, 255, 0}}};  // TL TR BL BR
    if (r < 2 || r >= PIC_H - 2 || c < 2 || c >= PIC_W - 2) return Rgb{{0, 0, 0}};
    if ((c - 29.5) * (c - 29.5) + (r - 19.5) * (r - 19.5) < 100) return Rgb{{64, 64, 64}};
    return QUADRANT[(r >= PIC_H / 2) * 2 + (c >= PIC_W / 2)];
}

std::string one_page_pdf(const GeoLayout &l, const Rect &box) {
    std::string pixels;
    for (int r = 0; r < PIC_H; r++)
        for (int c = 0; c < PIC_W; c++) pixels.append((const char *)stored_colour(r, c).c, 3);
    char content[600];
    int n = std::snprintf(content, sizeof content, "0.8 g 0 0 %.4f %.4f re f 1 g %.4f %.4f %.4f %.4f re f\n", l.page_w,
                          l.page_h, box.x, box.y, box.w, box.h);
    n += geo_content(&l, content + n, sizeof content - n);
    char page[200];
    std::snprintf(page, sizeof page, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.4f %.4f] "
                  "/Resources << /XObject << /Im0 4 0 R >> >> /Contents 5 0 R >>", l.page_w, l.page_h);
    const std::string objects[] = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        page,
        "<< /Type /XObject /Subtype /Image /Width " + std::to_string(PIC_W) + " /Height " + std::to_string(PIC_H) +
            " /ColorSpace /DeviceRGB /BitsPerComponent 8 /Length " + std::to_string(pixels.size()) + " >>\nstream\n" +
            pixels + "\nendstream",
        "<< /Length " + std::to_string(n) + " >>\nstream\n" + std::string(content, n) + "\nendstream",
    };
    std::string pdf = "%PDF-1.4\n", xref = "xref\n0 6\n0000000000 65535 f \n";
    for (int i = 0; i < 5; i++) {
        char entry[24];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
        xref += entry;
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t at = pdf.size();
    return pdf + xref + "trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n" + std::to_string(at) + "\n%%EOF\n";
}

// The colour the page shows at (x, y) points by the model, or false near an edge, where
// smoothing may blend colours.
bool expected_colour(const Model &m, double x, double y, Rgb *out) {
    auto near = [](double v, double edge) { return std::fabs(v - edge) < 3; };
    const Rect &b = m.box, &p = m.pic;
    if (near(x, b.x) || near(x, b.x + b.w) || near(y, b.y) || near(y, b.y + b.h)) return false;
    if (x < b.x || x > b.x + b.w || y < b.y || y > b.y + b.h) return *out = Rgb{{204, 204, 204}}, true;
    if (near(x, p.x) || near(x, p.x + p.w) || near(y, p.y) || near(y, p.y + p.h)) return false;
    if (x < p.x || x > p.x + p.w || y < p.y || y > p.y + p.h) return *out = Rgb{{255, 255, 255}}, true;
    // EXIF 6 stands the stored row 0 on the right: the upright column (X rightwards) is the
    // stored 1 - row, the upright row (Y downwards) the stored column.
    const double X = (x - p.x) / p.w, Y = (p.y + p.h - y) / p.h;
    const int col = (int)(Y * PIC_W), row = (int)((1 - X) * PIC_H);
    *out = stored_colour(row, col);
    for (int dr = -1; dr <= 1; dr++)
        for (int dc = -1; dc <= 1; dc++)
            if (std::memcmp(stored_colour(row + dr, col + dc).c, out->c, 3) != 0) return false;
    return true;
}

// Renders an A4 page per fit mode at 72 dpi (one pixel per point) and compares every fifth
// pixel with the model: nothing of the picture outside its box, the picture where the model
// puts it. FOLIAN_LAYOUT_PICTURES=dir keeps small renderings for the documentation.
TEST(GeometryRender, PagesShowThePictureWhereTheModelPutsItAndNothingOutsideTheBox) {
    if (!have_program("pdftocairo")) GTEST_SKIP() << "pdftocairo missing";
    const char *keep = std::getenv("FOLIAN_LAYOUT_PICTURES");
    const char *names[] = {"into", "fill", "exact", "shrink", "enlarge"};
    TempDir tmp;
    for (int fit = GEO_FIT_INTO; fit <= GEO_FIT_ENLARGE; fit++) {
        SCOPED_TRACE(names[fit]);
        GeoPage page{A4_W, A4_H, GEO_AUTO, {72, 36, 72, 36}, fit};
        GeoPicture pic{PIC_W, PIC_H, 18, 18, false, 6};  // 240 x 160 pt stored, turned upright
        GeoLayout l;
        ASSERT_TRUE(geo_lay_out(&page, &pic, &l, nullptr, 0));
        const Model m = model(page, PIC_W, PIC_H, 18, 18, 6);
        const std::string pdf = tmp.file(std::string("fit-") + names[fit] + ".pdf");
        const std::string text = one_page_pdf(l, m.box);
        write_file(pdf, std::vector<uint8_t>(text.begin(), text.end()));
        int w = 0, h = 0;
        const std::vector<uint8_t> rgb = render_page(pdf, 1, 72, &w, &h);
        ASSERT_NEAR(w, l.page_w, 1);
        ASSERT_NEAR(h, l.page_h, 1);
        int wrong = 0;
        for (int row = 2; row < h; row += 5)
            for (int col = 2; col < w; col += 5) {
                Rgb want;
                const uint8_t *got = &rgb[((size_t)row * w + col) * 3];
                if (expected_colour(m, col + 0.5, m.page_h - row - 0.5, &want) && std::memcmp(want.c, got, 3) != 0 &&
                    wrong++ < 5)
                    ADD_FAILURE() << "pixel " << col << "," << row << " is " << (int)got[0] << " " << (int)got[1]
                                  << " " << (int)got[2];
            }
        EXPECT_EQ(wrong, 0);
        if (keep)
            run_command("pdftocairo -png -r 20 -singlefile '" + pdf + "' '" + keep + "/fit-" + names[fit] + "'");
    }
}

}  // namespace
