// each.h: --each, one document per directory: the documents run side by side on the tool's
// threads within the --jobs budget, and each one's outcome is summed up in order.
#ifndef FOLIAN_TOOL_EACH_H
#define FOLIAN_TOOL_EACH_H

#include <cstdint>
#include <string>
#include <vector>

#include "folian.h"

struct EachJob {
    std::string dir, output;
    int status = -1;      // 0 written, 1 failed, -1 not run (a signal stopped the run)
    uint64_t pages = 0;
    uint64_t bytes = 0;
    double seconds = 0;
};

struct EachHost {
    const folian_settings *rec;  // the command line's settings; jobs is the whole budget
    // Converts one directory with `rec` (its jobs already the document's share); sets
    // job->pages; returns 0 or 1, having reported a failure on standard error.
    int (*convert)(EachJob *job, const folian_settings *rec);
};

// Where DIR's document goes: DIR.pdf beside it, or NAME.pdf inside `outdir` when given.
std::string each_output(const char *dir, const char *outdir);

// Runs every job, prints the summary on standard output, and returns the exit status: 0 when
// every document was written, else 1 with the failed ones named on standard error.
int run_each(const EachHost &host, std::vector<EachJob> *jobs);

#endif
