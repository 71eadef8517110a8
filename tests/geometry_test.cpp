// geometry_test.cpp: every page layout (fit x orientation x paper or picture size x EXIF
// turn x margins) puts the page and the picture where a model written from the rules says;
// the historical page modes keep their exact numbers; the value parsers accept what they
// document and refuse the rest; rendered pages show nothing outside their box.
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

struct Rect {
    double x, y, w, h;
};
struct Model {
    double page_w, page_h;
    Rect pic, box;  // the upright picture; the page inside the margins
    bool clip;
};

// The rules as a user reads them, written without the unit's code paths.
Model model(const GeoPage &page, int width, int height, double dpi_x, double dpi_y, int o) {
    double w = width * 72 / dpi_x, h = height * 72 / dpi_y;
    if (o >= 5 && o <= 8) std::swap(w, h);
    const double top = page.margin[0], right = page.margin[1], bottom = page.margin[2], left = page.margin[3];
    if (page.paper_w == 0) return Model{left + w + right, bottom + h + top, {left, bottom, w, h}, {}, false};
    const double lo = std::fmin(page.paper_w, page.paper_h), hi = std::fmax(page.paper_w, page.paper_h);
    Model m{page.paper_w, page.paper_h, {}, {}, false};
    if (page.orientation == GEO_LANDSCAPE || (page.orientation == GEO_AUTO && w > h)) m.page_w = hi, m.page_h = lo;
    if (page.orientation == GEO_AUTO && w < h) m.page_w = lo, m.page_h = hi;
    m.box = Rect{left, bottom, m.page_w - left - right, m.page_h - bottom - top};
    const double into = std::fmin(m.box.w / w, m.box.h / h);
    const double k = page.fit == GEO_FIT_FILL     ? std::fmax(m.box.w / w, m.box.h / h)
                     : page.fit == GEO_FIT_SHRINK  ? std::fmin(into, 1)
                     : page.fit == GEO_FIT_ENLARGE ? std::fmax(into, 1)
                                                   : into;
    const bool exact = page.fit == GEO_FIT_EXACT;
    const double pw = exact ? m.box.w : w * k, ph = exact ? m.box.h : h * k;
    m.pic = Rect{left + (m.box.w - pw) / 2, bottom + (m.box.h - ph) / 2, pw, ph};
    m.clip = page.fit == GEO_FIT_FILL || (page.fit == GEO_FIT_ENLARGE && (w > m.box.w || h > m.box.h));
    return m;
}

// Which corner of the upright picture (0 top left, 1 top right, 2 bottom right, 3 bottom
// left) the stored picture's top-left and top-right corners stand on, by EXIF orientation.
constexpr int TOP_LEFT_GOES[9] = {0, 0, 1, 2, 3, 0, 1, 2, 3};
constexpr int TOP_RIGHT_GOES[9] = {1, 1, 0, 3, 2, 3, 2, 1, 0};

void expect_layout(const GeoLayout &got, const Model &want, int o) {
    const double eps = 1e-9 * (want.page_w + want.page_h);
    EXPECT_NEAR(got.page_w, want.page_w, eps);
    EXPECT_NEAR(got.page_h, want.page_h, eps);
    // The unit square's points (0,1) and (1,1) are the stored picture's top corners.
    const double *m = got.m;
    const double at[2][2] = {{m[2] + m[4], m[3] + m[5]}, {m[0] + m[2] + m[4], m[1] + m[3] + m[5]}};
    const int goes[2] = {TOP_LEFT_GOES[o], TOP_RIGHT_GOES[o]};
    for (int i = 0; i < 2; i++) {
        const Rect &r = want.pic;
        EXPECT_NEAR(at[i][0], goes[i] == 1 || goes[i] == 2 ? r.x + r.w : r.x, eps);
        EXPECT_NEAR(at[i][1], goes[i] >= 2 ? r.y : r.y + r.h, eps);
    }
    ASSERT_EQ(got.clip, want.clip);
    if (got.clip) {
        EXPECT_NEAR(got.clip_x, want.box.x, eps);
        EXPECT_NEAR(got.clip_y, want.box.y, eps);
        EXPECT_NEAR(got.clip_w, want.box.w, eps);
        EXPECT_NEAR(got.clip_h, want.box.h, eps);
    }
}

struct Pic {
    int width, height;
    double dpi_x, dpi_y;
};

TEST(Geometry, EveryLayoutMatchesTheModel) {
    const Pic pics[] = {{300, 200, 150, 150}, {100, 400, 72, 144}, {5000, 5000, 300, 300}, {40, 40, 72, 72}};
    const double margins[][4] = {{0, 0, 0, 0}, {10, 20, 30, 40}};
    const double papers[][2] = {{0, 0}, {595.28, 841.89}, {1224, 792}};  // image, A4, ledger
    for (const Pic &p : pics)
        for (const auto &paper : papers)
            for (const auto &mg : margins)
                for (int fit = GEO_FIT_INTO; fit <= GEO_FIT_ENLARGE; fit++)
                    for (int orient = GEO_PORTRAIT; orient <= GEO_AUTO; orient++)
                        for (int o : {1, 6, 3, 5, 8}) {
                            SCOPED_TRACE(testing::Message() << p.width << "x" << p.height << " paper " << paper[0]
                                                            << " margin " << mg[0] << " fit " << fit
                                                            << " orientation " << orient << " exif " << o);
                            GeoPage page{paper[0], paper[1], orient, {mg[0], mg[1], mg[2], mg[3]}, fit};
                            GeoPicture pic{p.width, p.height, p.dpi_x, p.dpi_y, false, o};
                            GeoLayout got;
                            ASSERT_TRUE(geo_lay_out(&page, &pic, &got, nullptr, 0));
                            expect_layout(got, model(page, p.width, p.height, p.dpi_x, p.dpi_y, o), o);
                        }
}

TEST(Geometry, NoRoomFailsNamingPageAndMarginsAndOnlyPaperIntoIgnoresTheFileResolution) {
    GeoPage page{595.28, 841.89, GEO_LANDSCAPE, {300, 0, 300, 0}, GEO_FIT_INTO};
    GeoPicture pic{10, 10, 72, 72, false, 1};
    GeoLayout out;
    char why[200] = "";
    EXPECT_FALSE(geo_lay_out(&page, &pic, &out, why, sizeof why));
    EXPECT_STREQ(why, "no room for the picture on a 841.89x595.28 pt page with margins 300.00,0.00,300.00,0.00 pt");
    page.orientation = GEO_PORTRAIT;  // the same margins leave room on the upright page
    EXPECT_TRUE(geo_lay_out(&page, &pic, &out, why, sizeof why));

    geo_picture_dpi(&page, 150, true, 300, 600, &pic);
    EXPECT_TRUE(!pic.file_dpi && pic.dpi_x == 150 && pic.dpi_y == 150);
    page.fit = GEO_FIT_SHRINK;
    geo_picture_dpi(&page, 150, true, 300, 600, &pic);
    EXPECT_TRUE(pic.file_dpi && pic.dpi_x == 300 && pic.dpi_y == 600);
    geo_picture_dpi(&page, 150, true, 300, 10001, &pic);  // out of range: the setting's
    EXPECT_TRUE(!pic.file_dpi && pic.dpi_x == 150);
    EXPECT_FALSE(geo_dpi_ok(0.999) || geo_dpi_ok(10000.5) || geo_dpi_ok(std::nan("")) || !geo_dpi_ok(10000));
}

// The writer's placement before the unit existed, expression for expression: the
// historical modes must give these doubles bit for bit.
void historical(int mode, int dpi, const Pic &p, int o, double page[2], double m[6]) {
    static const double PAPER[4][2] = {{0, 0}, {595.28, 841.89}, {612, 792}, {841.89, 1190.55}};
    const bool file = mode == 0 && p.dpi_x >= 1 && p.dpi_x <= 10000 && p.dpi_y >= 1 && p.dpi_y <= 10000;
    const double sw = (p.width * 72.0) / (file ? p.dpi_x : dpi), sh = (p.height * 72.0) / (file ? p.dpi_y : dpi);
    const bool turned = o >= 5 && o <= 8;
    const double iw = turned ? sh : sw, ih = turned ? sw : sh;
    double scale = 1.0, ox = 0, oy = 0;
    page[0] = mode ? PAPER[mode][0] : iw, page[1] = mode ? PAPER[mode][1] : ih;
    if (mode) {
        double by_h = page[1] / ih, by_w = page[0] / iw;
        scale = by_h < by_w ? by_h : by_w;
        ox = 0.5 * (page[0] - iw * scale), oy = 0.5 * (page[1] - ih * scale);
    }
    geo_orientation_matrix(o, iw * scale, ih * scale, ox, oy, m);
}

TEST(Geometry, HistoricalModesKeepTheirExactNumbersAndContent) {
    const Pic pics[] = {{1, 1, 0, 0}, {640, 480, 96, 96}, {3, 1000, 72.5, 300}, {4321, 1234, 9999, 1}, {7, 9, 0.5, 2e4}};
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
                    historical(mode, dpi, p, o, want_page, want_m);
                    EXPECT_TRUE(std::memcmp(&got.page_w, &want_page[0], 8) == 0 &&
                                std::memcmp(&got.page_h, &want_page[1], 8) == 0 &&
                                std::memcmp(got.m, want_m, sizeof want_m) == 0 && !got.clip)
                        << mode << " " << p.width << " " << dpi << " " << o;
                }
    EXPECT_FALSE(geo_page_from_mode(4, nullptr) || geo_page_from_mode(-1, nullptr));
    GeoLayout l{};
    geo_orientation_matrix(6, 40, 30, 5, 10, l.m);
    char buf[256];
    EXPECT_EQ(geo_content(&l, buf, sizeof buf), 43);
    EXPECT_STREQ(buf, "q\n0 -30.00 40.00 0 5.00 40.00 cm\n/Im0 Do\nQ\n");
    l.clip = true, l.clip_x = 1, l.clip_y = 2.5, l.clip_w = 98, l.clip_h = 45.125;
    EXPECT_EQ(geo_content(&l, nullptr, 0), geo_content(&l, buf, sizeof buf));
    EXPECT_STREQ(buf, "q\n1.00 2.50 98.00 45.12 re W n\n0 -30.00 40.00 0 5.00 40.00 cm\n/Im0 Do\nQ\n");
}

// ---- Parsers ------------------------------------------------------------------------------

TEST(GeometryParse, PageSizesAndMargins) {
    const double MM = 72 / 25.4, CM = 72 / 2.54;
    struct Size {
        const char *value;
        double w, h;
    } sizes[] = {{"image", 0, 0},         {"A4", 595.28, 841.89},  {"a3", 841.89, 1190.55}, {"Letter", 612, 792},
                 {"a10", 73.7, 104.88},   {"b0", 2834.65, 4008.19}, {"c6", 323.15, 459.21}, {"ledger", 1224, 792},
                 {" statement ", 396, 612}, {"8.5x11in", 612, 792}, {"100x200", 100, 200},  {"3x14400pt", 3, 14400},
                 {"210x297mm", 210 * MM, 297 * MM}, {"21X29.7CM", 21 * CM, 29.7 * CM}, {"10mmx2in", 10 * MM, 144}};
    for (const Size &c : sizes) {
        double w = -1, h = -1;
        EXPECT_TRUE(geo_parse_page_size(c.value, &w, &h, nullptr, 0) && std::fabs(w - c.w) < 1e-9 &&
                    std::fabs(h - c.h) < 1e-9) << c.value;
    }
    char why[300];
    for (const char *bad : {"", "a11", "c3", "a4x", "x297", "2.9x100", "100x14401", "-100x200", "1e3x100", "1x2km",
                            "1..5x100", "inf x 100", "a4 landscape", "1x2x3"}) {
        double w = 7;
        EXPECT_FALSE(geo_parse_page_size(bad, &w, nullptr, why, sizeof why)) << bad;
        EXPECT_TRUE(w == 7 && std::strstr(why, "accepted: image, a0-a10")) << bad;
    }
    struct Margin {
        const char *value;
        double top, right, bottom, left;
    } margins[] = {{"10", 10, 10, 10, 10}, {"1in,2cm", 72, 2 * CM, 72, 2 * CM}, {"1, 2 ,3,4.5MM", 1, 2, 3, 4.5 * MM}};
    for (const Margin &c : margins) {
        double m[4];
        EXPECT_TRUE(geo_parse_margin(c.value, m, nullptr, 0)) << c.value;
        EXPECT_TRUE(std::fabs(m[0] - c.top) + std::fabs(m[1] - c.right) + std::fabs(m[2] - c.bottom) +
                        std::fabs(m[3] - c.left) < 1e-9) << c.value;
    }
    for (const char *bad : {"", ",", "1,", "1,2,3", "1,2,3,4,5", "-1", "1cm 2cm", "14401", "1:2"}) {
        EXPECT_FALSE(geo_parse_margin(bad, nullptr, why, sizeof why)) << bad;
        EXPECT_NE(std::strstr(why, "accepted: 1, 2"), nullptr) << bad;
    }
}

TEST(GeometryParse, OrientationsAndFits) {
    int v = -1;
    const char *orientations[] = {"portrait", "LANDSCAPE", " Auto"}, *fits[] = {"into", "Fill", "EXACT", "shrink", "enlarge"};
    for (int i = 0; i < 3; i++) EXPECT_TRUE(geo_parse_orientation(orientations[i], &v, nullptr, 0) && v == i);
    for (int i = 0; i < 5; i++) EXPECT_TRUE(geo_parse_fit(fits[i], &v, nullptr, 0) && v == i);
    char why[100], tiny[8];
    EXPECT_FALSE(geo_parse_orientation("upright", &v, why, sizeof why));
    EXPECT_STREQ(why, "accepted: portrait, landscape, auto");
    EXPECT_FALSE(geo_parse_fit("stretch", &v, why, sizeof why) || v != 4);
    EXPECT_STREQ(why, "accepted: into, fill, exact, shrink, enlarge");
    EXPECT_FALSE(geo_parse_fit(nullptr, &v, tiny, sizeof tiny));  // cut, still terminated
    EXPECT_EQ(std::strlen(tiny), 7u);
}

// ---- Rendered pages -------------------------------------------------------------------------
// One A4 page per fit mode drawn by hand around the unit's content stream: the margins grey,
// the box white, then the picture: four coloured quadrants in a black frame with a dark disc
// (so a clipped side, a stretch and a turn all show), stored on its side, EXIF 6.
constexpr int PIC_W = 60, PIC_H = 40;

std::string picture_rgb() {
    static const char QUADRANT[4][3] = {{'\xff', 0, 0}, {0, '\xa0', 0}, {0, 0, '\xff'}, {'\xff', '\xff', 0}};
    std::string rgb;
    for (int r = 0; r < PIC_H; r++)
        for (int c = 0; c < PIC_W; c++) {
            const bool frame = r < 2 || r >= PIC_H - 2 || c < 2 || c >= PIC_W - 2;
            const bool disc = (c - 29.5) * (c - 29.5) + (r - 19.5) * (r - 19.5) < 100;
            rgb.append(frame ? "\0\0\0" : disc ? "\x40\x40\x40" : QUADRANT[(r >= PIC_H / 2) * 2 + (c >= PIC_W / 2)], 3);
        }
    return rgb;
}

std::string one_page_pdf(const GeoLayout &l, const Rect &box) {
    char head[160], content[600];
    int n = std::snprintf(content, sizeof content, "0.8 g 0 0 %.4f %.4f re f 1 g %.4f %.4f %.4f %.4f re f\n", l.page_w,
                          l.page_h, box.x, box.y, box.w, box.h);
    n += geo_content(&l, content + n, sizeof content - n);
    std::snprintf(head, sizeof head, "/MediaBox [0 0 %.4f %.4f] /Resources << /XObject << /Im0 4 0 R >> >>", l.page_w,
                  l.page_h);
    const std::string objects[] = {
        "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        std::string("<< /Type /Page /Parent 2 0 R ") + head + " /Contents 5 0 R >>",
        "<< /Type /XObject /Subtype /Image /Width 60 /Height 40 /ColorSpace /DeviceRGB /BitsPerComponent 8 /Length 7200 "
        ">>\nstream\n" + picture_rgb() + "\nendstream",
        "<< /Length " + std::to_string(n) + " >>\nstream\n" + std::string(content, n) + "\nendstream"};
    std::string pdf = "%PDF-1.4\n", xref = "xref\n0 6\n0000000000 65535 f \n";
    for (int i = 0; i < 5; i++) {
        char entry[24];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
        xref += entry;
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    return pdf + xref + "trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n" + std::to_string(pdf.size()) + "\n%%EOF\n";
}

// Rendered at 72 dpi (a pixel a point): every pixel clear of the box's edge by 3 pt shows
// the margin's grey outside the box, inside it `fill` leaves nothing white, and the
// picture's pixels span what the model puts inside the box.
// FOLIAN_LAYOUT_PICTURES=dir keeps small renderings for the documentation.
TEST(GeometryRender, NothingOfThePictureShowsOutsideTheBox) {
    if (!have_program("pdftocairo")) GTEST_SKIP() << "pdftocairo missing";
    const char *keep = std::getenv("FOLIAN_LAYOUT_PICTURES");
    const char *names[] = {"into", "fill", "exact", "shrink", "enlarge"};
    TempDir tmp;
    for (int fit = GEO_FIT_INTO; fit <= GEO_FIT_ENLARGE; fit++) {
        SCOPED_TRACE(names[fit]);
        GeoPage page{595.28, 841.89, GEO_AUTO, {72, 36, 72, 36}, fit};
        GeoPicture pic{PIC_W, PIC_H, 18, 18, false, 6};  // 240 x 160 pt stored, turned upright
        GeoLayout l;
        ASSERT_TRUE(geo_lay_out(&page, &pic, &l, nullptr, 0));
        const Model m = model(page, PIC_W, PIC_H, 18, 18, 6);
        const Rect b = m.box;
        const std::string pdf = tmp.file(std::string("fit-") + names[fit] + ".pdf"), text = one_page_pdf(l, b);
        write_file(pdf, std::vector<uint8_t>(text.begin(), text.end()));
        int w = 0, h = 0, wrong = 0;
        double seen[4] = {1e9, 1e9, -1e9, -1e9};  // the picture's pixels: left, bottom, right, top
        const std::vector<uint8_t> rgb = render_page(pdf, 1, 72, &w, &h);
        ASSERT_NEAR(h, l.page_h, 1);
        for (int row = 0; row < h; row++)
            for (int col = 0; col < w; col++) {
                const double x = col + 0.5, y = l.page_h - row - 0.5;
                if (x > l.page_w - 1 || y < 1) continue;  // pixels the page's edge cuts
                const double inside = std::fmin(std::fmin(x - b.x, b.x + b.w - x), std::fmin(y - b.y, b.y + b.h - y));
                const uint8_t *px = &rgb[((size_t)row * w + col) * 3];
                const bool grey = px[0] == 204 && px[1] == 204 && px[2] == 204, white = px[0] + px[1] + px[2] == 765;
                if ((inside < -3 && !grey) || (fit == GEO_FIT_FILL && inside > 3 && white)) wrong++;
                if (grey || white || inside < 1) continue;  // the box's edge blends grey and white
                seen[0] = std::fmin(seen[0], x), seen[1] = std::fmin(seen[1], y);
                seen[2] = std::fmax(seen[2], x), seen[3] = std::fmax(seen[3], y);
            }
        EXPECT_EQ(wrong, 0);
        const double want[4] = {std::fmax(m.pic.x, b.x), std::fmax(m.pic.y, b.y), std::fmin(m.pic.x + m.pic.w, b.x + b.w),
                                std::fmin(m.pic.y + m.pic.h, b.y + b.h)};
        for (int i = 0; i < 4; i++) EXPECT_NEAR(seen[i], want[i], 2) << i;
        if (keep) run_command("pdftocairo -png -r 20 -singlefile '" + pdf + "' '" + keep + "/fit-" + names[fit] + "'");
    }
}

}  // namespace
