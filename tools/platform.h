// platform.h: what the tool needs from the platform beyond the library: the command line as
// UTF-8, files and directories named the way the library takes paths, file identities,
// scratch files for standard input and output, the signals a document must not be cut
// short by, and the terminal test.
#ifndef FOLIAN_TOOL_PLATFORM_H
#define FOLIAN_TOOL_PLATFORM_H

#include <cstdio>
#include <string>

// On Windows replaces *argv by the wide-character command line converted to UTF-8 (the
// narrow one has lost every character outside the ANSI code page), which is how the library
// takes paths; elsewhere leaves argc and argv as they are. The strings live to the end of
// the process. Keeps the narrow arguments if the conversion fails.
void utf8_arguments(int *argc, char ***argv);

// Whether `path` names a directory. On Windows a UTF-8 path is tested with the
// wide-character call, any other byte string in the ANSI code page, as the library opens them.
bool path_is_directory(const char *path);

// fopen for reading in binary mode, with the path taken as the library takes it. Null with
// errno set on failure.
std::FILE *open_for_reading(const char *path);

// fopen for writing in binary mode, likewise.
std::FILE *open_for_writing(const char *path);

// Deletes a file; false when it could not be deleted.
bool remove_file(const char *path);

// Why a file could not be created at `path`, as an errno value found by looking at the path
// and its directory, or 0 when nothing there explains it.
int output_problem(const char *path);

// Interrupt, termination and hang-up end the tool as they would, after deleting its
// scratch files. Installed once, before the first scratch file is made.
void delete_scratch_on_signals();

// Between hold_signals and release_signals those signals wait: while the library holds a
// named temporary (at document begin and finish, and everywhere on Windows), ending the
// process would leave it behind. signal_waiting tells whether one came meanwhile, so a
// document can be aborted between pages; release_signals then lets it end the tool.
void hold_signals();
bool signal_waiting();
void release_signals();

// Creates a new empty file of a unique name ending in `suffix` in the system's temporary
// directory and sets *path to it; a signal that ends the tool deletes it, until
// remove_scratch_file does. False with errno set on failure.
bool make_scratch_file(const char *suffix, std::string *path);
void remove_scratch_file(const std::string &path);

// Which file a path names, by device and file number, so that two names of one file (links,
// "./a" and "a") are told the same. False when there is no such file.
struct FileId {
    unsigned long long device, number;
    bool operator==(const FileId &o) const { return device == o.device && number == o.number; }
};
bool file_id(const char *path, FileId *id);
// The same for standard output when it is a regular file (a redirection to a file).
bool stdout_file_id(FileId *id);

// Standard input carries bytes unchanged (no newline translation on Windows).
void prepare_stdin();

// Standard output carries bytes unchanged (no newline translation on Windows), and a reader
// that goes away shows as a failed write, not as a signal that would end the tool before it
// deletes its scratch file.
void prepare_stdout();

// Whether standard error is a terminal (progress lines are for people, not for logs).
bool stderr_is_terminal();

#endif
