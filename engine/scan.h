// The circle pre-processing and the error-diffusion scan.
#pragma once

#include "engine/image.h"
#include "png/png_writer.h"

extern float error_ch[12];
extern int direction;  // 1: the row runs left to right, 0: right to left

// Threads of the fast scan: 0 takes one per core on images large enough to
// gain from them; another number takes that many whatever the size (tests
// use it to run the wavefront on small images).
extern int scan_thread_count;

// Clears error_ch; done when the engine starts on a file.
void clear_scan_state();

// Runs pre_processing_pass passes of the circle pre-processing when
// pre_processing_algorithm is 1.
void pre_process(working_image &image);

// One error-diffusion pass over every pixel, plain or serpentine; stores each
// chosen index in the writer.
void diffusion_scan(working_image &image, png_writer_t *writer);
