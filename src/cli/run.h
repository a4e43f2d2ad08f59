// sc-vardo as a whole: setup, then the phases, inside the folder's lock.
#pragma once

// Returns the process exit status.
int runMain(int argc, char** argv);
