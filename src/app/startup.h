// The program from process start to the end of the event loop.
#pragma once

// Returns the exit code: 1 when the start is refused, else the event loop's result.
int RunHalvex(int argc, char** argv);
