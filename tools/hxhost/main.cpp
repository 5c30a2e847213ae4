// halvex-host: sets up and inspects the simulated Windows machine that Halvex's POSIX backend
// runs against (the folder $HALVEX_HOST, default ~/.local/share/halvex/host).
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "platform/host.h"

namespace {

std::vector<HostCommand> AllCommands() {
    std::vector<HostCommand> all = SampleCommands();
    for (const auto& part : {RegistryCommands(), ServiceCommands()})
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

int Help() {
    std::printf(
        "usage: halvex-host [--host DIR] COMMAND [ARGS]\n\n"
        "Halvex is a Windows program. On Linux it runs against stand-ins for the parts of\n"
        "Windows it uses, kept in one host folder that plays the Windows machine (as a Wine\n"
        "prefix does):\n"
        "  HKLM.reg    the registry: a registry export, read-only to Halvex. Halvex finds the\n"
        "              Oculus installation in HKLM\\SOFTWARE\\WOW6432Node\\Oculus VR, "
        "LLC\\Oculus,\n"
        "              value \"Base\".\n"
        "  services/   the service manager: one file per service with its state (stopped,\n"
        "              start_pending, stop_pending, running), how long it takes to stop or start,\n"
        "              and whether it refuses. Halvex stops OVRLibraryService and OVRService\n"
        "              before a move and starts them again after it.\n"
        "  locks/      named mutexes: one lock file per name. A running Halvex holds one, so a\n"
        "              second one refuses to start.\n"
        "  sample.conf what setup made, so that reset can make it again.\n"
        "The host folder is --host DIR, else $HALVEX_HOST, else ~/.local/share/halvex/host.\n"
        "The files, the links and the disks are real: Halvex moves real folders.\n\n"
        "To try Halvex: halvex-host setup --base ~/.local/share/halvex/Oculus, start halvex,\n"
        "move to any folder outside the base folder, and halvex-host reset to try again.\n"
        "reset removes only what lies in the base folder (a link there goes, never the data it\n"
        "leads to) and rewrites the registry and the services; moved data stays where it is.\n\n"
        "commands:\n");
    for (const HostCommand& c : AllCommands())
        std::printf("  %-9s %s\n", c.name, c.usage);
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
