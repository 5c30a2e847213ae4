// halvex-move: runs one whole move through the engine without windows, as the worker would.
// It prints each phase as the task enters it, then the result code, whether the rollback was
// clean, and the parked paths. The fault, kill and benchmark runs drive the engine through it.
// With --progress-ms it also samples, as the progress page does, the bar's fraction and the
// status line at that interval ("sample:"), prints the status line as the move enters each step
// ("step:"), and the closing words at the end ("closing:").
// With --run-at-phase N CMD it runs the shell command CMD, and waits for it, as the move enters
// phase N (the real-world tests open files at a chosen moment so).
// With --recover it finishes or puts back an interrupted move instead, as start-up offers to.
// For tests: --die-at PHASE:CALLS ends the process at once, as a kill would, before the CALLSth
// platform call after the move enters PHASE (exit 137); --pause-at-phase N prints "paused: N" and
// waits for a line on standard input before the move goes on.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

#include "Vr/MoveMonitor.h"
#include "Vr/MoveStatus.h"
#include "Vr/vr.h"
#include "ground/ResultCodes.h"
#include "platform/sys.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitMoveFailed = 3;  // the move's own code is printed as "result:"

std::string Utf8(const std::wstring& text) {
    return sys::ToUtf8(text);
}

// A status line of several lines, on one line of output.
std::string OneLine(const std::wstring& text) {
    std::string line = Utf8(text);
    for (size_t at = line.find('\n'); at != std::string::npos; at = line.find('\n', at))
        line.replace(at, 1, " | ");
    return line;
}

long long MsSince(Clock::time_point start) {
    return static_cast<long long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

struct Interruptions {
    int dieAtPhase = -1;
    uint64_t dieAfterCalls = 0;
    int pauseAtPhase = -1;
};

class PhasePrinter final : public TaskPhaseObserver {
  public:
    explicit PhasePrinter(CVr& engine, int cancelAtPhase, bool printSteps,
                          Interruptions interruptions = {})
        : engine_(engine),
          cancelAtPhase_(cancelAtPhase),
          printSteps_(printSteps),
          interruptions_(interruptions) {}

    void RunAtPhase(int phase, std::string command) {
        runAtPhase_ = phase;
        command_ = std::move(command);
    }

    void OnStep(MoveStep) override {
        if (!printSteps_) return;
        const std::string line = OneLine(StatusText(engine_.GetMoveSnapshot(), nullptr));
        std::printf("step: %lld %s\n", MsSince(start), line.c_str());
        std::fflush(stdout);
    }

    void OnPhase(int32_t phase) override {
        std::printf("phase: %d\n", phase);
        std::fflush(stdout);  // a kill may come at any moment: say where we were
        if (phase == kFinished) finishedAt = Clock::now();
        if (phase == interruptions_.dieAtPhase) {
            interruptions_.dieAtPhase = -1;
            const uint64_t nth =
                sys::fault::Count(sys::Call::kAny) + interruptions_.dieAfterCalls + 1;
            sys::fault::Arm({sys::Call::kAny, nth, 0, false, [] { std::_Exit(137); }});
        }
        if (phase == interruptions_.pauseAtPhase) {
            interruptions_.pauseAtPhase = -1;
            std::printf("paused: %d\n", phase);
            std::fflush(stdout);
            char line[64];
            if (!std::fgets(line, sizeof line, stdin)) {
                // No one to answer: go on.
            }
        }
        if (phase == cancelAtPhase_) {
            cancelAtPhase_ = -1;
            std::printf("cancel: %d\n", engine_.CancelMove());
        }
        if (phase == runAtPhase_) {
            runAtPhase_ = -1;
            std::printf("ran: %d\n", std::system(command_.c_str()));
            std::fflush(stdout);
        }
    }

    Clock::time_point finishedAt{};
    Clock::time_point start = Clock::now();

  private:
    CVr& engine_;
    int cancelAtPhase_;
    bool printSteps_;
    int runAtPhase_ = -1;
    std::string command_;
    Interruptions interruptions_;
};

// Runs the move on a thread of its own and samples it from this one every periodMs, as the
// progress page's timer does.
int32_t MoveWhileSampling(CVr& engine, int periodMs, Clock::time_point start) {
    CMoveMonitor monitor(&engine);
    std::atomic<bool> returned{false};
    int32_t result = 0;
    std::thread mover([&] {
        result = engine.MoveInstallation();
        monitor.MoveReturned();
        returned.store(true);
    });
    const auto sample = [&](const std::wstring& status) {
        const float fraction = monitor.Fraction();
        std::printf("sample: %lld %.4f %s\n", MsSince(start), fraction, OneLine(status).c_str());
        std::fflush(stdout);
    };
    while (!returned.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
        if (!returned.load()) sample(monitor.Status(sys::GetTickCount()));
    }
    mover.join();
    const std::wstring closing = ClosingWords(engine.GetMoveOutcome());
    sample(closing);
    std::printf("closing: %s\n", OneLine(closing).c_str());
    return result;
}

int Usage() {
    std::fprintf(
        stderr,
        "usage: halvex-move --target DIR [--cancel-at-phase N] [--progress-ms N]\n"
        "                   [--run-at-phase N CMD] [--die-at PHASE:CALLS] [--pause-at-phase N]\n"
        "       halvex-move --recover\n"
        "Moves the detected installation's Software and Downloads folders under DIR, or\n"
        "finishes or puts back a move that was interrupted.\n");
    return 2;
}

// Prints "recovery: finished|restored|nothing to do|refused: <why>", or for a recovery stopped
// part way "recovery: interrupted: <code>" (its data is safe: each step leaves what the next
// start takes up again), then "services: not started" where they would not start, and the
// result code as a move's: 0 only when the data is whole in one place, nothing of the move is
// left and the services run.
int Recover(CVr& engine) {
    RecoveryPlan plan;
    int32_t result = engine.AssessRecovery(plan);
    const bool acts =
        plan.action == RecoveryAction::kFinish || plan.action == RecoveryAction::kPutBack;
    if (result == 0 && acts) {
        PhasePrinter printer(engine, -1, false);
        engine.Recovery().SetPhaseObserver(&printer);
        result = engine.Recover(plan.action);
        engine.Recovery().SetPhaseObserver(nullptr);
    }
    const char* done = plan.action == RecoveryAction::kFinish ? "finished" : "restored";
    if (result == kCodeServicesNotStarted && acts) {
        std::printf("recovery: %s\nservices: not started\n", done);
    } else if (result == kCodeRecoveryRefused) {
        std::printf("recovery: refused: the folders changed while they were looked at\n");
    } else if (result != 0 && acts) {
        std::printf("recovery: interrupted: %d (nothing is lost; run it again)\n", result);
    } else if (result != 0) {
        std::printf("recovery: not possible: %d (nothing was changed)\n", result);
    } else if (plan.action == RecoveryAction::kRefuse) {
        result = kCodeRecoveryRefused;
        std::printf("recovery: refused: %s\n", Utf8(plan.why).c_str());
    } else if (plan.action == RecoveryAction::kNothing) {
        std::printf("recovery: nothing to do\n");
    } else {
        std::printf("recovery: %s\n", done);
    }
    std::printf("result: %d\n", result);
    return result == kCodeOk ? 0 : kExitMoveFailed;
}

}  // namespace

int main(int argc, char** argv) {
    std::string target;
    int cancelAtPhase = -1;
    int progressMs = 0;
    int runAtPhase = -1;
    std::string runCommand;
    Interruptions interruptions;
    if (argc == 2 && std::strcmp(argv[1], "--recover") == 0) {
        return Recover(static_cast<CVr&>(*GetEngine()));
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--target") == 0 && i + 1 < argc) {
            target = argv[++i];
        } else if (std::strcmp(argv[i], "--cancel-at-phase") == 0 && i + 1 < argc) {
            cancelAtPhase = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--run-at-phase") == 0 && i + 2 < argc) {
            runAtPhase = std::atoi(argv[++i]);
            runCommand = argv[++i];
        } else if (std::strcmp(argv[i], "--progress-ms") == 0 && i + 1 < argc) {
            progressMs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--die-at") == 0 && i + 1 < argc) {
            const char* value = argv[++i];
            interruptions.dieAtPhase = std::atoi(value);
            const char* colon = std::strchr(value, ':');
            interruptions.dieAfterCalls = colon ? std::strtoull(colon + 1, nullptr, 10) : 0;
        } else if (std::strcmp(argv[i], "--pause-at-phase") == 0 && i + 1 < argc) {
            interruptions.pauseAtPhase = std::atoi(argv[++i]);
        } else {
            return Usage();
        }
    }
    if (target.empty()) return Usage();
    // Links store their target as given: it must be absolute, as the folder dialog gives it.
    target = std::filesystem::absolute(target).string();

    auto& engine = static_cast<CVr&>(*GetEngine());
    std::wstring source;
    if (const int32_t r = engine.ResolveSourceDir(source); r != 0 && source.empty()) {
        std::printf("detection: %d\n", r);
        return 1;
    }
    std::printf("source: %s\n", Utf8(source).c_str());
    if (const int32_t r = engine.CheckTargetDir(sys::FromUtf8(target)); r != 0) {
        std::printf("target check: %d\n", r);
        return 1;
    }

    // Said before the move, as the window asks before it: what the in-use check cannot see.
    if (const size_t unchecked = engine.CountUncheckedPrograms(); unchecked != 0) {
        std::printf(
            "unchecked: %zu programs of other users could not be checked for open files "
            "in the Oculus folders; run as root (sudo) to check them; the log names "
            "them\n",
            unchecked);
    }

    PhasePrinter printer(engine, cancelAtPhase, progressMs > 0, interruptions);
    printer.RunAtPhase(runAtPhase, runCommand);
    engine.Task().SetPhaseObserver(&printer);
    const auto start = Clock::now();
    printer.start = start;
    const int32_t result =
        progressMs > 0 ? MoveWhileSampling(engine, progressMs, start) : engine.MoveInstallation();
    const auto end = Clock::now();
    engine.Task().SetPhaseObserver(nullptr);

    std::wstring first, second;
    engine.GetParkedPaths(second, first);
    const auto ms = [](auto d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    std::printf("result: %d\n", result);
    std::printf("rollback-clean: %s\n", engine.IsRollbackClean() ? "true" : "false");
    std::printf("moved-software: %s\n", Utf8(engine.GetMovedSoftwarePath()).c_str());
    std::printf("parked-first: %s\nparked-second: %s\n", Utf8(first).c_str(), Utf8(second).c_str());
    std::printf("verify-ms: %u\n", engine.Task().VerifyMs());
    // A move refused before its task ran (16: an interrupted move waits) never reaches the
    // finished phase: all of its time is work, and there is no closing pause.
    const Clock::time_point finished =
        printer.finishedAt == Clock::time_point{} ? end : printer.finishedAt;
    std::printf("work-ms: %lld\nend-pause-ms: %lld\n", static_cast<long long>(ms(finished - start)),
                static_cast<long long>(ms(end - finished)));
    engine.ResetTask();
    return result == kCodeOk ? 0 : kExitMoveFailed;
}
