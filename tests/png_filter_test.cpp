// png_filter_test.cpp: the encoder's row filter writes a type byte and bytes that the
// PNG unfilter turns back into the row, for every type it may choose, every pixel width
// the writer uses and rows shorter than one pixel; and it picks the type that suits the
// row: none for a zero row, sub for a horizontal ramp, up for a repeated row.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "png/filter.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Plain unfilter, straight from the PNG definition of each type.
Bytes unfilter(const uint8_t *f, const Bytes *prev, size_t n, unsigned bpp) {
    Bytes out(n);
    for (size_t k = 0; k < n; k++) {
        const int a = k >= bpp ? out[k - bpp] : 0;
        const int b = prev ? (*prev)[k] : 0;
        const int c = prev && k >= bpp ? (*prev)[k - bpp] : 0;
        int pred = 0;
        switch (f[0]) {
        case 1: pred = a; break;
        case 2: pred = b; break;
        case 3: pred = (a + b) / 2; break;
        case 4: {
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            pred = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            break;
        }
        default: break;
        }
        out[k] = (uint8_t)(f[k + 1] + pred);
    }
    return out;
}

TEST(PngFilter, EveryChoiceUnfiltersToTheRow) {
    std::mt19937 rng(4);
    unsigned seen = 0;  // bit t: type t was chosen at least once
    for (unsigned bpp : {1u, 3u, 4u, 8u}) {
        for (size_t n : {size_t(1), size_t(2), size_t(bpp), size_t(bpp) * 37 + 1}) {
            Bytes prev;
            for (int y = 0; y < 60; y++) {
                Bytes row(n);
                // Rows of different kinds so that every type wins somewhere: noise, ramps,
                // copies of the row above with noise, smooth surfaces.
                const int kind = y % 5;
                for (size_t k = 0; k < n; k++) {
                    const uint8_t up = prev.empty() ? 0 : prev[k];
                    switch (kind) {
                    case 0: row[k] = (uint8_t)rng(); break;
                    case 1: row[k] = (uint8_t)(k * 7 + y); break;
                    case 2: row[k] = (uint8_t)(up + rng() % 3); break;
                    case 3: row[k] = (uint8_t)((k >= bpp ? row[k - bpp] : 0) / 2 + up / 2 + rng() % 2); break;
                    default: row[k] = (uint8_t)(up + (k >= bpp ? row[k - bpp] - (prev.empty() ? 0 : prev[k - bpp]) : 0) + rng() % 2); break;
                    }
                }
                Bytes f(n + 1);
                const unsigned t = png_filter_row(row.data(), prev.empty() ? nullptr : prev.data(), n, bpp, f.data());
                ASSERT_LT(t, 5u);
                EXPECT_EQ(f[0], t);
                seen |= 1u << t;
                EXPECT_EQ(unfilter(f.data(), prev.empty() ? nullptr : &prev, n, bpp), row)
                    << "bpp " << bpp << " n " << n << " row " << y << " type " << t;
                prev = row;
            }
        }
    }
    EXPECT_EQ(seen, 0x1Fu) << "every filter type was chosen somewhere";
}

TEST(PngFilter, ChoosesTheTypeThatFitsTheRow) {
    Bytes zero(30, 0), ramp(30), f(31);
    for (size_t k = 0; k < ramp.size(); k++) ramp[k] = (uint8_t)(k * 3);
    EXPECT_EQ(png_filter_row(zero.data(), nullptr, zero.size(), 3, f.data()), 0u) << "ties go to the lowest type";
    EXPECT_EQ(png_filter_row(ramp.data(), nullptr, ramp.size(), 1, f.data()), 1u);
    for (size_t k = 1; k < f.size(); k++) EXPECT_EQ(f[k], k == 1 ? 0 : 3);
    Bytes noise(30);
    std::mt19937 rng(9);
    for (auto &v : noise) v = (uint8_t)rng();
    EXPECT_EQ(png_filter_row(noise.data(), noise.data(), noise.size(), 3, f.data()), 2u) << "a repeated row is all zero under up";
}

// The vector form chooses the same type and writes the same bytes as the plain one, for
// rows whose length leaves every remainder after the 16-byte blocks, with and without a
// row above, on rows of every kind.
TEST(PngFilter, EveryCpuFormWritesThePlainBytes) {
    std::mt19937 rng(11);
    for (unsigned bpp : {1u, 3u, 4u, 6u, 8u}) {
        for (size_t n = 1; n < 90; n += 1 + n / 8) {
            Bytes prev(n), row(n);
            for (int trial = 0; trial < 12; trial++) {
                for (size_t k = 0; k < n; k++) {
                    prev[k] = (uint8_t)(trial % 3 == 0 ? rng() : k * 5 + trial);
                    row[k] = (uint8_t)(trial % 2 ? rng() : prev[k] + rng() % 4);
                }
                const uint8_t *above = trial % 4 == 1 ? nullptr : prev.data();
                Bytes want(n + 1);
                unsigned want_type;
                {
                    CpuFormScope plain(CpuLimit{CPU_PLAIN, false});
                    want_type = png_filter_row(row.data(), above, n, bpp, want.data());
                }
                for (CpuLimit form : every_cpu_form()) {
                    CpuFormScope scope(form);
                    Bytes got(n + 1);
                    EXPECT_EQ(png_filter_row(row.data(), above, n, bpp, got.data()), want_type);
                    EXPECT_EQ(got, want) << cpu_limit_name(form) << " bpp " << bpp << " n " << n;
                }
            }
        }
    }
}

}  // namespace
