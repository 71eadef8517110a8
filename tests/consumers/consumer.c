/* A host program as a user of the installed library writes it: convert one image, check the
   run-time version against the header it was compiled with. Usage: consumer IMAGE OUT.pdf */
#include <stdio.h>
#include <string.h>

#include <folian.h>

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    if (strcmp(folian_version(), FOLIAN_VERSION_STRING) != 0) {
        fprintf(stderr, "library %s, header %s\n", folian_version(), FOLIAN_VERSION_STRING);
        return 1;
    }
    folian_init();
    folian_set_page_size(FOLIAN_PAGE_A4);
    if (!folian_single(argv[1], argv[2])) {
        fprintf(stderr, "%s\n", folian_last_error());
        return 1;
    }
    printf("consumer ok: folian %s\n", folian_version());
    return 0;
}
