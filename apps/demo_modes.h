#pragma once
// Entry points of the demo's modes besides range-frame fusion; each takes the
// whole command line and returns the process exit code.
int run_laser_demo(int argc, char** argv);
