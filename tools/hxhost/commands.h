// The host tool's commands. Each returns the process exit code.
#pragma once

#include <string>
#include <vector>

using Args = std::vector<std::string>;

struct HostCommand {
    const char* name;
    const char* usage;  // one line for --help
    int (*run)(const Args& args);
};

// Each part of the tool lists its commands here.
std::vector<HostCommand> RegistryCommands();
std::vector<HostCommand> ServiceCommands();
std::vector<HostCommand> SampleCommands();
