// halvex-host: sets up and inspects the simulated Windows machine that Halvex's POSIX backend
// runs against (the folder $HALVEX_HOST, default ~/.local/share/halvex/host).
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "platform/host.h"

namespace {

std::vector<HostCommand> AllCommands() {
    std::vector<HostCommand> all = RegistryCommands();
    for (const HostCommand& c : ServiceCommands())
        all.push_back(c);
    return all;
}

int Help() {
    std::printf(
        "usage: halvex-host [--host DIR] COMMAND [ARGS]\n\n"
        "Linux has no registry and no Oculus services. Halvex's POSIX backend reads them from a\n"
        "host folder that stands for the Windows machine: HKLM.reg (a registry export), one file\n"
        "per service in services/, and lock files for named mutexes in locks/.\n"
        "The folder is --host DIR, else $HALVEX_HOST, else ~/.local/share/halvex/host.\n\n"
        "commands:\n");
    for (const HostCommand& c : AllCommands())
        std::printf("  %-28s %s\n", c.name, c.usage);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Args args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "--host") {
        sys::SetHostDir(args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") return Help();
    for (const HostCommand& c : AllCommands()) {
        if (args[0] == c.name) return c.run(Args(args.begin() + 1, args.end()));
    }
    std::fprintf(stderr, "halvex-host: unknown command '%s' (see --help)\n", args[0].c_str());
    return 2;
}
