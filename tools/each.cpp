// each.cpp: the document threads of --each: each takes the next directory, converts it with
// its share of the --jobs budget, and times it; a signal stops new documents from starting.
#include "each.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "platform.h"

namespace {

std::string without_trailing_slashes(const char *dir) {
    std::string d = dir;
    while (d.size() > 1 && (d.back() == '/' || d.back() == '\\')) d.pop_back();
    return d;
}

uint64_t file_bytes(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

struct Run {
    const EachHost *host;
    std::vector<EachJob> *jobs;
    const folian_settings *doc_rec;
    std::atomic<size_t> next{0};
};

void document_thread(Run *run) {
    for (;;) {
        const size_t i = run->next++;
        if (i >= run->jobs->size() || signal_waiting()) return;
        EachJob &job = (*run->jobs)[i];
        const auto start = std::chrono::steady_clock::now();
        job.status = run->host->convert(&job, run->doc_rec);
        job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (job.status == 0) job.bytes = file_bytes(job.output);
    }
}

void print_summary(const std::vector<EachJob> &jobs) {
    size_t failed = 0;
    for (const EachJob &job : jobs) {
        if (job.status == 0)
            std::printf("%s: %llu pages, %llu bytes, %.2f s\n", job.output.c_str(), (unsigned long long)job.pages,
                        (unsigned long long)job.bytes, job.seconds);
        else
            std::printf("%s: %s\n", job.dir.c_str(), job.status < 0 ? "not converted (interrupted)" : "failed");
        failed += job.status != 0;
    }
    std::fflush(stdout);
    if (!failed) return;
    std::string names;
    for (const EachJob &job : jobs)
        if (job.status != 0) names += (names.empty() ? "" : ", ") + job.dir;
    std::fprintf(stderr, "folian: %lu of %lu documents failed: %s\n", (unsigned long)failed,
                 (unsigned long)jobs.size(), names.c_str());
}

}  // namespace

std::string each_output(const char *dir, const char *outdir) {
    const std::string d = without_trailing_slashes(dir);
    if (!outdir) return d + ".pdf";
    const size_t slash = d.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? d : d.substr(slash + 1);
    return without_trailing_slashes(outdir) + "/" + name + ".pdf";
}

int run_each(const EachHost &host, std::vector<EachJob> *jobs) {
    // The budget is shared: as many documents at once as it allows, each with an equal share.
    const int budget = folian_settings_threads(host.rec);
    const size_t at_once = jobs->size() < (size_t)budget ? jobs->size() : (size_t)budget;
    const int share = budget / (int)(at_once ? at_once : 1);
    folian_settings *doc_rec = folian_settings_copy(host.rec);
    if (!doc_rec || !folian_settings_set(doc_rec, "jobs", std::to_string(share > 1 ? share : 1).c_str())) {
        std::fprintf(stderr, "folian: out of memory\n");
        folian_settings_free(doc_rec);
        return 1;
    }
    Run run{&host, jobs, doc_rec};
    std::vector<std::thread> threads;
    for (size_t t = 1; t < at_once; t++) {
        try {
            threads.emplace_back(document_thread, &run);
        } catch (const std::exception &) {
            break;  // fewer documents at once
        }
    }
    document_thread(&run);
    for (std::thread &t : threads) t.join();
    folian_settings_free(doc_rec);
    print_summary(*jobs);
    for (const EachJob &job : *jobs)
        if (job.status != 0) return 1;
    return 0;
}
