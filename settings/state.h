// The process-wide state, in its headers by lifetime: the settings
// (settings/settings.h), the file state (settings/file_state.h), what one file
// carries to the next (settings/carried_state.h), the scan's scratch
// (settings/scan_state.h) and the run's report (settings/run_report.h).
#pragma once

// Puts all of it as a fresh process holds it before its first option: the
// settings' defaults, no entry carried, no scratch, nothing reported. The
// switches of settings/tuning.h, set before the run, are left as they are.
void reset_process_state();
