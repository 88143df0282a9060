// What the run reports as a whole, beyond any one file. Cleared by the
// driver when the run starts.
#pragma once

// Whether the run has said that a full palette gives up entry 255 for
// transparency; it says so once, for the first file.
extern bool transparent_entry_reported;

// Input files that were not dithered and saved, raised by the engine; the
// driver turns a non-zero count into exit status 1.
extern int failed_files;
