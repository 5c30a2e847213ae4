#include "TaskMgr/MoveJournal.h"

#include <algorithm>

#include "OculusMgr/COculusMgr.h"
#include "TaskMgr/TaskPhase.h"
#include "ground/LineText.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/sys.h"
#include "platform/volume.h"

namespace {

constexpr int kVersion = 3;
constexpr int kOldestVersion = 1;
constexpr size_t kMaxJournalBytes = 64 * 1024;  // a move's journal is a few hundred bytes
constexpr size_t kMaxFolders = 2;

const char* WorkName(JournalWork work) {
    switch (work) {
        case JournalWork::kFinish:
            return "finish";
        case JournalWork::kPutBack:
            return "putback";
        case JournalWork::kRepoint:
            return "repoint";
        case JournalWork::kBack:
            return "back";
        default:
            return "move";
    }
}

void AppendLine(std::string& out, const char* key, const std::wstring& value) {
    out += key;
    out += '=';
    AppendLineValue(out, value);
    out += '\n';
}

bool ParseNumber(std::string_view text, int32_t& number) {
    if (text.empty() || text.size() > 3) return false;
    if (text.size() > 1 && text[0] == '0') return false;
    int32_t n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    number = n;
    return true;
}

bool KnownService(const std::wstring& name) {
    const auto& names = COculusMgr::ServiceNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The lines of one text, in the order the writer puts them; false at the first that is not.
class JournalParser {
  public:
    explicit JournalParser(JournalRecord& record) : record_(record) {}

    bool Line(std::string_view key, std::string_view raw) {
        if (step_ == Step::kEnded) return false;  // nothing follows the end
        if (step_ == Step::kVersion) {
            int32_t version = 0;
            if (key != "version" || !ParseNumber(raw, version) || version < kOldestVersion ||
                version > kVersion) {
                return false;
            }
            version_ = version;
            step_ = Step::kWork;
            return true;
        }
        if (step_ == Step::kWork) {
            if (key != "work") return false;
            if (raw == "move") {
                record_.work = JournalWork::kMove;
            } else if (raw == "finish") {
                record_.work = JournalWork::kFinish;
            } else if (raw == "putback") {
                record_.work = JournalWork::kPutBack;
            } else if (raw == "repoint") {
                record_.work = JournalWork::kRepoint;
            } else if (raw == "back") {
                record_.work = JournalWork::kBack;
            } else {
                return false;
            }
            step_ = Step::kPhase;
            return true;
        }
        if (step_ == Step::kPhase) {
            step_ = Step::kChecked;
            return key == "phase" && ParseNumber(raw, record_.phase) && record_.phase <= kFinished;
        }
        if (step_ == Step::kChecked) {
            step_ = Step::kBase;
            if (key == "checked" && version_ >= 2) {
                if (raw != "1") return false;  // the writer leaves out checked=0
                record_.copiesChecked = true;
                return true;
            }
        }
        if (version_ >= 2 && UnknownKey(key)) return true;
        std::wstring value;
        if (!DecodeLineValue(raw, value) || value.empty()) return false;
        if (step_ == Step::kBase) {
            step_ = Step::kServices;
            record_.base = value;
            return key == "base";
        }
        if (key == "volume") {
            if (step_ != Step::kServices || !record_.targetVolume.empty()) return false;
            record_.targetVolume = value;
            step_ = Step::kVolume;
            return true;
        }
        if (key == "service") {
            if (step_ != Step::kServices || !KnownService(value)) return false;
            auto& services = record_.services;
            if (std::find(services.begin(), services.end(), value) != services.end()) return false;
            services.push_back(value);
            return true;
        }
        if (key == "end") {
            const bool folderDone = step_ == Step::kServices || step_ == Step::kVolume ||
                                    step_ == Step::kParked || step_ == Step::kLinked ||
                                    step_ == Step::kFolderDone;
            if (version_ < 3 || value != L"1" || !folderDone) return false;
            step_ = Step::kEnded;
            return true;
        }
        if (key == "source") {
            if (step_ == Step::kTarget || record_.folders.size() == kMaxFolders) return false;
            record_.folders.push_back({value, {}, {}, false});
            step_ = Step::kTarget;
            return true;
        }
        if (record_.folders.empty()) return false;
        JournalFolder& folder = record_.folders.back();
        if (key == "target" && step_ == Step::kTarget) {
            folder.target = value;
            step_ = Step::kParked;
            return true;
        }
        if (key == "parked" && step_ == Step::kParked) {
            folder.parked = value;
            step_ = Step::kLinked;
            return true;
        }
        if (key == "linked" && (step_ == Step::kParked || step_ == Step::kLinked)) {
            if (value != L"1") return false;  // the writer leaves out linked=0
            folder.linked = true;
            step_ = Step::kFolderDone;
            return true;
        }
        return false;
    }

    // A text may end after the base line or after a whole folder; from version 3 on, only
    // with the end line, so that a text cut at a line's end is no journal.
    bool Complete() const {
        if (version_ >= 3) return step_ == Step::kEnded;
        return step_ == Step::kServices || step_ == Step::kVolume || step_ == Step::kParked ||
               step_ == Step::kLinked || step_ == Step::kFolderDone;
    }

  private:
    // A key this reader does not know, spelled as a writer's key is.
    static bool UnknownKey(std::string_view key) {
        static constexpr std::string_view kKnown[] = {"version", "work",    "phase",  "checked",
                                                      "base",    "service", "volume", "source",
                                                      "target",  "parked",  "linked", "end"};
        if (key.empty()) return false;
        for (const char c : key) {
            if (!((c >= 'a' && c <= 'z') || c == '-')) return false;
        }
        return std::find(std::begin(kKnown), std::end(kKnown), key) == std::end(kKnown);
    }

    enum class Step {
        kVersion,
        kWork,
        kPhase,
        kChecked,
        kBase,
        kServices,
        kVolume,
        kTarget,
        kParked,
        kLinked,
        kFolderDone,
        kEnded
    };
    JournalRecord& record_;
    Step step_ = Step::kVersion;
    int32_t version_ = 0;
};

}  // namespace

std::string SerializeJournal(const JournalRecord& record) {
    std::string out = "version=" + std::to_string(kVersion) + "\n";
    out += std::string("work=") + WorkName(record.work) + "\n";
    out += "phase=" + std::to_string(record.phase) + "\n";
    if (record.copiesChecked) out += "checked=1\n";
    AppendLine(out, "base", record.base);
    for (const std::wstring& service : record.services)
        AppendLine(out, "service", service);
    if (!record.targetVolume.empty()) AppendLine(out, "volume", record.targetVolume);
    for (const JournalFolder& folder : record.folders) {
        AppendLine(out, "source", folder.source);
        AppendLine(out, "target", folder.target);
        if (!folder.parked.empty()) AppendLine(out, "parked", folder.parked);
        if (folder.linked) out += "linked=1\n";
    }
    out += "end=1\n";
    return out;
}

namespace {

// Feeds the text's lines to a parser: true when every line was taken and the text ends whole.
bool FeedLines(std::string_view text, JournalParser& parser) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        if (end == std::string_view::npos) return false;  // a line cut short
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) return false;
        if (!parser.Line(line.substr(0, equals), line.substr(equals + 1))) return false;
    }
    return parser.Complete();
}

}  // namespace

bool ParseJournal(std::string_view text, JournalRecord& record) {
    JournalRecord parsed;
    JournalParser parser(parsed);
    if (!FeedLines(text, parser)) return false;
    record = std::move(parsed);
    return true;
}

JournalRecord ParseJournalAsFarAsItGoes(std::string_view text) {
    JournalRecord parsed;
    JournalParser parser(parsed);
    FeedLines(text, parser);
    return parsed;
}

bool JournalTextIsWhole(std::string_view text) {
    JournalRecord record;
    constexpr std::string_view kEnd = "\nend=1\n";
    return ParseJournal(text, record) && text.size() >= kEnd.size() &&
           text.substr(text.size() - kEnd.size()) == kEnd;
}

int32_t GetJournalPath(std::wstring& path) {
    std::wstring folder;
    if (!sys::GetStateFolder(folder)) return HX_LOG.FailedCall();
    path = folder + sys::kSep + L"move.journal";
    return 0;
}

namespace {

// 0 with found and text; 0 without found when there is no such file; else a code.
int32_t ReadJournalText(const std::wstring& path, std::string& text, bool& found) {
    found = false;
    if (sys::ReadWholeFile(path, kMaxJournalBytes, text)) {
        found = true;
        return 0;
    }
    const uint32_t error = sys::GetLastError();
    if (error == sys::kErrFileNotFound) return 0;
    if (error == sys::kErrInvalidData) {
        found = true;
        text.clear();  // too long to be a journal: unreadable
        return 0;
    }
    return HX_LOG.FailedCall();
}

}  // namespace

int32_t ReadJournal(JournalRecord& record, bool& found) {
    found = false;
    std::wstring path;
    if (const int32_t r = GetJournalPath(path); r != 0) return r;
    std::string text;
    if (const int32_t r = ReadJournalText(path, text, found); r != 0) return r;
    if (!found) {
        // A replace that deletes the old name before it renames (FAT, exFAT) leaves only the new
        // text when cut between the two: taken only when whole.
        std::string temporary;
        bool there = false;
        if (const int32_t r = ReadJournalText(path + L".tmp", temporary, there); r != 0) return r;
        if (!there || !JournalTextIsWhole(temporary)) return 0;
        HX_LOG.Detail("journal: only its new text was found, whole: ", path, L".tmp");
        text = std::move(temporary);
        found = true;
    }
    if (!ParseJournal(text, record)) {
        record = ParseJournalAsFarAsItGoes(text);
        HX_LOG.Err(kCodeJournalUnreadable);
        return kCodeJournalUnreadable;
    }
    return 0;
}

int32_t WriteJournal(const JournalRecord& record) {
    std::wstring path;
    if (const int32_t r = GetJournalPath(path); r != 0) return r;
    if (!sys::ReplaceFileAtomically(path, SerializeJournal(record))) return HX_LOG.FailedCall();
    return 0;
}

int32_t RemoveJournal() {
    std::wstring path;
    if (const int32_t r = GetJournalPath(path); r != 0) return r;
    // The temporary text first: once the journal has gone, it would be read in its place.
    for (const std::wstring& file : {path + L".tmp", path}) {
        if (sys::RemoveFileDurably(file)) continue;
        const uint32_t error = sys::GetLastError();
        if (error != sys::kErrFileNotFound && error != sys::kErrPathNotFound)
            return HX_LOG.FailedCall();
    }
    return 0;
}

std::wstring ChosenFolder(const std::wstring& target) {
    std::wstring chosen = target;
    for (int up = 0; up < 2; ++up) {
        const auto cut = chosen.rfind(sys::kSep);
        chosen = cut == std::wstring::npos || cut == 0 ? chosen : chosen.substr(0, cut);
    }
    return chosen;
}

int32_t FlushRecordedFolders(const JournalRecord& record) {
    std::vector<std::wstring> folders{record.base};
    for (const JournalFolder& folder : record.folders) {
        // The target chosen: it outlives the "Oculus game" folder a rollback removes.
        const std::wstring chosen = ChosenFolder(folder.target);
        if (!chosen.empty() && std::find(folders.begin(), folders.end(), chosen) == folders.end())
            folders.push_back(chosen);
    }
    for (const std::wstring& folder : folders) {
        if (folder.empty()) continue;
        if (!sys::FlushToDisk(folder)) return HX_LOG.FailedCall();
    }
    return 0;
}

// ---- One move's journal ------------------------------------------------------------------------

int32_t MoveJournal::Begin(const PathMap& pairs, int32_t phase, JournalWork work) {
    record_ = JournalRecord{};
    record_.work = work;
    record_.phase = phase;
    const auto& names = COculusMgr::ServiceNames();
    record_.services.assign(names.begin(), names.end());
    for (const auto& [source, target] : pairs) {
        record_.folders.push_back({source, target, {}, false});
        if (record_.base.empty()) {
            const auto cut = source.rfind(sys::kSep);
            record_.base = cut == std::wstring::npos ? source : source.substr(0, cut + 1);
        }
        // The folder chosen exists already; the copies' folders are made after this record.
        if (record_.targetVolume.empty() &&
            !sys::GetVolumeIdentity(ChosenFolder(target), record_.targetVolume)) {
            record_.targetVolume.clear();  // a recovery then cannot tell a drive missing
        }
    }
    active_ = false;
    keep_ = false;
    if (const int32_t r = WriteJournal(record_); r != 0) return r;
    active_ = true;
    return 0;
}

int32_t MoveJournal::Resume(const JournalRecord& record, int32_t phase) {
    record_ = record;
    record_.work = JournalWork::kMove;
    record_.phase = phase;
    record_.copiesChecked = false;
    for (JournalFolder& folder : record_.folders)
        folder.linked = false;
    active_ = false;
    keep_ = false;
    if (const int32_t r = WriteJournal(record_); r != 0) return r;
    active_ = true;
    return 0;
}

JournalFolder* MoveJournal::FolderOf(const std::wstring& source) {
    for (JournalFolder& folder : record_.folders) {
        if (folder.source == source) return &folder;
    }
    return nullptr;
}

int32_t MoveJournal::PlanParking(const PathMap& parkedNames) {
    if (!active_) return 0;
    for (const auto& [source, parked] : parkedNames) {
        if (JournalFolder* folder = FolderOf(source)) folder->parked = parked;
    }
    return WriteJournal(record_);
}

void MoveJournal::Parked(const std::wstring& source, const std::wstring& parkedName) {
    JournalFolder* folder = FolderOf(source);
    if (!active_ || !folder || folder->parked == parkedName) return;
    folder->parked = parkedName;  // another name than planned: someone took it meanwhile
    Refresh();
}

void MoveJournal::Linking(const std::wstring& source) {
    if (JournalFolder* folder = FolderOf(source); active_ && folder) {
        folder->linked = true;
        Refresh();
    }
}

int32_t MoveJournal::CopiesChecked() {
    if (!active_) return 0;
    record_.copiesChecked = true;
    if (const int32_t r = WriteJournal(record_); r != 0) {
        record_.copiesChecked = false;
        return r;
    }
    return 0;
}

int32_t MoveJournal::CopiesUnchecked() {
    if (!active_ || !record_.copiesChecked) return 0;
    record_.copiesChecked = false;
    if (const int32_t r = WriteJournal(record_); r != 0) {
        record_.copiesChecked = true;
        return r;
    }
    return 0;
}

void MoveJournal::Phase(int32_t phase) {
    if (!active_) return;
    if (phase == kFinished) {
        active_ = false;
        if (keep_) {
            Refresh();  // the services and folders as they are now, for the next start
            return;
        }
        // Logged there; a journal left behind only asks the next start, which finds the move done.
        if (FlushRecordedFolders(record_) == 0) RemoveJournal();
        return;
    }
    record_.phase = phase;
    Refresh();
}

void MoveJournal::Refresh() {
    WriteJournal(record_);  // logged there; the disk decides, the journal only names
}
