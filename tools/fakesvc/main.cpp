// halvex-fakesvc: a small Windows service for the Wine tests. It runs under the real service
// control manager and reports its progress the way a slow service does, so that Halvex's waits
// meet real wait hints and check points. Its behaviour comes from the arguments of its binPath:
//   --start-ms N    time from start to running (default 0)
//   --start-hint N  wait hint reported while start pending (default 500)
//   --stop-ms N     time from a stop request to stopped (default 0)
//   --stop-hint N   wait hint reported while stop pending (default 500)
//   --step-ms N     the check point grows by one every N ms while pending (default 100)
//   --refuse-stop   does not accept the stop control
//   --refuse-start  stops again at once with an exit code, as a service that fails to start
// The user-defined control 128 stops it whatever it refuses, so that tests can tidy up.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Behaviour {
    DWORD startMs = 0, startHint = 500;
    DWORD stopMs = 0, stopHint = 500;
    DWORD stepMs = 100;
    bool refuseStop = false;
    bool refuseStart = false;
};

constexpr DWORD kForceStop = 128;

Behaviour g_behaviour;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopRequested = nullptr;
SERVICE_STATUS g_status{};
CRITICAL_SECTION g_statusLock;

bool ParseArgs(int argc, char** argv, Behaviour& b) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        DWORD* target = nullptr;
        if (std::strcmp(arg, "--refuse-stop") == 0) {
            b.refuseStop = true;
            continue;
        }
        if (std::strcmp(arg, "--refuse-start") == 0) {
            b.refuseStart = true;
            continue;
        }
        if (std::strcmp(arg, "--start-ms") == 0) target = &b.startMs;
        if (std::strcmp(arg, "--start-hint") == 0) target = &b.startHint;
        if (std::strcmp(arg, "--stop-ms") == 0) target = &b.stopMs;
        if (std::strcmp(arg, "--stop-hint") == 0) target = &b.stopHint;
        if (std::strcmp(arg, "--step-ms") == 0) target = &b.stepMs;
        if (!target || i + 1 >= argc) return false;
        *target = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
    }
    return b.stepMs != 0;
}

void Report(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode = NO_ERROR) {
    EnterCriticalSection(&g_statusLock);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted =
        state == SERVICE_RUNNING && !g_behaviour.refuseStop ? SERVICE_ACCEPT_STOP : 0;
    g_status.dwWin32ExitCode = exitCode;
    g_status.dwCheckPoint = checkPoint;
    g_status.dwWaitHint = waitHint;
    SetServiceStatus(g_statusHandle, &g_status);
    LeaveCriticalSection(&g_statusLock);
}

// Stays in a pending state for ms, moving the check point on as it goes.
void Pending(DWORD state, DWORD ms, DWORD hint) {
    const DWORD begun = GetTickCount();
    DWORD checkPoint = 1;
    Report(state, checkPoint, hint);
    while (GetTickCount() - begun < ms) {
        const DWORD left = ms - (GetTickCount() - begun);
        Sleep(left < g_behaviour.stepMs ? left : g_behaviour.stepMs);
        Report(state, ++checkPoint, hint);
    }
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
    if (control == kForceStop) g_behaviour.refuseStop = false;
    if ((control != SERVICE_CONTROL_STOP && control != kForceStop) || g_behaviour.refuseStop) {
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    Report(SERVICE_STOP_PENDING, 1, g_behaviour.stopHint);
    SetEvent(g_stopRequested);
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    g_statusHandle = RegisterServiceCtrlHandlerExW(L"", Control, nullptr);
    if (!g_statusHandle) return;
    Pending(SERVICE_START_PENDING, g_behaviour.startMs, g_behaviour.startHint);
    if (g_behaviour.refuseStart) {
        Report(SERVICE_STOPPED, 0, 0, ERROR_EXCEPTION_IN_SERVICE);
        return;
    }
    Report(SERVICE_RUNNING, 0, 0);
    WaitForSingleObject(g_stopRequested, INFINITE);
    Pending(SERVICE_STOP_PENDING, g_behaviour.stopMs, g_behaviour.stopHint);
    Report(SERVICE_STOPPED, 0, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (!ParseArgs(argc, argv, g_behaviour)) {
        std::fprintf(stderr, "halvex-fakesvc: bad arguments (see the head of its source)\n");
        return 2;
    }
    InitializeCriticalSection(&g_statusLock);
    g_stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        std::fprintf(stderr, "halvex-fakesvc: runs only as a service (error %lu)\n",
                     GetLastError());
        return 1;
    }
    return 0;
}
