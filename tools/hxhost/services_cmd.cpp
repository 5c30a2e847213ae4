#include "commands.h"

std::vector<HostCommand> ServiceCommands() {
    return {};
}
