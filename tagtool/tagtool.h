// vellicor-tag: makes the tag the filter would make for an address, says
// what the filter would decide about a tagged address, and loads a
// configuration with everything it names as the filter's start-up does,
// without opening a socket or starting anything.
#pragma once

// Runs the tool; returns the exit status.
int tagtool_main(int argc, char** argv);
