// What the machine does for the program, one file a system (platform_linux.cpp,
// platform_windows.cpp): the working directory taken from argument 0, the
// program's own path, the console, the key press after the usage text, and
// the files of
// the output step.
#pragma once

#include <cstddef>
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

// The full path of the running program's file, symbolic links resolved, or
// an empty string when the system cannot tell. The installed palettes are
// found from it, so that a prefix can be moved or chosen freely.
std::string platform_executable_path();

// Readies the console for the program's text before the banner: on Windows
// the console shows UTF-8, the code page of every name the program is given,
// until the program ends. Nothing to do on Linux.
void platform_prepare_console();

// Prints "Press any key to continue . . ." and waits for one byte on standard
// input, without echo or Enter on a terminal; at end of input it returns at
// once, so a run without a terminal never hangs. On Windows the shell's own
// "pause" does the same.
void platform_pause();

// Whether a folder has that name, symbolic links followed.
bool platform_is_folder(const char *path);

enum platform_folder_state { folder_writable, folder_missing, folder_read_only };

// Whether new files can be made in the folder: folder_missing when nothing or
// no folder has that name, folder_read_only when this process may not write
// into it.
platform_folder_state platform_check_folder(const char *path);

// An output file on its way: written where no name shows it, then given its
// final name in one step, so that a name never shows a partial file, even
// when the process is killed part-way.
struct platform_output;

// Starts an output in the folder of path (its part up to the last separator,
// or the working folder); one output at a time. Returns null when the folder
// takes no new file.
platform_output *platform_output_begin(const char *path);

// Writes all of size bytes. Returns false when the system took fewer.
bool platform_output_write(platform_output *output, const void *data, size_t size);

// After the last write: true when the system has every byte.
bool platform_output_finish(platform_output *output);

enum platform_publish_result { published, name_taken, publish_failed };

// Gives the finished output the name path, never replacing or following an
// existing entry of that name (name_taken: try another name).
platform_publish_result platform_output_publish(platform_output *output, const char *path);

// Ends the output, published or not: an unpublished one leaves no trace.
// A null output is ignored.
void platform_output_end(platform_output *output);

// Asks the system to back the block with large pages where it can: a large
// buffer filled once then costs a few faults of the kernel instead of one per
// small page. Only a hint; it changes no byte and may do nothing.
void platform_prefer_large_pages(void *start, size_t size);

#ifdef _WIN32
// Text in the code page in which the arguments arrived, as the system's wide
// functions take it; empty when it is not valid in that code page.
std::wstring platform_wide_text(const char *text);
#endif
