#include "cli.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "ground/ResultCodes.h"
#include "platform/sys.h"

namespace cli {

namespace {

bool ToInt(const std::wstring& text, long long& value) {
    if (text.empty() || text.size() > 18) return false;
    size_t i = text[0] == L'-' ? 1 : 0;
    if (i == text.size()) return false;
    value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        value = value * 10 + (text[i] - L'0');
    }
    if (text[0] == L'-') value = -value;
    return true;
}

// Appends code point c as UTF-8.
void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendEscape(std::string& out, uint32_t unit) {
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04x", static_cast<unsigned>(unit & 0xFFFF));
    out += text;
}

}  // namespace

std::string UsageText() {
    return "usage: halvex-move --target DIR [--yes] [--dry-run] [--json]\n"
           "       halvex-move --recover [--continue] [--json]\n"
           "       halvex-move --status [--json]\n"
           "       halvex-move --check [--json]\n"
           "       halvex-move --back [--json]\n"
           "       halvex-move --help | --version\n"
           "Moves the Oculus installation's Software and Downloads folders into DIR\\Oculus game\n"
           "and links them from their old places, with every check the window makes first.\n"
           "  --target DIR  the folder to move to (made absolute against the working folder)\n"
           "  --yes         answers Yes to the questions the window would ask (a target on the\n"
           "                installation's drive or on a removable one, programs not checked)\n"
           "  --dry-run     runs every check, asks nothing and changes nothing\n"
           "  --recover     finishes or puts back a move that was stopped\n"
           "  --continue    with --recover: goes on with a move stopped while it copied, keeping\n"
           "                every file it had copied whole (exit 1 when there is none to go on "
           "with)\n"
           "  --status      where the data is, whether the links lead somewhere, a move pending\n"
           "  --check       reads the moved games back from their drive against the record of\n"
           "                their bytes kept by the move: what differs, and what the Oculus app\n"
           "                updated since (exit 7 when something is amiss)\n"
           "  --back        moves the moved games back to the installation's drive and removes\n"
           "                the links (exit 1 when they are not moved or do not fit there)\n"
           "  --json        prints one JSON object instead of lines\n"
           "The exit codes are listed in README.md (0 done, 1 refused, 2 usage, 3 failed and put\n"
           "back, 4 a question needs --yes, 5 Halvex runs, 6 a move waits, 7 needs a person,\n"
           "8 needs administrator rights).\n"
           "For tests and benchmarks: [--cancel-at-phase N] [--progress-ms N]\n"
           "  [--run-at-phase N CMD] [--die-at PHASE:CALLS] [--pause-at-phase N]\n"
           "  [--hold-at-durable] [--any-volume] (a benchmark on a RAM disk: skips the drive\n"
           "  and file-system checks; a RAM disk loses its data at shutdown)\n";
}

bool ParseArguments(const std::vector<std::wstring>& arguments, Options& options,
                    std::string& why) {
    options = Options{};
    bool recover = false, status = false, check = false, back = false, dryRun = false,
         targetGiven = false;
    const auto value = [&](size_t& i, std::wstring& out) {
        if (i + 1 >= arguments.size()) {
            why = sys::ToUtf8(arguments[i]) + " needs a value";
            return false;
        }
        out = arguments[++i];
        return true;
    };
    const auto number = [&](size_t& i, long long& out) {
        std::wstring text;
        if (!value(i, text)) return false;
        if (!ToInt(text, out)) {
            why = sys::ToUtf8(arguments[i - 1]) + " takes a number, not " + sys::ToUtf8(text);
            return false;
        }
        return true;
    };
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& a = arguments[i];
        long long n = 0;
        std::wstring text;
        if (a == L"--target") {
            if (!value(i, options.target)) return false;
            targetGiven = true;
        } else if (a == L"--yes") {
            options.yes = true;
        } else if (a == L"--dry-run") {
            dryRun = true;
        } else if (a == L"--json") {
            options.json = true;
        } else if (a == L"--recover") {
            recover = true;
        } else if (a == L"--continue") {
            options.continueMove = true;
        } else if (a == L"--status") {
            status = true;
        } else if (a == L"--check") {
            check = true;
        } else if (a == L"--back") {
            back = true;
        } else if (a == L"--help" || a == L"-h" || a == L"/?") {
            options.command = Command::kHelp;
            return true;
        } else if (a == L"--version") {
            options.command = Command::kVersion;
            return true;
        } else if (a == L"--cancel-at-phase") {
            if (!number(i, n)) return false;
            options.cancelAtPhase = static_cast<int>(n);
        } else if (a == L"--progress-ms") {
            if (!number(i, n)) return false;
            options.progressMs = static_cast<int>(n);
        } else if (a == L"--run-at-phase") {
            if (!number(i, n) || !value(i, text)) return false;
            options.runAtPhase = static_cast<int>(n);
            options.runCommand = sys::ToUtf8(text);
        } else if (a == L"--die-at") {
            if (!value(i, text)) return false;
            const size_t colon = text.find(L':');
            long long phase = 0, calls = 0;
            if (!ToInt(text.substr(0, colon), phase) ||
                (colon != std::wstring::npos && !ToInt(text.substr(colon + 1), calls))) {
                why = "--die-at takes PHASE:CALLS";
                return false;
            }
            options.dieAtPhase = static_cast<int>(phase);
            options.dieAfterCalls = static_cast<uint64_t>(calls);
        } else if (a == L"--pause-at-phase") {
            if (!number(i, n)) return false;
            options.pauseAtPhase = static_cast<int>(n);
        } else if (a == L"--hold-at-durable") {
            options.holdAtDurable = true;
        } else if (a == L"--any-volume") {
            options.anyVolume = true;
        } else {
            why = "unknown option " + sys::ToUtf8(a);
            return false;
        }
    }
    if (int(recover) + int(status) + int(check) + int(back) + int(targetGiven) != 1) {
        why = "give one of --target DIR, --back, --recover, --status and --check";
        return false;
    }
    if (options.continueMove && !recover) {
        why = "--continue goes with --recover";
        return false;
    }
    if (dryRun && !targetGiven) {
        why = "--dry-run checks a move: give --target DIR";
        return false;
    }
    options.command = recover  ? Command::kRecover
                      : status ? Command::kStatus
                      : check  ? Command::kCheck
                      : back   ? Command::kBack
                      : dryRun ? Command::kDryRun
                               : Command::kMove;
    return true;
}

std::string JsonString(const std::wstring& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            // UTF-16: a pair is one code point; a lone half is escaped as it is.
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
                const uint32_t low = static_cast<uint32_t>(text[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                    ++i;
                    continue;
                }
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) {
            AppendEscape(out, c);
        } else if (c == L'"') {
            out += "\\\"";
        } else if (c == L'\\') {
            out += "\\\\";
        } else if (c == L'\n') {
            out += "\\n";
        } else if (c == L'\r') {
            out += "\\r";
        } else if (c == L'\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            AppendEscape(out, c);
        } else if (c > 0x10FFFF) {
            AppendEscape(out, 0xFFFD);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out + "\"";
}

std::string JsonString(const std::string& utf8) {
    return JsonString(sys::FromUtf8(utf8));
}

void JsonObject::Raw(const std::string& key, std::string json) {
    for (auto& member : members_) {
        if (member.first == key) {
            member.second = std::move(json);
            return;
        }
    }
    members_.emplace_back(key, std::move(json));
}

std::string JsonObject::Serialize() const {
    std::string out = "{";
    for (size_t i = 0; i < members_.size(); ++i) {
        if (i) out += ",";
        out += JsonString(members_[i].first) + ":" + members_[i].second;
    }
    return out + "}";
}

void Report::Line(const char* format, ...) {
    if (json_) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int Report::Finish(int exit) {
    if (json_) {
        fields_.Number("exit", exit);
        std::FILE* out = out_ ? out_ : stdout;
        std::fprintf(out, "%s\n", fields_.Serialize().c_str());
        std::fflush(out);
    }
    return exit;
}

std::string TargetRefusalWords(int32_t code) {
    switch (code) {
        case kTargetTooSmall:
            return "the target's drive has not enough free space for Software and Downloads";
        case kTargetInsideSource:
            return "the target is one of the folders to move, or lies inside one";
        case kTargetRefused:
            return "the target cannot take the move: its path, or a path the move would make "
                   "there, is too long";
        case kTargetQueryFailed:
            return "the free space or the size of the folders could not be read";
        case kTargetNotGiven:
            return "no target was given";
        case kTargetMissing:
            return "the target does not exist";
        case kTargetNotFolder:
            return "the target is not a folder";
        case kTargetWrongDrive:
            return "the target is not on a hard disk or flash drive (network, optical and RAM "
                   "drives cannot hold the games)";
        case kTargetWrongFileSystem:
#ifdef _WIN32
            return "the target's drive is not formatted with NTFS or exFAT";
#else
            return "the target's file system cannot hold the games: use NTFS, exFAT or one of "
                   "Linux's own (ext4, xfs, btrfs)";
#endif
        case kTargetNoSource:
            return "the Oculus installation was not detected";
        case kTargetIsInstallFolder:
            return "the target is the folder that holds the Oculus installation, or lies in it";
        case kTargetInsideBase:
            return "the target is the Oculus installation folder, or lies inside it";
        case kTargetInsideData:
            return "the target lies in the folder that holds the moved games now";
        default:
            return "the target cannot be used (code " + std::to_string(code) + ")";
    }
}

}  // namespace cli
