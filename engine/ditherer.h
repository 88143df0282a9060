// The engine entry: dithers the input file named in arguments_buffer with the
// settings as they stand and writes the result beside it. Reports on standard
// output; a file that could not be dithered and saved raises failed_files.
#pragma once

void ditherer();

// The faster search and scan give exactly what the plain ones give; the plain
// ones stay as their reference and are chosen when this is true (the
// benchmark's plain program and the equivalence tests set it).
extern bool use_plain_paths;
