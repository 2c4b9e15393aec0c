// The entry point: option scan, start-up and the run modes.
#pragma once

// Runs the installer with the process's arguments; returns the exit status.
int run_installer(int argc, char** argv);
