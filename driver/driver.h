// The command-line driver: banner, usage text, and one pass over the
// arguments from left to right. An option consumes the argument after it as
// its value; any other argument is an input file, handed at once to the
// engine with its path in arguments_buffer.
#pragma once

// The program's one version string: the banner shows it, and so do
// "--version" and the manual page's footer.
constexpr char program_version[] = "d0044";

// Runs the whole command line, calling dither_file (the engine's ditherer, or
// a test's stand-in) for every input file, and returns the exit status: 0 when
// every input file was dithered and saved and no argument was refused as too
// long, 1 otherwise. "--help" or "--version" as the first argument prints the
// usage text or the version line and returns 0. Writes only to standard
// output.
int run_driver(int argument_count, char **arguments, void (*dither_file)());
