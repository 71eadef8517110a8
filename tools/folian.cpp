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

#include "each.h"

#include "folian.h"
#include "page_info.h"
#include "platform.h"
#include "transcode.h"

namespace {

const char *const PROG = "folian";

const char *const SYNOPSIS =
    "usage: folian [OPTION]... -o OUT.pdf INPUT...\n"
    "       folian [OPTION]... -o OUT.pdf --from-file LIST [INPUT]...\n"
    "       folian [OPTION]... [-o OUTDIR] --each DIR...\n"
    "       folian transcode [--strict] IN OUT\n"
    "       folian --help | --version\n";

const char *const HELP =
    "\n"
    "Converts PNG and JPEG files to one PDF, one page per image. INPUT is image files in page\n"
    "order, - for an image read from standard input, or directories: their .png/.jpg/.jpeg\n"
    "files in numbered order (2.jpg before 10.jpg).\n"
    "\n"
    "  -o, --output FILE      the PDF to write; - writes it to standard output\n"
    "      --from-file LIST   input paths read from the file LIST, one a line (- reads them\n"
    "                         from standard input), taken where the option stands\n"
    "  -0, --null             the paths in LIST end with a NUL character, not a line end\n"
    "  -p, --page-size SIZE   image: the page is the image at its resolution (default); a paper\n"
    "                         a0-a10, b0-b10, c4-c6, letter, legal, tabloid, ledger, statement,\n"
    "                         executive; or WxH with pt, mm, cm or in: -p a4, -p 210x297mm\n"
    "      --orientation O    portrait (default), landscape, or auto: the page turns to the\n"
    "                         image: -p a4 --orientation landscape\n"
    "      --auto-orient      the same as --orientation auto\n"
    "  -m, --margin M         margins: one, two (vertical,horizontal) or four (top,right,\n"
    "                         bottom,left) lengths: -m 2cm,2.5cm\n"
    "      --fit MODE         into (default), fill (clipped), exact, shrink or enlarge:\n"
    "                         -p a4 --fit shrink -r 300\n"
    "  -r, --dpi DPI          resolution of every image, 1 to 10000 (default: the file's own,\n"
    "                         else 150): -r 300\n"
    "      --max-pixels N     refuse an image over N pixels, from its header: --max-pixels\n"
    "                         50000000 (0: the decoders' limits, the default)\n"
    "      --max-pages N      refuse a document over N pages: --max-pages 500 (0: none)\n"
    "  -v, --verbose          one line per page on standard error: name, size, how embedded\n"
    "  -j, --jobs N           threads to use, 0 for every core (default 0); 1: one at a time\n"
    "      --each             one PDF per directory given: DIR.pdf beside it, or in OUTDIR\n"
    "                         with -o; the documents run side by side within --jobs, one\n"
    "                         failing does not stop the others, a summary line each\n"
    "      --formats all|classic  every format read (TIFF, GIF, BMP too; the default), or\n"
    "                         PNG and JPEG only\n"
    "      --first-frame-only on  one page per file: the first frame of a GIF or TIFF\n"
    "      --name-order       directory files in the library's case-insensitive name order\n"
    "      --natural-order    directory files in numbered order (the default)\n"
    "      --stored           image data uncompressed, as the plain documents have it\n"
    "      --strict           the plain documents: none of the default conversions below\n"
    "      --title, --author, --subject, --keywords, --creator, --producer TEXT\n"
    "                         the document's description (UTF-8), in /Info and XMP\n"
    "      --creation-date, --mod-date DATE\n"
    "                         2026-12-09, 2026-12-09T10:30:00+01:00 or now (SOURCE_DATE_EPOCH\n"
    "                         when set); no date is written unless asked\n"
    "      --pdfa[=2b|1b|off] an archival PDF/A document (bare: 2b); 1b refuses transparency\n"
    "  -h, --help             this text\n"
    "      --version          the version\n"
    "      --                 every later argument is an input\n"
    "\n"
    "By default pages are compressed, interlaced PNG files are taken, files are recognised\n"
    "by their content whatever their name, photos are turned upright by their EXIF\n"
    "orientation, each file's own resolution is used and colour profiles are kept.\n"
    "A batch shows its progress when standard error is a terminal.\n"
    "\n"
    "The output may not be one of the inputs. Interrupted, the tool leaves no temporary file.\n"
    "\n"
    "transcode decodes a PNG or JPEG file (any the library reads: progressive JPEG and\n"
    "interlaced PNG too; with --strict only what the plain decoders take) and writes PNG or\n"
    "JPEG, chosen by OUT's extension.\n"
    "Exit status: 0 success, 1 the conversion failed, 2 usage error.\n";

const unsigned DEFAULT_OPTIONS = FOLIAN_OPT_COMPACT | FOLIAN_OPT_INTERLACED | FOLIAN_OPT_WIDE_PROBE |
                                 FOLIAN_OPT_ORIENTATION | FOLIAN_OPT_FILE_DPI | FOLIAN_OPT_ICC;

// One input of the command line: a path (an image, a directory, or - for an image on
// standard input), or the LIST of --from-file.
struct InputArg {
    const char *text;
    bool is_list;
};

bool is_stdin(const char *text) { return std::strcmp(text, "-") == 0; }

// A library setting the command line asks for, by key, in the order given.
struct KeyValue {
    const char *key, *value;
};

struct Settings {
    std::vector<KeyValue> keys;
    bool dpi_given = false;
    bool verbose = false;
    bool natural_order = true;
    bool null_separated = false;
    bool stored = false;
    bool strict = false;
    bool each = false;
    const char *output = nullptr;
    std::vector<InputArg> inputs;

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

// A value the library refuses: the option, the value and what the library accepts.
int bad_value(const char *option, const char *value, const char *library_text) {
    const char *accepted = std::strstr(library_text, "accepted: ");
    std::fprintf(stderr, "%s: --%s '%s': %s\n", PROG, option, value, accepted ? accepted : library_text);
    std::fprintf(stderr, "%sTry 'folian --help' for more information.\n", SYNOPSIS);
    return 2;
}

enum OptionId { OPT_OUTPUT, OPT_FROM_FILE, OPT_NULL, OPT_KEY, OPT_AUTO_ORIENT, OPT_VERBOSE, OPT_NATURAL,
                OPT_NAME_ORDER, OPT_STORED, OPT_STRICT, OPT_HELP, OPT_VERSION, OPT_PDFA, OPT_EACH };

struct OptionName {
    const char *long_name;
    char short_name;  // 0 when there is none
    bool takes_value;
    OptionId id;
};

const OptionName OPTIONS[] = {
    {"output", 'o', true, OPT_OUTPUT},      {"from-file", 0, true, OPT_FROM_FILE},
    {"null", '0', false, OPT_NULL},         {"name-order", 0, false, OPT_NAME_ORDER},
    // Options named as the library's keys go to the settings record as they are.
    {"page-size", 'p', true, OPT_KEY},      {"orientation", 0, true, OPT_KEY},
    {"auto-orient", 0, false, OPT_AUTO_ORIENT}, {"margin", 'm', true, OPT_KEY},
    {"fit", 0, true, OPT_KEY},              {"max-pixels", 0, true, OPT_KEY},
    {"max-pages", 0, true, OPT_KEY},
    {"dpi", 'r', true, OPT_KEY},            {"verbose", 'v', false, OPT_VERBOSE},
    {"natural-order", 0, false, OPT_NATURAL}, {"stored", 0, false, OPT_STORED},
    {"strict", 0, false, OPT_STRICT},       {"help", 'h', false, OPT_HELP},
    {"version", 0, false, OPT_VERSION},
    {"title", 0, true, OPT_KEY},            {"author", 0, true, OPT_KEY},
    {"subject", 0, true, OPT_KEY},          {"keywords", 0, true, OPT_KEY},
    {"creator", 0, true, OPT_KEY},          {"producer", 0, true, OPT_KEY},
    {"creation-date", 0, true, OPT_KEY},    {"mod-date", 0, true, OPT_KEY},
    {"pdfa", 0, false, OPT_PDFA},  // a key whose value is optional: only "--pdfa=LEVEL" gives one
    {"jobs", 'j', true, OPT_KEY},           {"formats", 0, true, OPT_KEY},
    {"first-frame-only", 0, true, OPT_KEY},
    {"each", 0, false, OPT_EACH},
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

// Standard input can be read once: as an image or as a LIST, not both or twice.
int check_inputs(const Settings &s) {
    int readers = 0;
    bool lists = false;
    for (const InputArg &in : s.inputs) {
        readers += is_stdin(in.text);
        lists |= in.is_list;
    }
    if (readers > 1) return usage_error("standard input (-) given more than once", nullptr);
    if (s.null_separated && !lists) return usage_error("-0 applies to the paths of --from-file", nullptr);
    return -1;
}

// parse_arguments with a scratch record that checks the values of the library's keys.
int parse_with(int argc, char **argv, Settings *s, folian_settings *check) {
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (options_done || a[0] != '-' || a[1] == '\0') {
            s->inputs.push_back({a, false});
            continue;
        }
        if (std::strcmp(a, "--") == 0) {
            options_done = true;
            continue;
        }
        const char *value;
        const OptionName *o = find_option(a, &value);
        if (!o) return usage_error("unknown option", a);
        if (!o->takes_value && value && o->id != OPT_PDFA) return usage_error("option takes no value:", a);
        if (o->takes_value && !value) {
            if (i + 1 >= argc) return usage_error("option needs a value:", a);
            value = argv[++i];
        }
        switch (o->id) {
        case OPT_OUTPUT: s->output = value; break;
        case OPT_FROM_FILE: s->inputs.push_back({value, true}); break;
        case OPT_NULL: s->null_separated = true; break;
        case OPT_NAME_ORDER: s->natural_order = false; break;
        case OPT_PDFA:
            if (!value) value = "2b";  // bare --pdfa
            [[fallthrough]];
        case OPT_KEY:
            // Checked at once on a scratch record, so a bad value is a usage error.
            if (!folian_settings_set(check, o->long_name, value))
                return bad_value(o->long_name, value, folian_settings_error(check));
            s->keys.push_back({o->long_name, value});
            s->dpi_given |= std::strcmp(o->long_name, "dpi") == 0;
            break;
        case OPT_AUTO_ORIENT: s->keys.push_back({"orientation", "auto"}); break;
        case OPT_VERBOSE: s->verbose = true; break;
        case OPT_EACH: s->each = true; break;
        case OPT_NATURAL: s->natural_order = true; break;
        case OPT_STORED: s->stored = true; break;
        case OPT_STRICT: s->strict = true; break;
        case OPT_HELP: std::printf("%s%s", SYNOPSIS, HELP); return 0;
        case OPT_VERSION: std::printf("%s %s\n", PROG, folian_version()); return 0;
        }
    }
    if (!s->output && !s->each) return usage_error("no output file (-o)", nullptr);
    if (s->inputs.empty()) return usage_error("no input", nullptr);
    return check_inputs(*s);
}

// Reads the command line into *s. Returns -1 to go on, else the exit status (help, version,
// usage errors).
int parse_arguments(int argc, char **argv, Settings *s) {
    folian_settings *check = folian_settings_new();
    if (!check) {
        std::fprintf(stderr, "%s: out of memory\n", PROG);
        return 1;
    }
    const int status = parse_with(argc, argv, s, check);
    folian_settings_free(check);
    return status;
}

// ---- Pages ----------------------------------------------------------------------------

// A page: the path the library opens and the name messages show (a scratch file holds an
// image read from standard input).
struct Page {
    std::string path, shown;
};

// The scratch files of one run, deleted when it ends; a signal deletes them too.
struct Scratch {
    std::vector<std::string> paths;
    Scratch() = default;
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch() {
        for (const std::string &p : paths) remove_scratch_file(p);
    }
    bool make(const char *suffix, std::string *path) {
        if (!make_scratch_file(suffix, path)) {
            std::fprintf(stderr, "%s: cannot create a temporary file: %s\n", PROG, std::strerror(errno));
            return false;
        }
        paths.push_back(*path);
        return true;
    }
};

const char *const STDIN_NAME = "standard input";

// All of a stream; false on a read error.
bool read_all(std::FILE *f, std::string *text) {
    char buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
    return !std::ferror(f);
}

bool starts_with(const std::string &s, const char *head, size_t len) {
    return s.size() >= len && std::memcmp(s.data(), head, len) == 0;
}

// The image on standard input, copied to a scratch file the library can open. The name
// ends as the content's format would be named, so the plain documents (which go by the
// name) take it too.
bool stdin_page(Scratch *scratch, std::vector<Page> *pages) {
    prepare_stdin();
    std::string data;
    if (!read_all(stdin, &data)) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", PROG, STDIN_NAME, std::strerror(errno));
        return false;
    }
    const char *suffix = starts_with(data, "\x89PNG", 4) ? ".png" : starts_with(data, "\xFF\xD8", 2) ? ".jpg" : "";
    std::string path;
    if (!scratch->make(suffix, &path)) return false;
    std::FILE *f = open_for_writing(path.c_str());
    bool ok = f && std::fwrite(data.data(), 1, data.size(), f) == data.size();
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", PROG, path.c_str(), std::strerror(errno));
        return false;
    }
    pages->push_back({path, STDIN_NAME});
    return true;
}

// The paths of a --from-file LIST: one a line (a CR before the line end is dropped) or
// NUL-terminated; empty entries are skipped.
bool read_list(const char *list, bool null_separated, std::vector<std::string> *paths) {
    std::string text;
    bool ok;
    if (is_stdin(list)) {
        prepare_stdin();
        ok = read_all(stdin, &text);
    } else {
        std::FILE *f = open_for_reading(list);
        ok = f && read_all(f, &text);
        if (f) std::fclose(f);
    }
    if (!ok) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", PROG, is_stdin(list) ? STDIN_NAME : list,
                     std::strerror(errno));
        return false;
    }
    const char end = null_separated ? '\0' : '\n';
    for (size_t at = 0; at < text.size();) {
        size_t stop = text.find(end, at);
        if (stop == std::string::npos) stop = text.size();
        std::string entry = text.substr(at, stop - at);
        if (!null_separated && !entry.empty() && entry.back() == '\r') entry.pop_back();
        if (!entry.empty()) paths->push_back(entry);
        at = stop + 1;
    }
    return true;
}

// A directory's image files in page order, as the library lists them (entries that are
// not regular files, such as a folder named "scan.png", are no pages). Reports and returns
// false when the directory cannot be read or holds no image.
bool directory_pages(const folian_settings *rec, const std::string &dir, std::vector<Page> *pages) {
    char **paths = nullptr;
    int count = 0;
    char error[512];
    if (!folian_list_directory(dir.c_str(), rec, &paths, &count, error, sizeof error)) {
        std::fprintf(stderr, "%s: %s\n", PROG, error);
        return false;
    }
    for (int i = 0; i < count; i++) pages->push_back({paths[i], paths[i]});
    folian_free(paths);
    if (count == 0) std::fprintf(stderr, "%s: %s: no images in directory\n", PROG, dir.c_str());
    return count > 0;
}

bool path_pages(const folian_settings *rec, const std::string &path, std::vector<Page> *pages) {
    if (path_is_directory(path.c_str())) return directory_pages(rec, path, pages);
    pages->push_back({path, path});
    return true;
}

// Every input in page order: files as given, directories as their image files, a LIST as
// the paths it holds (taken literally: "-" there is a file of that name).
bool collect_pages(const Settings &s, const folian_settings *rec, Scratch *scratch, std::vector<Page> *pages) {
    for (const InputArg &in : s.inputs) {
        if (!in.is_list) {
            if (!(is_stdin(in.text) ? stdin_page(scratch, pages) : path_pages(rec, in.text, pages))) return false;
            continue;
        }
        std::vector<std::string> listed;
        if (!read_list(in.text, s.null_separated, &listed)) return false;
        if (listed.empty()) {
            std::fprintf(stderr, "%s: %s: no paths in the list\n", PROG, is_stdin(in.text) ? STDIN_NAME : in.text);
            return false;
        }
        for (const std::string &path : listed)
            if (!path_pages(rec, path, pages)) return false;
    }
    return true;
}

// The output must not be one of the inputs: the document would replace the picture it is
// made from. Files are compared by identity, so a link or another spelling of the name
// counts; with -o -, standard output redirected to a file is the output.
bool output_replaces_an_input(const Settings &s, const std::vector<Page> &pages) {
    FileId out, in;
    if (!(is_stdin(s.output) ? stdout_file_id(&out) : file_id(s.output, &out))) return false;
    for (const Page &page : pages) {
        if (file_id(page.path.c_str(), &in) && in == out) {
            std::fprintf(stderr, "%s: %s: the output would replace this input\n", PROG, page.shown.c_str());
            return true;
        }
    }
    return false;
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
void report_output_failure(const char *target, const char *library_text) {
    int problem = output_problem(target);
    std::fprintf(stderr, "%s: cannot write %s: %s\n", PROG, target, problem ? std::strerror(problem) : library_text);
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

// What the library calls back after each page of a batch: progress, the verbose line, and
// whether a signal waits to end the tool (then the batch stops and the document is aborted).
struct PageWatch {
    const std::vector<Page> *pages;
    const Settings *s;
    Progress progress;
};

int after_page(void *ctx, int index) {
    PageWatch *w = (PageWatch *)ctx;
    const std::vector<Page> &pages = *w->pages;
    const size_t i = (size_t)index;
    if (w->s->verbose)
        std::fprintf(stderr, "[%lu/%lu] %s: %s\n", (unsigned long)i + 1, (unsigned long)pages.size(),
                     pages[i].shown.c_str(), describe_page(pages[i].path.c_str(), w->s->options()).c_str());
    if (i + 1 < pages.size()) w->progress.show(i + 1, pages.size(), pages[i + 1].shown.c_str());
    return signal_waiting() ? 0 : 1;
}

// Why page `page` failed: the system's reason for a file it cannot open (the library's is a
// generic one), else the library's.
void report_page_failure(folian_doc *doc, const Page &page) {
    std::FILE *probe = open_for_reading(page.path.c_str());
    if (!probe) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", PROG, page.shown.c_str(), std::strerror(errno));
        return;
    }
    std::fclose(probe);
    std::fprintf(stderr, "%s: %s: %s\n", PROG, page.shown.c_str(), folian_doc_error(doc));
}

// Adds every page through the library's batch (on the threads --jobs gives), stopping at the
// first that fails or at a signal that waits to end the tool. True when all were added.
bool add_pages(folian_doc *doc, const std::vector<Page> &pages, const Settings &s, bool show_progress) {
    if (signal_waiting()) return false;
    PageWatch watch{&pages, &s, Progress{}};
    watch.progress.on = show_progress && !s.verbose && pages.size() > 1 && stderr_is_terminal();
    std::vector<const char *> paths;
    for (const Page &page : pages) paths.push_back(page.path.c_str());
    watch.progress.show(0, pages.size(), pages[0].shown.c_str());
    const int added = folian_doc_add_pages(doc, paths.data(), (int)paths.size(), after_page, &watch);
    watch.progress.clear();
    if (added == (int)pages.size()) return true;
    if (!signal_waiting()) report_page_failure(doc, pages[(size_t)added]);
    return false;
}

// Converts the pages into `target`; 0 or 1. The caller holds signals (see write_document).
int write_document_held(const char *target, const folian_settings *rec, const std::vector<Page> &pages,
                        const Settings &s, bool show_progress) {
    int status = 1;
    if (folian_doc *doc = folian_doc_open(target, rec)) {
        if (*folian_doc_error(doc)) {  // the output cannot be made: found before any page is read
            report_output_failure(target, folian_doc_error(doc));
            folian_doc_abort(doc);
        } else if (!add_pages(doc, pages, s, show_progress)) {
            folian_doc_abort(doc);
        } else if (!folian_doc_finish(doc)) {
            report_output_failure(target, folian_doc_error(doc));
            folian_doc_abort(doc);  // a failed finish leaves the handle for its message
        } else {
            status = 0;
        }
    } else {
        std::fprintf(stderr, "%s: out of memory\n", PROG);
    }
    return status;
}

// Converts the pages into `target`; 0 or 1. Signals wait while the document lives, so an
// interrupt aborts it between pages and never ends the tool while the library holds a
// named temporary; once the document is finished or aborted, a signal that came ends the
// tool (with -o -, the copy to standard output is then not made).
int write_document(const char *target, const folian_settings *rec, const std::vector<Page> &pages, const Settings &s) {
    hold_signals();
    const int status = write_document_held(target, rec, pages, s, true);
    release_signals();
    return status;
}

// The library's settings record for the command line: the choices options() makes, by key.
// Null (reported) when out of memory.
folian_settings *library_settings(const Settings &s) {
    struct Switch {
        const char *key;
        unsigned bit;
    };
    static const Switch SWITCHES[] = {
        {"compact", FOLIAN_OPT_COMPACT},        {"interlaced", FOLIAN_OPT_INTERLACED},
        {"content-probe", FOLIAN_OPT_WIDE_PROBE}, {"exif-rotation", FOLIAN_OPT_ORIENTATION},
        {"file-dpi", FOLIAN_OPT_FILE_DPI},        {"icc", FOLIAN_OPT_ICC},
    };
    folian_settings *rec = folian_settings_new();
    bool ok = rec != nullptr;
    const unsigned options = s.options();
    for (const Switch &sw : SWITCHES) ok = ok && folian_settings_set(rec, sw.key, (options & sw.bit) ? "on" : "off");
    // Every core unless -j says otherwise; the library's default is one thread.
    ok = ok && folian_settings_set(rec, "jobs", "0");
    // Every format the library reads, unless the plain documents are asked for.
    ok = ok && folian_settings_set(rec, "formats", s.strict ? "classic" : "all");
    for (const KeyValue &kv : s.keys) ok = ok && folian_settings_set(rec, kv.key, kv.value);
    ok = ok && folian_settings_set(rec, "natural-order", s.natural_order ? "on" : "off");
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", PROG, rec ? folian_settings_error(rec) : "out of memory");
        folian_settings_free(rec);
        return nullptr;
    }
    return rec;
}

int convert_with(const Settings &s, const folian_settings *rec) {
    Scratch scratch;
    std::vector<Page> pages;
    if (!collect_pages(s, rec, &scratch, &pages)) return 1;
    if (output_replaces_an_input(s, pages)) return 1;
    if (!is_stdin(s.output)) return write_document(s.output, rec, pages, s);
    std::string target;
    if (!scratch.make("", &target)) return 1;
    prepare_stdout();
    return write_document(target.c_str(), rec, pages, s) == 0 && copy_to_stdout(target.c_str()) ? 0 : 1;
}

// One --each document: the directory's pages into its output, no progress line.
int convert_each_document(EachJob *job, const folian_settings *rec) {
    std::vector<Page> pages;
    if (!directory_pages(rec, job->dir, &pages)) return 1;
    job->pages = pages.size();
    const Settings quiet;
    return write_document_held(job->output.c_str(), rec, pages, quiet, false);
}

// --each: one document per directory, side by side (each.cpp).
int convert_each(const Settings &s, const folian_settings *rec) {
    if (s.output && !path_is_directory(s.output))
        return usage_error("with --each, -o names the directory for the documents, not", s.output);
    std::vector<EachJob> jobs;
    for (const InputArg &in : s.inputs) {
        if (in.is_list || !path_is_directory(in.text)) return usage_error("--each takes directories, not", in.text);
        EachJob job;
        job.dir = in.text;
        job.output = each_output(in.text, s.output);
        for (const EachJob &earlier : jobs)
            if (earlier.output == job.output) return usage_error("two documents would be written to", job.output.c_str());
        jobs.push_back(job);
    }
    const EachHost host{rec, convert_each_document};
    hold_signals();
    const int status = run_each(host, &jobs);
    release_signals();
    return status;
}

int convert(const Settings &s) {
    delete_scratch_on_signals();
    folian_settings *rec = library_settings(s);
    if (!rec) return 1;
    const int status = s.each ? convert_each(s, rec) : convert_with(s, rec);
    folian_settings_free(rec);
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    utf8_arguments(&argc, &argv);
    if (argc >= 2 && std::strcmp(argv[1], "transcode") == 0) {
        const bool strict = argc >= 3 && std::strcmp(argv[2], "--strict") == 0;
        if (argc != 4 + strict) return usage_error("transcode takes [--strict] IN and OUT", nullptr);
        return transcode_main(PROG, argv[2 + strict], argv[3 + strict], strict);
    }
    Settings s;
    int status = parse_arguments(argc, argv, &s);
    return status >= 0 ? status : convert(s);
}
