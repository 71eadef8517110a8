// platform.h: what the tool needs from the platform beyond the library: the command line as
// UTF-8, and a directory test that takes paths the way the library does.
#ifndef FOLIAN_TOOL_PLATFORM_H
#define FOLIAN_TOOL_PLATFORM_H

// On Windows replaces *argv by the wide-character command line converted to UTF-8 (the
// narrow one has lost every character outside the ANSI code page), which is how the library
// takes paths; elsewhere leaves argc and argv as they are. The strings live to the end of
// the process. Keeps the narrow arguments if the conversion fails.
void utf8_arguments(int *argc, char ***argv);

// Whether `path` names a directory. On Windows a UTF-8 path is tested with the
// wide-character call, any other byte string in the ANSI code page, as the library opens them.
bool path_is_directory(const char *path);

#endif
