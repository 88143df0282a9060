// What one file leaves to the next on purpose. Written by the engine while it
// scans; never reset between files, so the first pixel of a file may keep the
// entry of the last pixel of the file before it.
#pragma once

// The entry chosen for the last pixel handled; it stays when no entry's error
// is below the search's starting value (values grown without bound, or not
// numbers).
extern int best_color;
