#include "commands.h"

std::vector<HostCommand> RegistryCommands() {
    return {};
}
