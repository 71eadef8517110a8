// folian: command-line converter of PNG and JPEG files to PDF, a thin host over the library.
//
// Pages go through the library's page-at-a-time interface, so a failure names the file that
// caused it. The output is written whole or not at all: the library replaces the file only
// when the document is complete, and `-o -` converts into a scratch file first and copies it
// to standard output only once it is whole. Exit status: 0 success, 1 the conversion failed
// (the file and the reason on stderr), 2 usage error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "folian.h"
#include "order.h"
#include "page_info.h"
#include "platform.h"
#include "transcode.h"

namespace {

const char *const PROG = "folian";

const char *const SYNOPSIS =
    "usage: folian [OPTION]... -o OUT.pdf INPUT...\n"
    "       folian transcode IN OUT\n"
    "       folian --help | --version\n";

const char *const HELP =
    "\n"
    "Converts PNG and JPEG files to one PDF, one page per image. INPUT is image files in page\n"
    "order, or directories: their .png/.jpg/.jpeg files in case-insensitive name order.\n"
    "\n"
    "  -o, --output FILE      the PDF to write; - writes it to standard output\n"
    "  -p, --page-size SIZE   image: the page is the image at its resolution (default);\n"
    "                         a4, letter, a3: the image scaled to fit and centred; any case\n"
    "  -r, --dpi DPI          resolution of every image, 1 to 10000 (default: the file's own,\n"
    "                         else 150)\n"
    "  -v, --verbose          one line per page on standard error: name, size, how embedded\n"
    "      --natural-order    directory files in numbered order: 2.jpg before 10.jpg\n"
    "      --stored           image data uncompressed, as the plain documents have it\n"
    "      --strict           the plain documents: none of the default conversions below\n"
    "  -h, --help             this text\n"
    "      --version          the version\n"
    "      --                 every later argument is an input\n"
    "\n"
    "By default pages are compressed, interlaced PNG files are taken, files are recognised\n"
    "by their content whatever their name, photos are turned upright by their EXIF\n"
    "orientation, each file's own resolution is used and colour profiles are kept.\n"
    "A batch shows its progress when standard error is a terminal.\n"
    "\n"
    "transcode decodes a PNG or JPEG file and writes PNG or JPEG, chosen by OUT's extension.\n"
    "Exit status: 0 success, 1 the conversion failed, 2 usage error.\n";

const unsigned DEFAULT_OPTIONS = FOLIAN_OPT_COMPACT | FOLIAN_OPT_INTERLACED | FOLIAN_OPT_WIDE_PROBE |
                                 FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC;

struct Settings {
    int page_size = FOLIAN_PAGE_IMAGE;
    int dpi = 150;
    bool dpi_given = false;
    bool verbose = false;
    bool natural_order = false;
    bool stored = false;
    bool strict = false;
    const char *output = nullptr;
    std::vector<const char *> inputs;

    unsigned options() const {
        if (strict) return 0;
        unsigned o = DEFAULT_OPTIONS;
        if (stored) o &= ~FOLIAN_OPT_COMPACT;
        if (dpi_given) o &= ~FOLIAN_OPT_FILE_DPI;  // a resolution asked for wins over the files'
        return o;
    }
};

// ---- Command line ---------------------------------------------------------------------

int usage_error(const char *what, const char *arg) {
    if (arg)
        std::fprintf(stderr, "%s: %s '%s'\n", PROG, what, arg);
    else
        std::fprintf(stderr, "%s: %s\n", PROG, what);
    std::fprintf(stderr, "%sTry 'folian --help' for more information.\n", SYNOPSIS);
    return 2;
}

bool same_text_ignoring_case(const char *a, const char *b) {
    for (; *a && *b; a++, b++) {
        char ca = *a >= 'A' && *a <= 'Z' ? (char)(*a - 'A' + 'a') : *a;
        if (ca != *b) return false;
    }
    return *a == *b;
}

int parse_page_size(const char *s) {
    static const char *const names[] = {"image", "a4", "letter", "a3"};  // FOLIAN_PAGE_* order
    for (int i = 0; i < 4; i++)
        if (same_text_ignoring_case(s, names[i])) return i;
    return -1;
}

int parse_dpi(const char *s) {
    char *end;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (errno || end == s || *end || v < 1 || v > 10000) return -1;
    return (int)v;
}

enum OptionId { OPT_OUTPUT, OPT_PAGE_SIZE, OPT_DPI, OPT_VERBOSE, OPT_NATURAL, OPT_STORED, OPT_STRICT,
                OPT_HELP, OPT_VERSION };

struct OptionName {
    const char *long_name;
    char short_name;  // 0 when there is none
    bool takes_value;
    OptionId id;
};

const OptionName OPTIONS[] = {
    {"output", 'o', true, OPT_OUTPUT},      {"page-size", 'p', true, OPT_PAGE_SIZE},
    {"dpi", 'r', true, OPT_DPI},            {"verbose", 'v', false, OPT_VERBOSE},
    {"natural-order", 0, false, OPT_NATURAL}, {"stored", 0, false, OPT_STORED},
    {"strict", 0, false, OPT_STRICT},       {"help", 'h', false, OPT_HELP},
    {"version", 0, false, OPT_VERSION},
};

// Finds the option an argument names: "--name", "--name=value", "-x" or "-xVALUE". Sets
// *inline_value to the text after '=' or after the letter, or null.
const OptionName *find_option(const char *arg, const char **inline_value) {
    *inline_value = nullptr;
    if (arg[1] == '-') {
        const char *name = arg + 2;
        const char *eq = std::strchr(name, '=');
        size_t len = eq ? (size_t)(eq - name) : std::strlen(name);
        for (const OptionName &o : OPTIONS) {
            if (std::strlen(o.long_name) == len && std::strncmp(o.long_name, name, len) == 0) {
                if (eq) *inline_value = eq + 1;
                return &o;
            }
        }
        return nullptr;
    }
    for (const OptionName &o : OPTIONS) {
        if (o.short_name && arg[1] == o.short_name) {
            if (arg[2]) {
                if (!o.takes_value) return nullptr;  // no bundled flags: "-vx" is a typo more often
                *inline_value = arg + 2;
            }
            return &o;
        }
    }
    return nullptr;
}

// Reads the command line into *s. Returns -1 to go on, else the exit status (help, version,
// usage errors).
int parse_arguments(int argc, char **argv, Settings *s) {
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (options_done || a[0] != '-' || a[1] == '\0') {
            s->inputs.push_back(a);
            continue;
        }
        if (std::strcmp(a, "--") == 0) {
            options_done = true;
            continue;
        }
        const char *value;
        const OptionName *o = find_option(a, &value);
        if (!o) return usage_error("unknown option", a);
        if (!o->takes_value && value) return usage_error("option takes no value:", a);
        if (o->takes_value && !value) {
            if (i + 1 >= argc) return usage_error("option needs a value:", a);
            value = argv[++i];
        }
        switch (o->id) {
        case OPT_OUTPUT: s->output = value; break;
        case OPT_PAGE_SIZE:
            if ((s->page_size = parse_page_size(value)) < 0)
                return usage_error("unknown page size (image, a4, letter or a3):", value);
            break;
        case OPT_DPI:
            if ((s->dpi = parse_dpi(value)) < 0) return usage_error("resolution must be 1 to 10000, not", value);
            s->dpi_given = true;
            break;
        case OPT_VERBOSE: s->verbose = true; break;
        case OPT_NATURAL: s->natural_order = true; break;
        case OPT_STORED: s->stored = true; break;
        case OPT_STRICT: s->strict = true; break;
        case OPT_HELP: std::printf("%s%s", SYNOPSIS, HELP); return 0;
        case OPT_VERSION: std::printf("%s %s\n", PROG, folian_version()); return 0;
        }
    }
    if (!s->output) return usage_error("no output file (-o)", nullptr);
    if (s->inputs.empty()) return usage_error("no input", nullptr);
    return -1;
}

// ---- Pages ----------------------------------------------------------------------------

// Every input in page order: files as given, directories as their image entries "dir/name".
// Reports and returns false when a directory cannot be read or holds no image.
bool collect_pages(const Settings &s, std::vector<std::string> *pages) {
    for (const char *input : s.inputs) {
        if (!path_is_directory(input)) {
            pages->push_back(input);
            continue;
        }
        std::vector<std::string> names, paths;
        int error = 0;
        if (!list_directory(input, &names, &error)) {
            std::fprintf(stderr, "%s: cannot read directory %s: %s\n", PROG, input, std::strerror(error));
            return false;
        }
        for (const std::string &name : names)
            if (is_listed_image(name.c_str())) paths.push_back(std::string(input) + "/" + name);
        if (paths.empty()) {
            std::fprintf(stderr, "%s: %s: no images in directory\n", PROG, input);
            return false;
        }
        if (s.natural_order)
            sort_natural_order(&paths);
        else
            sort_library_order(&paths);
        pages->insert(pages->end(), paths.begin(), paths.end());
    }
    return true;
}

const char *base_name(const char *path) {
    const char *name = path;
    for (const char *p = path; *p; p++)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

// The "[37/500] p037.png" line of a batch on a terminal, rewritten in place.
struct Progress {
    bool on = false;
    size_t shown = 0;  // characters of the line on screen

    void show(size_t index, size_t count, const char *path) {
        if (!on) return;
        char line[64];
        int n = std::snprintf(line, sizeof line, "[%lu/%lu] ", (unsigned long)index + 1, (unsigned long)count);
        std::string text = std::string(line, n > 0 ? (size_t)n : 0) + base_name(path);
        size_t len = text.size();
        if (len < shown) text.append(shown - len, ' ');
        std::fprintf(stderr, "\r%s", text.c_str());
        std::fflush(stderr);
        shown = len;
    }
    void clear() {
        if (!on || !shown) return;
        std::fprintf(stderr, "\r%s\r", std::string(shown, ' ').c_str());
        std::fflush(stderr);
        shown = 0;
    }
};

// "cannot write OUT: REASON": the system's reason where the path shows one, else the
// library's own text.
void report_output_failure(const char *shown, const char *target) {
    int problem = output_problem(target);
    std::fprintf(stderr, "%s: cannot write %s: %s\n", PROG, shown,
                 problem ? std::strerror(problem) : folian_last_error());
}

// Writes the finished scratch file to standard output; true when every byte got there.
bool copy_to_stdout(const char *path) {
    std::FILE *f = open_for_reading(path);
    if (!f) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", PROG, path, std::strerror(errno));
        return false;
    }
    std::vector<char> buf(1 << 16);
    bool ok = true;
    size_t n;
    while (ok && (n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
        ok = std::fwrite(buf.data(), 1, n, stdout) == n;
    if (ok && std::ferror(f)) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", PROG, path, std::strerror(errno));
        std::fclose(f);
        return false;
    }
    std::fclose(f);
    if (ok) ok = std::fflush(stdout) == 0;
    if (!ok) std::fprintf(stderr, "%s: cannot write standard output: %s\n", PROG, std::strerror(errno));
    return ok;
}

// Adds every page, stopping at the first that fails. True when all were added.
bool add_pages(folian_doc *doc, const std::vector<std::string> &pages, const Settings &s, unsigned options) {
    Progress progress;
    progress.on = !s.verbose && pages.size() > 1 && stderr_is_terminal();
    for (size_t i = 0; i < pages.size(); i++) {
        const char *path = pages[i].c_str();
        progress.show(i, pages.size(), path);
        // The library's reason for a file it cannot open is a generic one; the system's is
        // more use, and costs one open.
        std::FILE *probe = open_for_reading(path);
        if (!probe) {
            int error = errno;
            progress.clear();
            std::fprintf(stderr, "%s: cannot read %s: %s\n", PROG, path, std::strerror(error));
            return false;
        }
        std::fclose(probe);
        if (!folian_doc_add(doc, path)) {
            progress.clear();
            std::fprintf(stderr, "%s: %s: %s\n", PROG, path, folian_last_error());
            return false;
        }
        if (s.verbose)
            std::fprintf(stderr, "[%lu/%lu] %s: %s\n", (unsigned long)i + 1, (unsigned long)pages.size(), path,
                         describe_page(path, options).c_str());
    }
    progress.clear();
    return true;
}

int convert(const Settings &s) {
    std::vector<std::string> pages;
    if (!collect_pages(s, &pages)) return 1;
    const unsigned options = s.options();
    folian_init();
    folian_set_page_size(s.page_size);
    folian_set_dpi(s.dpi);
    folian_set_options(options);

    const bool to_stdout = std::strcmp(s.output, "-") == 0;
    std::string scratch;
    if (to_stdout) {
        if (!make_scratch_file(&scratch)) {
            std::fprintf(stderr, "%s: cannot create a temporary file: %s\n", PROG, std::strerror(errno));
            return 1;
        }
        prepare_stdout();
    }
    const char *target = to_stdout ? scratch.c_str() : s.output;
    const char *shown = to_stdout ? scratch.c_str() : s.output;
    int status = 1;
    if (folian_doc *doc = folian_doc_begin(target)) {
        if (!add_pages(doc, pages, s, options))
            folian_doc_abort(doc);
        else if (!folian_doc_finish(doc))
            report_output_failure(shown, target);
        else
            status = to_stdout && !copy_to_stdout(target) ? 1 : 0;
    } else {
        report_output_failure(shown, target);
    }
    if (to_stdout) {
        remove_file(target);
        forget_on_signal();
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    utf8_arguments(&argc, &argv);
    if (argc >= 2 && std::strcmp(argv[1], "transcode") == 0) {
        if (argc != 4) return usage_error("transcode takes IN and OUT", nullptr);
        return transcode_main(PROG, argv[2], argv[3]);
    }
    Settings s;
    int status = parse_arguments(argc, argv, &s);
    return status >= 0 ? status : convert(s);
}
