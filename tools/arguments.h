// arguments.h: the command line as UTF-8, whatever the platform hands main.
#ifndef FOLIAN_TOOL_ARGUMENTS_H
#define FOLIAN_TOOL_ARGUMENTS_H

// On Windows replaces *argv by the wide-character command line converted to UTF-8 (the
// narrow one has lost every character outside the ANSI code page), which is how the library
// takes paths; elsewhere leaves argc and argv as they are. The strings live to the end of
// the process. Keeps the narrow arguments if the conversion fails.
void utf8_arguments(int *argc, char ***argv);

#endif
