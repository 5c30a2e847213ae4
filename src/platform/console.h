// What a command-line program needs of its system: its arguments as the system gives them, text
// in UTF-8 on the console, whether a person answers on standard input, and whether the process
// may change what a move changes.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace sys {

// The program's arguments after its own name. Windows: from the process's wide command line
// (CommandLineToArgvW), as the narrow argv holds only the ANSI code page. POSIX: argv, each
// byte that is not UTF-8 carried as its reserved code point (FromUtf8).
std::vector<std::wstring> CommandLineArguments(int argc, char** argv);

// While it lives, the console shows UTF-8 output as text: Windows switches the console's output
// code page to UTF-8 (65001) and back. POSIX: terminals take UTF-8 as they are.
class Utf8Console {
  public:
    Utf8Console();
    ~Utf8Console();
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

  private:
    unsigned previous_ = 0;  // the code page to restore; 0 when there was none to change
};

// From now on, what the process writes to standard output (the engine's diagnostics among it)
// goes to standard error; the stream returned is the original standard output, kept for output
// that programs read. Null when it cannot be set aside (standard output is left as it was).
std::FILE* SetAsideStandardOutput();

// True when standard input is a terminal (a console), where a person can answer a question.
bool StandardInputIsTerminal();

// True when the process may stop services and make links: Windows, a member of the
// administrators whose token is elevated. POSIX: true (the stand-ins need no rights).
bool HasAdministratorRights();

}  // namespace sys
