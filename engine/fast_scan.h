// The fast scan and pre-processing, exact to the bit against the plain ones.
#pragma once

#include "engine/scan.h"
#include "engine/working_image.h"
#include "png/png_writer.h"

// Whether the fast scan and pre-processing handle this many working
// channels; the plain ones take any other count.
bool fast_paths_cover(int channels);

class nearest_color_finder;

// What a fast scan leaves behind: the search state of the plain search after
// the last pixel, whose values were last_values; found tells whether its
// search found the entry carried, or kept it from the pixel before.
void leave_fast_search_state(const nearest_color_finder &finder, const float *last_values, int carried, bool found);

// The threads a fast scan of the image takes: scan_thread_count when set,
// else one per core on images large enough to gain from them.
int scan_threads(const working_image &image);

// The circle pre-processing with the fast search; pre_processing_pass > 0.
void fast_pre_process(working_image &image);

// The diffusion scan with the fast search: serpentine scans one row at a time,
// the others as a wavefront on the cores. Returns false when the gate fails.
bool fast_diffusion_scan(working_image &image, png_writer_t *writer, row_gate *gate);
