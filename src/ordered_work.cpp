// ordered_work.cpp: the worker threads behind run_in_order: a claim counter bounded by the
// consumer's progress, a ready flag per slot, one lock and two condition variables.
#include "ordered_work.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace {

struct Shared {
    const OrderedWork *w;
    int slots;
    std::mutex lock;
    std::condition_variable produced;  // a slot became ready
    std::condition_variable freed;     // the consumer moved on, or the run stops
    int next = 0;                      // next index to claim
    int consumed = 0;                  // items taken by the consumer
    bool stop = false;
    std::vector<char> ready;           // per slot: produced and not yet consumed
};

// Claims the next index a free slot can hold; false when there is none left or the run stops.
bool claim(Shared *sh, int *index) {
    std::unique_lock<std::mutex> hold(sh->lock);
    sh->freed.wait(hold, [sh] { return sh->stop || sh->next >= sh->w->count || sh->next < sh->consumed + sh->slots; });
    if (sh->stop || sh->next >= sh->w->count) return false;
    *index = sh->next++;
    return true;
}

void worker(Shared *sh) {
    int index;
    while (claim(sh, &index)) {
        sh->w->produce(sh->w->ctx, index, index % sh->slots);
        std::lock_guard<std::mutex> hold(sh->lock);
        sh->ready[(size_t)(index % sh->slots)] = 1;
        sh->produced.notify_all();
    }
}

// Waits for item `index`; false when no worker is left to make it (then the caller makes it).
bool wait_ready(Shared *sh, int index, bool have_workers) {
    std::unique_lock<std::mutex> hold(sh->lock);
    if (!have_workers) return false;
    sh->produced.wait(hold, [sh, index] { return sh->ready[(size_t)(index % sh->slots)] != 0; });
    return true;
}

void finish_slot(Shared *sh, int index) {
    std::lock_guard<std::mutex> hold(sh->lock);
    sh->ready[(size_t)(index % sh->slots)] = 0;
    sh->consumed = index + 1;
    sh->freed.notify_all();
}

// Stops the workers, waits for them, and releases what they made that nobody took.
void stop_and_join(Shared *sh, std::vector<std::thread> *threads) {
    {
        std::lock_guard<std::mutex> hold(sh->lock);
        sh->stop = true;
        sh->freed.notify_all();
    }
    for (std::thread &t : *threads) t.join();
    for (int s = 0; s < sh->slots; s++)
        if (sh->ready[(size_t)s]) sh->w->discard(sh->w->ctx, s);
}

int run_in_turn(const OrderedWork *w) {
    for (int i = 0; i < w->count; i++) {
        w->produce(w->ctx, i, 0);
        if (!w->consume(w->ctx, i, 0)) return i;
    }
    return w->count;
}

}  // namespace

int ordered_work_slots(int workers) { return workers > 1 ? workers : 1; }

int run_in_order(const OrderedWork *w) {
    if (w->workers <= 1 || w->count <= 1) return run_in_turn(w);
    Shared sh;
    sh.w = w;
    sh.slots = ordered_work_slots(w->workers);
    std::vector<std::thread> threads;
    try {
        sh.ready.assign((size_t)sh.slots, 0);
        threads.reserve((size_t)w->workers);
        for (int i = 0; i < w->workers && i < w->count; i++) threads.emplace_back(worker, &sh);
    } catch (const std::system_error &) {  // no more threads: the ones started carry on
    } catch (const std::bad_alloc &) {
        if (sh.ready.size() != (size_t)sh.slots) return run_in_turn(w);
    }
    // Without any worker every item is made here, one at a time, in the slot it would have had.
    const bool have_workers = !threads.empty();
    int done = 0;
    for (; done < w->count; done++) {
        const int slot = done % sh.slots;
        if (!wait_ready(&sh, done, have_workers)) w->produce(w->ctx, done, slot);
        const bool go_on = w->consume(w->ctx, done, slot);
        finish_slot(&sh, done);
        if (!go_on) break;
    }
    stop_and_join(&sh, &threads);
    return done;
}
