// POSIX backend of the console: arguments are bytes, terminals take UTF-8, and the stand-ins
// need no rights.
#include <unistd.h>

#include "platform/console.h"
#include "platform/sys.h"

namespace sys {

std::vector<std::wstring> CommandLineArguments(int argc, char** argv) {
    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(FromUtf8(argv[i]));
    return arguments;
}

Utf8Console::Utf8Console() = default;
Utf8Console::~Utf8Console() = default;

std::FILE* SetAsideStandardOutput() {
    std::fflush(stdout);
    const int original = ::dup(STDOUT_FILENO);
    if (original < 0) return nullptr;
    if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        ::close(original);
        return nullptr;
    }
    return ::fdopen(original, "w");
}

bool StandardInputIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

bool HasAdministratorRights() {
    return true;
}

}  // namespace sys
