// file_io.h: whole-file read and safe whole-file write, shared by every unit that touches files.
#ifndef FOLIAN_FILE_IO_H
#define FOLIAN_FILE_IO_H

#include <cstddef>
#include <cstdint>

enum FileReadStatus {
    FILE_READ_OK = 0,
    FILE_READ_CANNOT_OPEN,  // open or size query failed
    FILE_READ_TOO_LARGE,    // larger than the caller's limit; nothing was read
    FILE_READ_NO_MEMORY,
    FILE_READ_SHORT,        // fewer bytes arrived than the size announced
};

// Reads the whole file at `path` into a new mem_malloc buffer (1 byte for an empty
// file, so *data is never null on success). Sizes are 64-bit throughout: a file is
// either read entirely or rejected, never cut. Anything but a regular file (directory,
// pipe, device, socket) cannot be opened, and nothing waits on it.
FileReadStatus file_read_whole(const char *path, uint64_t max_len, uint8_t **data, uint64_t *len);

enum FileWriteStatus {
    FILE_WRITE_OK = 0,
    FILE_WRITE_CANNOT_OPEN,  // the output (or its temporary) cannot be created
    FILE_WRITE_FAILED,       // writing, flushing or renaming failed
};

// Writes `len` bytes as the complete new content of `path`. A regular file (or a path
// that does not exist yet) is written under a temporary name in the same directory and
// renamed over `path` only when every byte is on disk, so a failure leaves whatever was
// there before. A path naming a device or pipe is written directly. Symbolic links are
// followed to their final target, which is written the same way whether it exists or not.
FileWriteStatus file_write_whole(const char *path, const void *data, size_t len);

#endif
