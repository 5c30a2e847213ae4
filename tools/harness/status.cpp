// halvex-move --status: where the Oculus platform's data is, whether its links lead somewhere,
// and whether a stopped move waits, as the window's note row tells it. Looks, changes nothing,
// and takes no lock: it may run beside the window.
#include <string>

#include "TaskMgr/InstallState.h"
#include "Vr/vr.h"
#include "cli.h"
#include "platform/sys.h"
#include "platform/units.h"

using namespace cli;

namespace {

const char* KindName(InstallState::Kind kind) {
    switch (kind) {
        case InstallState::Kind::kNotFound:
            return "not found";
        case InstallState::Kind::kHome:
            return "home";
        case InstallState::Kind::kMoved:
            return "moved";
        case InstallState::Kind::kWaiting:
            return "waiting";
        case InstallState::Kind::kBroken:
            return "broken";
        case InstallState::Kind::kMixed:
            return "mixed";
    }
    return "";
}

const char* WhereName(FolderState::Where where) {
    switch (where) {
        case FolderState::Where::kHome:
            return "home";
        case FolderState::Where::kLinked:
            return "linked";
        case FolderState::Where::kBroken:
            return "broken";
        case FolderState::Where::kMissing:
            return "missing";
        case FolderState::Where::kOther:
            return "not a folder";
    }
    return "";
}

const char* ActionName(RecoveryAction action) {
    switch (action) {
        case RecoveryAction::kFinish:
            return "finish";
        case RecoveryAction::kPutBack:
            return "put back";
        case RecoveryAction::kRefuse:
            return "refused";
        case RecoveryAction::kNothing:
            return "nothing";
        case RecoveryAction::kContinue:
            return "continue";
    }
    return "";
}

// "healthy" when every folder that is a link leads somewhere, "broken" when one leads nowhere,
// "none" when no folder is a link.
const char* LinkHealth(const InstallState& state) {
    bool links = false;
    for (const FolderState& folder : state.folders) {
        if (folder.where == FolderState::Where::kBroken) return "broken";
        if (folder.where == FolderState::Where::kLinked) links = true;
    }
    return links ? "healthy" : "none";
}

std::string U(const std::wstring& text) {
    return sys::ToUtf8(text);
}

}  // namespace

int RunStatus(CVr& engine, Report& report) {
    JsonObject& json = report.fields();
    InstallState state;
    if (const int32_t r = engine.ReadInstallState(state); r != 0) {
        report.Line("status: cannot look (%d)", r);
        json.Text("state", std::string("cannot look"));
        json.Number("result", r);
        return kExitFailed;
    }
    const bool pending = state.kind == InstallState::Kind::kWaiting;
    report.Line("status: %s", KindName(state.kind));
    json.Text("state", std::string(KindName(state.kind)));
    if (state.kind == InstallState::Kind::kNotFound) {
        report.Line("refused: the Oculus installation was not detected");
        json.Null("base");
        json.Raw("folders", "[]");
        json.Text("links", std::string("none"));
        json.Null("pending");
        return kExitRefused;
    }
    report.Line("base: %s", U(state.base).c_str());
    json.Text("base", state.base);
    std::string folders = "[";
    for (const FolderState& folder : state.folders) {
        if (folder.where == FolderState::Where::kLinked ||
            folder.where == FolderState::Where::kBroken) {
            report.Line("%s: %s -> %s", U(folder.name).c_str(), WhereName(folder.where),
                        U(folder.leadsTo).c_str());
        } else {
            report.Line("%s: %s", U(folder.name).c_str(), WhereName(folder.where));
        }
        JsonObject item;
        item.Text("name", folder.name);
        item.Text("path", folder.path);
        item.Text("where", std::string(WhereName(folder.where)));
        if (folder.leadsTo.empty()) {
            item.Null("leadsTo");
        } else {
            item.Text("leadsTo", folder.leadsTo);
        }
        folders += (folders.size() > 1 ? "," : "") + item.Serialize();
    }
    json.Raw("folders", folders + "]");
    if (state.kind == InstallState::Kind::kMoved) {
        report.Line("moved to: %s", U(state.movedTo).c_str());
        json.Text("movedTo", state.movedTo);
    } else {
        json.Null("movedTo");
    }
    const char* links = state.strangeVolume ? "another drive" : LinkHealth(state);
    report.Line("links: %s", links);
    if (state.strangeVolume) {
        report.Line("the drive at %s is not the one the games were moved to",
                    U(state.expectedRoot).c_str());
    }
    // Where the links' folder was found on their drive, renamed or moved: what to give back.
    if (!state.renamedTo.empty()) report.Line("found on its drive: %s", U(state.renamedTo).c_str());
    json.Text("links", std::string(links));
    if (state.renamedTo.empty()) {
        json.Null("foundAt");
    } else {
        json.Text("foundAt", state.renamedTo);
    }
    if (state.baseFreeKnown) json.Number("baseFreeBytes", static_cast<int64_t>(state.baseFree));
    if (state.movedFreeKnown) json.Number("movedFreeBytes", static_cast<int64_t>(state.movedFree));
    if (pending) {
        const RecoveryPlan& plan = state.plan;
        const std::string action = ActionName(plan.action);
        const char* what = plan.record.work == JournalWork::kBack ? "move back" : "move";
        if (plan.action == RecoveryAction::kRefuse) {
            report.Line("pending: a stopped %s waits; the recovery refuses: %s", what,
                        U(plan.why).c_str());
        } else if (plan.action == RecoveryAction::kContinue) {
            report.Line(
                "pending: a stopped move waits; halvex-move --recover --continue will "
                "go on with it");
        } else {
            report.Line("pending: a stopped %s waits; halvex-move --recover will %s it", what,
                        action.c_str());
        }
        json.Text("pendingWork", std::string(what));
        JsonObject item;
        item.Text("action", action);
        if (plan.why.empty()) {
            item.Null("why");
        } else {
            item.Text("why", plan.why);
        }
        item.Text("journal", plan.journalFound ? plan.journalPath : std::wstring());
        item.Bool("canContinue", plan.canContinue);
        if (plan.canContinue) {
            report.Line(
                "continue: %s of %s copied before it was stopped (halvex-move --recover "
                "--continue)",
                U(sys::FormatBytes(plan.bytesCopied)).c_str(),
                U(sys::FormatBytes(plan.bytesInAll)).c_str());
            item.Number("bytesCopied", static_cast<int64_t>(plan.bytesCopied));
            item.Number("bytesInAll", static_cast<int64_t>(plan.bytesInAll));
        }
        json.Raw("pending", item.Serialize());
        return kExitPending;
    }
    report.Line("pending: none");
    json.Null("pending");
    if (state.kind == InstallState::Kind::kBroken || state.kind == InstallState::Kind::kMixed ||
        state.strangeVolume) {
        return kExitAttention;
    }
    return kExitDone;
}
