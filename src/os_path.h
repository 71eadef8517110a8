// os_path.h: opening, replacing, testing and listing files by path name.
//
// Paths are byte strings. On Windows a path that is valid UTF-8 is converted and handed to
// the wide-character calls, so every name can be reached; any other byte string goes to the
// narrow calls, which read it in the ANSI code page, as hosts that pass ANSI paths expect.
// Elsewhere these are the plain POSIX calls.
#ifndef FOLIAN_OS_PATH_H
#define FOLIAN_OS_PATH_H

#include <cstdio>

// Whether `s` is well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool utf8_is_valid(const char *s);

// fopen, with the path taken as above; "wbx" and "w+bx" create a new file only, on every
// system.
FILE *os_fopen(const char *path, const char *mode);
// Moves `from` over `to`, replacing an existing file. True on success.
bool os_replace(const char *from, const char *to);
// Deletes a file. True on success.
bool os_remove(const char *path);
// Whether `path` names an existing directory.
bool os_is_directory(const char *path);
// Whether `path` names a regular file, or a link that leads to one.
bool os_is_regular_file(const char *path);

// Directory listing, one entry name at a time ("." and ".." included, as the system gives
// them). On Windows the names are UTF-8 when the directory's path was UTF-8, else ANSI, so
// "dir/name" is always a path the calls above open.
struct OsDir;
OsDir *os_dir_open(const char *path);  // null when the directory cannot be listed
const char *os_dir_next(OsDir *dir);   // null after the last entry; valid until the next call
// Whether the entry `name` just listed (full path `path`) is a regular file or a link to one.
// Asked relative to the open directory where the system allows, so that an entry whose
// joined path passes the system's path limit is still seen for what it is.
bool os_dir_entry_is_file(OsDir *dir, const char *path, const char *name);
void os_dir_close(OsDir *dir);

#endif
