// The engine entry: dithers the input file named in arguments_buffer with the
// settings as they stand and writes the result beside it. Reports on standard
// output; a file that could not be dithered and saved raises failed_files.
#pragma once

void ditherer();
