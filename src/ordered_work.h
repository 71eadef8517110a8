// ordered_work.h: work items produced on several threads and consumed strictly in order on
// the calling thread, with a bounded number of results waiting.
//
// This is the only place the library starts threads, and only when a caller's settings ask
// for more than one; every thread it starts has ended when run_in_order returns.
#ifndef FOLIAN_ORDERED_WORK_H
#define FOLIAN_ORDERED_WORK_H

// Item i lives in slot i % slots until consumed; the caller owns the slots' storage.
struct OrderedWork {
    void *ctx;
    int count;    // items 0 .. count-1
    int workers;  // threads producing; at most 1 starts none (the items are made in turn)
    // Makes item `index` into `slot`; runs on any worker, never twice for one slot at once.
    void (*produce)(void *ctx, int index, int slot);
    // Takes item `index` from its slot, on the calling thread in index order; false stops.
    bool (*consume)(void *ctx, int index, int slot);
    // Releases a slot produced but not consumed because the run stopped.
    void (*discard)(void *ctx, int slot);
};

// How many slots a run with `workers` threads has: one item per worker. The item being
// consumed keeps its slot, so while it is written one worker waits: writing is the short
// step, and memory stays at `workers` items (the whole-page images are what costs).
int ordered_work_slots(int workers);

// Runs the work; returns how many items were consumed (count unless consume said stop).
// Threads that cannot be started are done without: the items are then made by fewer.
int run_in_order(const OrderedWork *w);

#endif
