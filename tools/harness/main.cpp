// halvex-move: the command line of Halvex, on Windows (halvex-move.exe, beside halvex.exe) and
// on Linux, over the same engine, journal and single-instance lock as the window.
//   --target DIR   checks the target as the window does (every check runs in the engine, before
//                  anything is stopped), asks the window's questions (--yes answers them), then
//                  runs one whole move, printing each phase as the task enters it, the result
//                  code, whether the rollback was clean, and the parked paths;
//   --dry-run      the same checks and questions, and nothing changed;
//   --recover      finishes or puts back a move that was stopped, as start-up offers to;
//   --status       where the data is, the links' health, and whether a move waits;
//   --json         one JSON object per command instead of the lines.
// Its exit codes are cli::Exit (cli.h). The fault, kill and benchmark runs drive the engine
// through it, with options of their own:
// With --progress-ms it also samples, as the progress page does, the bar's fraction and the
// status line at that interval ("sample:"), prints the status line as the move enters each step
// ("step:"), and the closing words at the end ("closing:").
// With --run-at-phase N CMD it runs the shell command CMD, and waits for it, as the move enters
// phase N (the real-world tests open files at a chosen moment so).
// --die-at PHASE:CALLS ends the process at once, as a kill would, before the CALLSth
// platform call after the move enters PHASE (exit 137); --pause-at-phase N prints "paused: N" and
// waits for a line on standard input before the move goes on; --hold-at-durable does the same
// ("held: N before|after KIND PATH") right before and right after every step that makes
// something durable (a flush, a journal or record written, a journal removed), so that a test
// can copy the disks as they stand at each. --any-volume lets a benchmark move on a RAM disk.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Vr/MoveMonitor.h"
#include "Vr/MoveStatus.h"
#include "Vr/TargetCheck.h"
#include "Vr/vr.h"
#include "cli.h"
#include "ground/ResultCodes.h"
#include "ground/Version.h"
#include "logging/log.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/sys.h"
#include "platform/units.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace cli;

// False with --json: the lines below are for a person and the test suites only.
bool g_lines = true;

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    if (!g_lines) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);  // a kill may come at any moment: say where we were
}

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
        Say("step: %lld %s\n", MsSince(start), line.c_str());
    }

    void OnPhase(int32_t phase) override {
        Say("phase: %d\n", phase);
        phases.push_back(phase);
        if (phase == kFinished) finishedAt = Clock::now();
        if (phase == interruptions_.dieAtPhase) {
            interruptions_.dieAtPhase = -1;
            const uint64_t nth =
                sys::fault::Count(sys::Call::kAny) + interruptions_.dieAfterCalls + 1;
            sys::fault::Arm({sys::Call::kAny, nth, 0, false, [] { std::_Exit(137); }});
        }
        if (phase == interruptions_.pauseAtPhase) {
            interruptions_.pauseAtPhase = -1;
            std::printf("paused: %d\n", phase);  // the waiting test's cue, in every mode
            std::fflush(stdout);
            char line[64];
            if (!std::fgets(line, sizeof line, stdin)) {
                // No one to answer: go on.
            }
        }
        if (phase == cancelAtPhase_) {
            cancelAtPhase_ = -1;
            Say("cancel: %d\n", engine_.CancelMove());
        }
        if (phase == runAtPhase_) {
            runAtPhase_ = -1;
            Say("ran: %d\n", std::system(command_.c_str()));
        }
    }

    Clock::time_point finishedAt{};
    Clock::time_point start = Clock::now();
    std::vector<int32_t> phases;

  private:
    CVr& engine_;
    int cancelAtPhase_;
    bool printSteps_;
    int runAtPhase_ = -1;
    std::string command_;
    Interruptions interruptions_;
};

// Holds the move around each durable step: a flush, a file of the state folder replaced or
// removed. The fault seam runs this at every platform call; "after" is the call that follows.
class DurableHolder {
  public:
    void Arm() {
        sys::GetStateFolder(stateFolder_);
        sys::fault::Rule rule{sys::Call::kAny, 1, 0, false, [this] { AtCall(); }};
        rule.repeat = true;
        sys::fault::Arm(std::move(rule));
    }
    // The last step's "after", when no call came after it.
    void End() {
        std::lock_guard<std::mutex> lock(lock_);
        if (pending_) Hold("after", pendingWhat_);
        pending_ = false;
    }

  private:
    void AtCall() {
        std::lock_guard<std::mutex> lock(lock_);
        if (pending_) Hold("after", pendingWhat_);
        pending_ = false;
        const sys::Call kind = sys::fault::CurrentCall();
        const std::wstring& path = sys::fault::CurrentPath();
        const bool stateFile = !path.empty() && path.rfind(stateFolder_, 0) == 0;
        const bool durable =
            kind == sys::Call::kFlushToDisk ||
            (stateFile && (kind == sys::Call::kWriteFile || kind == sys::Call::kDeleteFile));
        if (!durable) return;
        pendingWhat_ = std::string(sys::fault::Name(kind)) + " " + Utf8(path);
        Hold("before", pendingWhat_);
        pending_ = true;
    }
    void Hold(const char* when, const std::string& what) {
        std::printf("held: %d %s %s\n", ++count_, when, what.c_str());  // in every mode
        std::fflush(stdout);
        char line[64];
        if (!std::fgets(line, sizeof line, stdin)) {
            // No one to answer: go on.
        }
    }

    std::mutex lock_;  // a call may come from a copy thread
    std::wstring stateFolder_;
    bool pending_ = false;
    std::string pendingWhat_;
    int count_ = 0;
};

// Runs the move on a thread of its own and samples it from this one every periodMs, as the
// progress page's timer does.
// The engine's work of operation: kOpMove, kOpMoveBack or kOpContinue.
int32_t RunOperation(CVr& engine, int32_t operation) {
    return operation == kOpMoveBack   ? engine.MoveBack()
           : operation == kOpContinue ? engine.ContinueMove()
                                      : engine.MoveInstallation();
}

int32_t MoveWhileSampling(CVr& engine, int32_t operation, int periodMs, Clock::time_point start) {
    CMoveMonitor monitor(&engine);
    std::atomic<bool> returned{false};
    int32_t result = 0;
    std::thread mover([&] {
        result = RunOperation(engine, operation);
        monitor.MoveReturned();
        returned.store(true);
    });
    const auto sample = [&](const std::wstring& status) {
        const float fraction = monitor.Fraction();
        Say("sample: %lld %.4f %s\n", MsSince(start), fraction, OneLine(status).c_str());
    };
    while (!returned.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
        if (!returned.load()) sample(monitor.Status(sys::GetTickCount()));
    }
    mover.join();
    const std::wstring closing = ClosingWords(engine.GetMoveOutcome());
    sample(closing);
    Say("closing: %s\n", OneLine(closing).c_str());
    return result;
}

int ExitOfMove(int32_t result, bool rollbackClean) {
    switch (result) {
        case kCodeOk:
            return kExitDone;
        case kCodeRecoveryPending:
            return kExitPending;
        case kCodeNotMoved:
        case kCodeNoRoomAtHome:
        case kCodeRecoveryRefused:  // no stopped move to continue
            return kExitRefused;
        case kCodeServicesNotStarted:
        case kCodeOldDataLeft:
            return kExitAttention;
        default:  // put back; a rollback that could not finish leaves folders to rename
            return rollbackClean ? kExitFailed : kExitAttention;
    }
}

// Only one Halvex at a time, the window or this, and none while the setup runs: the names are
// the window's own. The first handle stays open for the life of the process.
int TakeInstanceLock(Report& report) {
    sys::MutexHandle instance = sys::CreateMutexW(L"Varko_Oculus_Kestrum");
    if (instance && sys::GetLastError() == sys::kErrAlreadyExists) {
        report.Line(
            "busy: Halvex is running (the window or another halvex-move); close it and "
            "try again");
        report.fields().Text("busy", std::string("Halvex is running"));
        return kExitBusy;
    }
    sys::MutexHandle probe = sys::CreateMutexW(L"Varko Dravune");
    const uint32_t error = sys::GetLastError();
    sys::CloseHandle(probe);
    if (probe && error == sys::kErrAlreadyExists) {
        report.Line("busy: the Halvex setup is running; try again when it has finished");
        report.fields().Text("busy", std::string("the Halvex setup is running"));
        return kExitBusy;
    }
    if (!sys::HasAdministratorRights()) {
        report.Line(
            "refused: Halvex needs administrator rights to stop the Oculus services and "
            "make links; run it from a command prompt started as administrator");
        report.fields().Text("refused", std::string("needs administrator rights"));
        return kExitNotAdmin;
    }
    return kExitDone;
}

// Prints "recovery: finished|restored|nothing to do|refused: <why>", or for a recovery stopped
// part way "recovery: interrupted: <code>" (its data is safe: each step leaves what the next
// start takes up again), then "services: not started" where they would not start, and the
// result code as a move's: 0 only when the data is whole in one place, nothing of the move is
// left and the services run.
int RunTask(CVr& engine, const Options& options, Report& report, int32_t operation);

// Goes on with a move stopped while it copied: the move's phases and report, and what the
// stopped copy held whole ("kept-bytes:"). Refused (exit 1) where no such move waits.
int Continue(CVr& engine, const Options& options, Report& report) {
    report.Line("recovery: continue");
    return RunTask(engine, options, report, kOpContinue);
}

int Recover(CVr& engine, Report& report) {
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
    const CRecovery& recovery = engine.Recovery();
    // The service calls' own diagnostics end without a line end: the answer starts on its own.
    if (!report.json()) std::printf("\n");
    std::string said, detail;
    int exit = kExitDone;
    if (result == kCodeServicesNotStarted && acts) {
        said = done;
        report.Line("recovery: %s\nservices: not started", done);
        exit = kExitAttention;
    } else if (result == kCodeCopyCorrupt) {
        said = "stopped";
        detail = "the target drive gives back other data for \"" + Utf8(recovery.HeldFile()) +
                 "\" than was written";
        report.Line("recovery: stopped: %s; the original folders are kept (nothing is lost)",
                    detail.c_str());
        exit = kExitAttention;
    } else if (result == kCodeCopyLeft) {
        said = "restored, but left";
        detail = Utf8(recovery.HeldFile());
        report.Line("recovery: restored, but left: %s", detail.c_str());
        exit = kExitAttention;
    } else if (result == kCodeInUse && !recovery.HeldFile().empty()) {
        said = "stopped";
        detail = "\"" + Utf8(recovery.HeldFile()) + "\" is in use by " +
                 (recovery.HeldBy().empty() ? "a program" : Utf8(recovery.HeldBy()));
        report.Line("recovery: stopped: %s; close it and run the recovery again (nothing is lost)",
                    detail.c_str());
        exit = kExitFailed;
    } else if (result == kCodeRecoveryRefused) {
        said = "refused";
        detail = "the folders changed while they were looked at";
        report.Line("recovery: refused: %s", detail.c_str());
        exit = kExitAttention;
    } else if (result != 0 && acts) {
        said = "interrupted";
        report.Line("recovery: interrupted: %d (nothing is lost; run it again)", result);
        exit = kExitFailed;
    } else if (result != 0) {
        said = "not possible";
        report.Line("recovery: not possible: %d (nothing was changed)", result);
        exit = kExitFailed;
    } else if (plan.action == RecoveryAction::kContinue) {
        // Put back would delete a copy that holds other bytes than its data.
        result = kCodeRecoveryRefused;
        said = "refused";
        detail = "the stopped copy can only be continued: run halvex-move --recover --continue";
        report.Line("recovery: refused: %s", detail.c_str());
        exit = kExitAttention;
    } else if (plan.action == RecoveryAction::kRefuse) {
        result = kCodeRecoveryRefused;
        said = "refused";
        detail = Utf8(plan.why);
        report.Line("recovery: refused: %s", detail.c_str());
        exit = kExitAttention;
    } else if (plan.action == RecoveryAction::kNothing) {
        said = "nothing to do";
        report.Line("recovery: nothing to do");
    } else {
        said = done;
        report.Line("recovery: %s", done);
    }
    report.Line("result: %d", result);
    JsonObject& json = report.fields();
    json.Text("recovery", said);
    if (detail.empty()) {
        json.Null("detail");
    } else {
        json.Text("detail", detail);
    }
    json.Number("result", result);
    json.Bool("servicesRunning", !(result == kCodeServicesNotStarted && acts));
    json.Text("log", LogFilePath());
    return exit;
}

// The questions the window asks once a target passes its checks, each with its answer: Yes with
// --yes, a person's at a terminal, and otherwise none, which refuses the move.
int AskQuestions(const TargetVerdict& verdict, const Options& options, Report& report) {
    std::vector<std::pair<std::string, std::string>> questions;  // kind, words
    if (!verdict.sameVolume.empty()) {
#ifdef _WIN32
        const char* where = "drive";
#else
        const char* where = "file system";
#endif
        questions.emplace_back("same-drive", std::string("the target lies on the same ") + where +
                                                 " as the Oculus installation: moving "
                                                 "there frees no space on " +
                                                 Utf8(verdict.sameVolume));
    }
    if (verdict.removable) {
        questions.emplace_back("removable",
                               "the target is on a removable drive: the Oculus "
                               "platform cannot find its games while it is away");
    }
    if (verdict.uncheckedPrograms != 0) {
        // Said as the harness always said it; the suites read this line.
        const std::string programs = verdict.uncheckedPrograms == 1
                                         ? std::string("1 program")
                                         : std::to_string(verdict.uncheckedPrograms) + " programs";
        report.Line(
            "unchecked: %s of other people could not be checked for open files in the Oculus "
            "folders; close them, or run as root (sudo) to check them; the log names them",
            programs.c_str());
        questions.emplace_back("unchecked-programs",
                               programs +
                                   " of other people could not be checked for open files in the "
                                   "Oculus folders");
    }
    std::string list = "[";
    for (const auto& [kind, words] : questions) {
        if (list.size() > 1) list += ",";
        JsonObject question;
        question.Text("kind", kind);
        question.Text("text", words);
        list += question.Serialize();
    }
    report.fields().Raw("questions", list + "]");
    if (questions.empty()) return kExitDone;
    const bool dryRun = options.command == Command::kDryRun;
    const bool asking = !options.yes && !dryRun && !options.json && sys::StandardInputIsTerminal();
    for (const auto& [kind, words] : questions) {
        if (options.yes) {
            report.Line("question: %s; yes (--yes)", words.c_str());
            continue;
        }
        if (!asking) {
            report.Line("question: %s; unanswered", words.c_str());
            continue;
        }
        std::printf("question: %s. Move anyway? [y/N] ", words.c_str());
        std::fflush(stdout);
        char line[64] = {};
        if (!std::fgets(line, sizeof line, stdin) || (line[0] != 'y' && line[0] != 'Y')) {
            report.Line("refused: answered No; nothing was changed");
            report.fields().Text("answer", std::string("no"));
            return kExitUnanswered;
        }
    }
    if (options.yes || asking) {
        report.fields().Text("answer", std::string("yes"));
        return kExitDone;
    }
    report.fields().Text("answer", std::string("none"));
    if (!dryRun)
        report.Line(
            "refused: the questions need an answer: run again with --yes to move anyway; nothing "
            "was changed");
    return kExitUnanswered;
}

int RunTask(CVr& engine, const Options& options, Report& report, int32_t operation);

// A move (or its dry run): the window's checks and questions, then the engine's move.
int Move(CVr& engine, const Options& options, Report& report) {
    JsonObject& json = report.fields();
    std::wstring source;
    if (const int32_t r = engine.ResolveSourceDir(source); r != 0 && source.empty()) {
        report.Line("detection: %d", r);
        report.Line("refused: the Oculus installation was not detected");
        json.Number("detection", r);
        json.Text("refused", std::string("the Oculus installation was not detected"));
        return kExitRefused;
    }
    report.Line("source: %s", Utf8(source).c_str());
    json.Text("source", source);

    // Links store their target as given: it must be absolute, made so against this folder
    // ("." included), then trimmed as the window trims what is typed.
    std::wstring target = options.target;
    std::wstring full;
    if (!target.empty() && sys::GetFullPathNameW(target, full)) {
        target = engine.TidyTargetPath(full);
    }
    targetcheck::NormalizePath(target);
    json.Text("target", target);
    TargetVerdict verdict;
    if (const int32_t r = engine.CheckMoveTarget(target, verdict); r != kTargetFits) {
        const std::string words = TargetRefusalWords(r);
        report.Line("target check: %d", r);
        report.Line("refused: %s; nothing was changed", words.c_str());
        json.Number("targetCheck", r);
        json.Text("refused", words);
        return kExitRefused;
    }
    json.Number("targetCheck", kTargetFits);
    const bool pending = engine.HasUnfinishedMove();
    json.Bool("pendingMove", pending);
    const int answered = AskQuestions(verdict, options, report);

    if (options.command == Command::kDryRun) {
        if (pending) {
            report.Line("refused: a move that was stopped waits: run halvex-move --recover first");
            json.Text("refused", std::string("a move that was stopped waits"));
            return kExitPending;
        }
        if (answered != kExitDone) {
            report.Line(
                "dry run: every check passed; the move needs --yes for the questions "
                "above; nothing was changed");
            return answered;
        }
        report.Line("dry run: every check passed; the move would start; nothing was changed");
        return kExitDone;
    }
    if (answered != kExitDone) return answered;
    return RunTask(engine, options, report, kOpMove);
}

// The engine's move, or its move back, watched phase by phase, and its outcome reported.
int RunTask(CVr& engine, const Options& options, Report& report, int32_t operation) {
    JsonObject& json = report.fields();
    PhasePrinter printer(engine, options.cancelAtPhase, options.progressMs > 0,
                         {options.dieAtPhase, options.dieAfterCalls, options.pauseAtPhase});
    printer.RunAtPhase(options.runAtPhase, options.runCommand);
    engine.Task().SetPhaseObserver(&printer);
    DurableHolder holder;
    if (options.holdAtDurable) holder.Arm();
    const auto start = Clock::now();
    printer.start = start;
    const int32_t result = options.progressMs > 0
                               ? MoveWhileSampling(engine, operation, options.progressMs, start)
                               : RunOperation(engine, operation);
    const auto end = Clock::now();
    if (options.holdAtDurable) holder.End();
    engine.Task().SetPhaseObserver(nullptr);

    std::wstring first, second;
    engine.GetParkedPaths(second, first);
    const auto ms = [](auto d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    const bool clean = engine.IsRollbackClean();
    const MoveOutcome outcome = engine.GetMoveOutcome();
    report.Line("result: %d", result);
    report.Line("rollback-clean: %s", clean ? "true" : "false");
    report.Line("moved-software: %s", Utf8(engine.GetMovedSoftwarePath()).c_str());
    report.Line("parked-first: %s\nparked-second: %s", Utf8(first).c_str(), Utf8(second).c_str());
    report.Line("verify-ms: %u", engine.Task().VerifyMs());
    if (outcome.continued) report.Line("kept-bytes: %llu", (unsigned long long)outcome.bytesKept);
    // What the window's status line would say at the end (sampling has printed it already).
    if (options.progressMs <= 0) report.Line("closing: %s", OneLine(ClosingWords(outcome)).c_str());
    // A move refused before its task ran (16: an interrupted move waits) never reaches the
    // finished phase: all of its time is work, and there is no closing pause.
    const Clock::time_point finished =
        printer.finishedAt == Clock::time_point{} ? end : printer.finishedAt;
    report.Line("work-ms: %lld\nend-pause-ms: %lld", static_cast<long long>(ms(finished - start)),
                static_cast<long long>(ms(end - finished)));
    std::string phases = "[";
    for (const int32_t phase : printer.phases)
        phases += (phases.size() > 1 ? "," : "") + std::to_string(phase);
    json.Raw("phases", phases + "]");
    json.Number("result", result);
    json.Bool("rollbackClean", clean);
    json.Bool("servicesRunning", outcome.servicesRunning);
    json.Text("movedTo", outcome.movedTo);
    json.Text("closing", ClosingWords(outcome));
    json.Number("bytesMoved", static_cast<int64_t>(outcome.bytesMoved));
    if (outcome.continued) json.Number("bytesKept", static_cast<int64_t>(outcome.bytesKept));
    json.Text("log", outcome.logPath);
    engine.ResetTask();
    return ExitOfMove(result, clean);
}

// Brings the moved library home: the move's phases and report, without a target to check.
int MoveBack(CVr& engine, const Options& options, Report& report) {
    if (engine.HasUnfinishedMove()) {
        report.Line("refused: a move that was stopped waits: run halvex-move --recover first");
        report.fields().Text("refused", std::string("a move that was stopped waits"));
        return kExitPending;
    }
    return RunTask(engine, options, report, kOpMoveBack);
}

// Reads the moved library back against the manifest of its move: each file found amiss
// ("differs:", "changed:", "missing:") and each the platform has changed since ("updated:",
// "added:"), then "check: N files, D differ, C changed, M missing, U updated, A added".
int Check(CVr& engine, Report& report) {
    LibraryReport found;
    const int32_t result = engine.CheckMovedLibrary(found);
    JsonObject& json = report.fields();
    json.Number("result", result);
    if (result == kCodeNoManifest) {
        report.Line("check: nothing to check: no moved library with a record of its bytes");
        report.Line("result: %d", result);
        return kExitRefused;
    }
    const std::pair<const char*, const std::vector<std::wstring>*> lists[] = {
        {"differs", &found.differs},
        {"changed", &found.changed},
        {"missing", &found.missing},
        {"updated", &found.updated},
        {"added", &found.added}};
    for (const auto& [word, list] : lists) {
        std::string paths = "[";
        for (const std::wstring& path : *list) {
            report.Line("%s: %s", word, Utf8(path).c_str());
            paths += (paths.size() > 1 ? "," : "") + JsonString(path);
        }
        json.Raw(word, paths + "]");
    }
    json.Number("files", static_cast<int64_t>(found.files));
    // %zu is unknown to the Windows runtime's printf: every count as unsigned long long.
    const auto n = [](auto count) { return static_cast<unsigned long long>(count); };
    report.Line(
        "check: %llu files, %llu differ, %llu changed, %llu missing, %llu updated, "
        "%llu added",
        n(found.files), n(found.differs.size()), n(found.changed.size()), n(found.missing.size()),
        n(found.updated.size()), n(found.added.size()));
    report.Line("result: %d", result);
    if (result != 0) return kExitFailed;
    return found.Faulty() ? kExitAttention : kExitDone;
}

const char* CommandName(Command command) {
    switch (command) {
        case Command::kMove:
            return "move";
        case Command::kDryRun:
            return "dry-run";
        case Command::kRecover:
            return "recover";
        case Command::kStatus:
            return "status";
        case Command::kCheck:
            return "check";
        case Command::kBack:
            return "back";
        default:
            return "";
    }
}

}  // namespace

int RunStatus(CVr& engine, cli::Report& report);

int main(int argc, char** argv) {
    const sys::Utf8Console console;
    Options options;
    std::string why;
    const std::vector<std::wstring> arguments = sys::CommandLineArguments(argc, argv);
    if (!ParseArguments(arguments, options, why)) {
        const bool json =
            std::find(arguments.begin(), arguments.end(), L"--json") != arguments.end();
        Report report(json);
        report.fields().Null("command");
        report.fields().Text("error", why);
        if (!json) std::fprintf(stderr, "halvex-move: %s\n%s", why.c_str(), UsageText().c_str());
        return report.Finish(kExitUsage);
    }
    if (options.command == Command::kHelp) {
        std::printf("%s", UsageText().c_str());
        return kExitDone;
    }
    if (options.command == Command::kVersion) {
        std::printf("halvex-move %s\n", HALVEX_VERSION);
        return kExitDone;
    }
    g_lines = !options.json;
    // With --json, standard output holds the one object: the engine's diagnostics, which it
    // prints there, go to standard error.
    std::FILE* jsonOut = options.json ? sys::SetAsideStandardOutput() : nullptr;
    Report report(options.json, jsonOut);
    report.fields().Text("command", std::string(CommandName(options.command)));
    report.fields().Text("version", std::string(HALVEX_VERSION));
    auto& engine = static_cast<CVr&>(*GetEngine());
    if (options.command == Command::kStatus) return report.Finish(RunStatus(engine, report));
    if (const int busy = TakeInstanceLock(report); busy != kExitDone) return report.Finish(busy);
    targetcheck::AcceptAnyVolumeForBenchmarks(options.anyVolume);
    if (options.command == Command::kRecover && options.continueMove)
        return report.Finish(Continue(engine, options, report));
    if (options.command == Command::kRecover) return report.Finish(Recover(engine, report));
    if (options.command == Command::kCheck) return report.Finish(Check(engine, report));
    if (options.command == Command::kBack) return report.Finish(MoveBack(engine, options, report));
    return report.Finish(Move(engine, options, report));
}
