// wuffs_peer.h: PNG and JPEG decoding to RGBA through Wuffs, a peer for the benchmarks.
#ifndef FOLIAN_BENCH_WUFFS_PEER_H
#define FOLIAN_BENCH_WUFFS_PEER_H

#include <cstddef>
#include <cstdint>

// Decodes a whole PNG or JPEG file held in memory to 8-bit RGBA (non-premultiplied), rows
// back to back. Returns a malloc'ed buffer (release with free) and sets *w and *h, or
// returns null. JPEG chroma is upsampled by replication, as ours is.
uint8_t *wuffs_decode_rgba(const uint8_t *data, size_t len, int *w, int *h);

#endif
