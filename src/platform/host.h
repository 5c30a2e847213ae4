// POSIX only: the host folder that stands for the simulated Windows machine (registry, service
// manager, named mutexes). Like WINEPREFIX: $HALVEX_HOST, else ~/.local/share/halvex/host.
#pragma once

#include <string>

namespace sys {

std::string HostDir();
void SetHostDir(const std::string& dir);  // tests; empty restores the default

}  // namespace sys
