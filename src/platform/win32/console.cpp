// Windows backend of the console: the wide command line, the console's output code page, and
// the administrators' rights of the process's token.
#include <windows.h>

#include <io.h>
#include <shellapi.h>

#include "platform/console.h"

namespace sys {

std::vector<std::wstring> CommandLineArguments(int, char**) {
    std::vector<std::wstring> arguments;
    int count = 0;
    wchar_t** list = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!list) return arguments;
    for (int i = 1; i < count; ++i)
        arguments.emplace_back(list[i]);
    ::LocalFree(list);
    return arguments;
}

Utf8Console::Utf8Console() {
    const UINT page = ::GetConsoleOutputCP();  // 0 without a console
    if (page != 0 && page != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) previous_ = page;
}

Utf8Console::~Utf8Console() {
    if (previous_ != 0) ::SetConsoleOutputCP(previous_);
}

std::FILE* SetAsideStandardOutput() {
    std::fflush(stdout);
    const int original = ::_dup(_fileno(stdout));
    if (original < 0) return nullptr;
    if (::_dup2(_fileno(stderr), _fileno(stdout)) != 0) {
        ::_close(original);
        return nullptr;
    }
    return ::_fdopen(original, "w");
}

bool StandardInputIsTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
}

bool HasAdministratorRights() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                    0, 0, 0, 0, 0, &administrators)) {
        return false;
    }
    // A null token asks about the thread's effective one: an unelevated administrator's token
    // holds the group for denying only, and is not counted.
    BOOL member = FALSE;
    const BOOL asked = ::CheckTokenMembership(nullptr, administrators, &member);
    ::FreeSid(administrators);
    return asked && member;
}

}  // namespace sys
