// The program from process start to the end of the event loop.
#pragma once

// Returns the exit code: 1 when the start is refused, else the event loop's result.
int RunHalvex(int argc, char** argv);

// Registers the Tahoma of Debian's fonts-wine where the system has no Tahoma; needs the
// application object.
void ProvideTahoma();
