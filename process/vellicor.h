// The filter's entry point: the whole start-up sequence, the milter
// library's main loop and the exit status.
#pragma once

// Returns the exit status of the process: a sysexits value when start-up
// fails, otherwise the result of the milter main loop (255 for MI_FAILURE).
// In background mode the starting process returns 0 once the serving child
// has been forked.
int vellicor_main(int argc, char** argv);
