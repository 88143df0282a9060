// The fast scan and pre-processing, exact to the bit against the plain ones.
#pragma once

#include "engine/scan.h"
#include "engine/working_image.h"
#include "png/png_writer.h"

#include <functional>
#include <thread>

// Whether the fast scan and pre-processing handle this many working
// channels; the plain ones take any other count.
bool fast_paths_cover(int channels);

// The circle pre-processing with the fast search; pre_processing_pass > 0.
void fast_pre_process(working_image &image);

// The diffusion scan with the fast search: serpentine scans one row at a time,
// the others as a wavefront on the cores. Returns false when the gate fails.
bool fast_diffusion_scan(working_image &image, png_writer_t *writer, row_gate *gate);

// Starts a helper thread of the wavefront: std::thread's constructor, which
// may throw std::system_error or std::bad_alloc; either makes the scan run in
// one thread. Tests put a refusing starter here.
extern std::thread (*scan_helper_starter)(std::function<void()> body);
