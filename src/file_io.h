// file_io.h: whole-file read, safe whole-file write and safe streamed write, shared by every
// unit that touches files.
#ifndef FOLIAN_FILE_IO_H
#define FOLIAN_FILE_IO_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

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
    FILE_WRITE_NO_MEMORY,    // streamed output only: its bookkeeping could not be allocated
};

// Writes `len` bytes as the complete new content of `path`. A regular file (or a path
// that does not exist yet) is written under a temporary name in the same directory and
// renamed over `path` only when every byte is on disk, so a failure leaves whatever was
// there before. A path naming a device or pipe is written directly. Symbolic links are
// followed to their final target, which is written the same way whether it exists or not.
FileWriteStatus file_write_whole(const char *path, const void *data, size_t len);

// ---- Streamed output -----------------------------------------------------------------------
// A file written piece by piece under the same rules as file_write_whole: the bytes go to a
// temporary beside the destination that replaces it only on commit; a device or pipe is
// written in place. A scratch file holds bytes to be copied into an output later; it lives
// beside the output's destination (same file system, so the copy can stay in the kernel)
// and is removed on every path, crashes included where the system allows.
struct FileOut {
    FILE *f;
    char *tmp;     // the temporary's name while it exists; null when there is none on disk
    char *target;  // the name the temporary replaces on commit; null when written in place
};

FileWriteStatus file_out_open(const char *path, FileOut *out);
FileWriteStatus file_scratch_open(const char *path, FileOut *scratch);
// Appends bytes; false on a short write (the file is then useless: discard it).
bool file_out_write(FileOut *out, const void *data, size_t len);
// Appends the whole content of `scratch` to `out`.
bool file_out_copy(FileOut *out, FileOut *scratch);
// Makes the output the destination's content and releases it, or discards it on failure.
FileWriteStatus file_out_commit(FileOut *out);
// Closes and removes the temporary (or scratch file); the destination stays as it was.
void file_out_discard(FileOut *out);

#endif
