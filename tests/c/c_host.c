/* The public header compiles as C89-style C and a C program links against the shared library. */
#include <stdio.h>
#include <string.h>

#include "folian.h"

int main(void) {
    const char *msg = NULL;
    int ok = folian_init();
    if (ok != 1 || strcmp(folian_last_error(), "") != 0) return 1;
    if (folian_single(NULL, "x.pdf") != 0) return 1;
    if (strcmp(folian_last_error(), "folian_single: NULL path") != 0) return 1;
    if (pdf_write(NULL, NULL, 0, 0, 150, &msg) != 0 || strcmp(msg, "pdf_write: bad arguments") != 0)
        return 1;
    printf("c host ok (%s)\n", FOLIAN_VERSION_STRING);
    return 0;
}
