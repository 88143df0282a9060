// What the machine does for the program, one file a system (platform_linux.cpp,
// platform_windows.cpp): the working directory taken from argument 0, the
// console, the key press after the usage text, and the file-system tests of
// the output step.
#pragma once

#include <string>

// The folder part of argument 0, cut the old way: looking from the end toward
// the start, down to position 2, the first backslash ends the folder and stays
// in it ("C:\tools\Tessaly.exe" gives "C:\tools\"). Without such a backslash
// there is no folder part and the result is empty. Forward slashes are
// ordinary characters.
std::string working_directory_of(const char *argument_0);

// Changes to working_directory_of(argument_0) when it is not empty, ignoring
// the result: started by its bare name, or on Linux by a path with forward
// slashes, the program stays in the shell's folder.
void platform_set_working_directory(const char *argument_0);

// Readies the console for the program's text before the banner: on Windows
// the console shows UTF-8, the code page of every name the program is given,
// until the program ends. Nothing to do on Linux.
void platform_prepare_console();

// Prints "Press any key to continue . . ." and waits for one byte on standard
// input, without echo or Enter on a terminal; at end of input it returns at
// once, so a run without a terminal never hangs. On Windows the shell's own
// "pause" does the same.
void platform_pause();

// True when anything exists under the name, a dangling symbolic link included.
bool platform_path_exists(const char *path);

// Creates the file exclusively, for writing, never following or replacing an
// existing entry. Returns a file descriptor, or -1 with errno set (EEXIST when
// the name is taken).
int platform_create_new_file(const char *path);

// Writes all of size bytes to the descriptor, retrying short writes and
// interruptions. Returns true when every byte was written.
bool platform_write_all(int fd, const void *data, size_t size);
