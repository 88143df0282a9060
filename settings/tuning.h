// Switches that choose how the engine computes, never what: every setting of
// them gives the same bytes. Set once before the run by the program's main
// (the benchmark's plain program) or by a test; read by the engine.
#pragma once

#include <cstddef>

// The faster search and scan give exactly what the plain ones give; the plain
// ones stay as their reference and run when this is true.
extern bool use_plain_paths;

// Threads of the fast scan: 0 takes one per core on images large enough to
// gain from them; another number takes that many whatever the size (tests use
// it to run the wavefront on small images).
extern int scan_thread_count;

// Asked to back a large buffer that is about to be filled with large pages,
// where the system can (platform_prefer_large_pages); none by default. Only a
// hint: it changes no byte.
extern void (*prefer_large_pages)(void *start, size_t size);
