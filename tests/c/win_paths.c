/* Windows host: paths reach the DLL as UTF-8 (any name) or in the ANSI code page (what the
   narrow calls take), and both name the same files. Run in an empty scratch directory. */
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "folian.h"

static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "FAIL: %s (%s)\n", what, folian_last_error());
        failures++;
    }
}

static int exists_w(const wchar_t *name) { return GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES; }

/* Entries of the current directory other than "." and "..", to see that no temporary stays. */
static int count_entries(const wchar_t *pattern) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(pattern, &fd);
    int n = 0;
    if (h == INVALID_HANDLE_VALUE) return 0;
    do {
        if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0) n++;
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return n;
}

int main(void) {
    unsigned char px[2 * 2 * 4] = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 9, 9, 9, 128};
    const char *msg = NULL;
    int w = 0, h = 0;
    unsigned char *back;

    /* Names outside any ANSI code page but one: only the wide calls reach them. */
    check(CreateDirectoryW(L"\x51fa\x529b", NULL) != 0, "mkdir");
    check(kv_png_write("\xE5\x87\xBA\xE5\x8A\x9B/\xCE\xB1\xCE\xB2.png", 2, 2, px), "png write, UTF-8 name");
    check(exists_w(L"\x51fa\x529b\\\x03b1\x03b2.png"), "UTF-8 name made the right file");
    back = kv_png_decode("\xE5\x87\xBA\xE5\x8A\x9B/\xCE\xB1\xCE\xB2.png", &w, &h, &msg);
    check(back && w == 2 && h == 2 && memcmp(back, px, sizeof px) == 0, "png decode, UTF-8 name");
    folian_free(back);
    /* Written twice: the second write replaces the first through the temporary. */
    check(kv_png_write("\xE5\x87\xBA\xE5\x8A\x9B/\xCE\xB1\xCE\xB2.png", 1, 1, px), "png rewrite");
    back = kv_png_decode("\xE5\x87\xBA\xE5\x8A\x9B/\xCE\xB1\xCE\xB2.png", &w, &h, &msg);
    check(back && w == 1 && h == 1, "rewritten file replaced the old one");
    folian_free(back);
    check(kv_jpeg_write("\xE5\x87\xBA\xE5\x8A\x9B/\xE5\x86\x99.jpg", 2, 2, px), "jpeg write, UTF-8 name");
    check(folian_directory("\xE5\x87\xBA\xE5\x8A\x9B", "\xE5\x87\xBA\xE5\x8A\x9B/\xE7\xB5\x90.pdf") == 2,
          "directory of UTF-8 names");
    check(exists_w(L"\x51fa\x529b\\\x7d50.pdf"), "PDF under its UTF-8 name");
    check(count_entries(L"\x51fa\x529b\\*") == 3, "no temporary file left");

    /* ANSI (Windows-1252 here): 0xE9 is e-acute, and the same file as UTF-8 C3 A9. */
    if (GetACP() == 1252) {
        check(kv_png_write("caf\xE9.png", 2, 2, px), "png write, ANSI name");
        check(exists_w(L"caf\x00e9.png"), "ANSI name made the right file");
        back = kv_png_decode("caf\xC3\xA9.png", &w, &h, &msg);
        check(back != NULL, "the ANSI file read back by its UTF-8 name");
        folian_free(back);
        check(folian_single("caf\xE9.png", "caf\xE9.pdf"), "convert, ANSI names");
        check(exists_w(L"caf\x00e9.pdf"), "PDF under its ANSI name");
    } else {
        printf("ANSI code page %u: the Windows-1252 case is skipped\n", GetACP());
    }
    if (failures) return 1;
    printf("windows paths ok\n");
    return 0;
}
