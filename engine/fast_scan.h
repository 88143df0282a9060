// The fast scan and pre-processing, exact to the bit against the plain ones.
#pragma once

#include "engine/scan.h"
#include "engine/working_image.h"
#include "png/png_writer.h"

// The circle pre-processing with the fast search; pre_processing_pass > 0.
void fast_pre_process(working_image &image);

// The diffusion scan with the fast search: serpentine scans one row at a time,
// the others as a wavefront on the cores. Returns false when the gate fails.
bool fast_diffusion_scan(working_image &image, png_writer_t *writer, const row_gate *gate);
