// folian.cpp: conversion entry points (placeholder).
#include "folian.h"
extern "C" {
FOLIAN_API int folian_init(void) noexcept { return 1; }
FOLIAN_API void folian_cleanup(void) noexcept {}
FOLIAN_API const char *folian_last_error(void) noexcept { return ""; }
FOLIAN_API void folian_set_page_size(int) noexcept {}
FOLIAN_API void folian_set_dpi(int) noexcept {}
FOLIAN_API int folian_single(const char *, const char *) noexcept { return 0; }
FOLIAN_API int folian_multiple(const char *const *, int, const char *) noexcept { return 0; }
FOLIAN_API int folian_directory(const char *, const char *) noexcept { return 0; }
}
