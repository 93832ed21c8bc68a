#pragma once

/// One run of the updater, from the command line to the exit code.
int runUpdater(int argc, char** argv);
