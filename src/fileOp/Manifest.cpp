#include "fileOp/Manifest.h"

#include <cinttypes>
#include <cstdio>
#include <map>

#include "ground/LineText.h"
#include "ground/ResultCodes.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/sys.h"

namespace {

constexpr int kVersion = 1;
// A library of a million files fits: a line is about a hundred bytes and a path.
constexpr size_t kMaxManifestBytes = size_t{512} << 20;

std::string Hex(const sys::ContentHash& hash) {
    char text[33];
    std::snprintf(text, sizeof text, "%016" PRIx64 "%016" PRIx64, hash.high, hash.low);
    return text;
}

bool ParseHex(std::string_view text, uint64_t& value) {
    if (text.size() != 16) return false;
    value = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (digit < 0) return false;  // the writer writes lower case
        value = value * 16 + static_cast<uint64_t>(digit);
    }
    return true;
}

bool ParseDecimal(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// "<hash> <size> <time> <path>"
bool ParseFile(std::string_view text, ManifestFile& file) {
    std::string_view fields[3];
    for (std::string_view& field : fields) {
        const auto space = text.find(' ');
        if (space == std::string_view::npos) return false;
        field = text.substr(0, space);
        text.remove_prefix(space + 1);
    }
    if (fields[0].size() != 32 || !ParseHex(fields[0].substr(0, 16), file.hash.high) ||
        !ParseHex(fields[0].substr(16), file.hash.low) || !ParseDecimal(fields[1], file.size) ||
        !ParseDecimal(fields[2], file.writeTime)) {
        return false;
    }
    return DecodeLineValue(text, file.path) && !file.path.empty();
}

std::wstring FileName(ManifestFileName which) {
    std::wstring folder;
    if (!sys::GetStateFolder(folder)) return {};
    const wchar_t* name = which == ManifestFileName::kMoving  ? L"move.manifest"
                          : which == ManifestFileName::kMoved ? L"moved.manifest"
                                                              : L"move.copied";
    return folder + sys::kSep + name;
}

}  // namespace

const ManifestTree* Manifest::Tree(const std::wstring& name) const {
    for (const ManifestTree& tree : trees) {
        if (tree.name == name) return &tree;
    }
    return nullptr;
}

namespace {

// Takes the next "key=value" line off text: false when no whole line is left or it holds no
// "=". withCarriageReturn: a "\r" before the line's end (Windows' text mode) is passed over.
bool NextLine(std::string_view& text, bool withCarriageReturn, std::string_view& key,
              std::string_view& value) {
    const auto end = text.find('\n');
    if (end == std::string_view::npos) return false;
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (withCarriageReturn && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) return false;
    key = line.substr(0, equals);
    value = line.substr(equals + 1);
    return true;
}

std::string FileLine(const ManifestFile& file) {
    std::string out = "file=" + Hex(file.hash) + ' ' + std::to_string(file.size) + ' ' +
                      std::to_string(file.writeTime) + ' ';
    AppendLineValue(out, file.path);
    out += '\n';
    return out;
}

std::string TreeLine(const std::wstring& name) {
    std::string out = "tree=";
    AppendLineValue(out, name);
    out += '\n';
    return out;
}

}  // namespace

std::string SerializeManifest(const Manifest& manifest) {
    std::string out = "version=" + std::to_string(kVersion) + "\n";
    for (const ManifestTree& tree : manifest.trees) {
        out += TreeLine(tree.name);
        for (const ManifestFile& file : tree.files)
            out += FileLine(file);
    }
    out += "end=1\n";
    return out;
}

bool ParseManifest(std::string_view text, Manifest& manifest) {
    Manifest parsed;
    bool versionSeen = false, ended = false;
    while (!text.empty()) {
        std::string_view key, value;
        // Cut short, after the end, or no line of a manifest.
        if (ended || !NextLine(text, false, key, value)) return false;
        if (!versionSeen) {
            if (key != "version" || value != "1") return false;
            versionSeen = true;
        } else if (key == "tree") {
            ManifestTree tree;
            if (!DecodeLineValue(value, tree.name) || tree.name.empty()) return false;
            parsed.trees.push_back(std::move(tree));
        } else if (key == "file") {
            ManifestFile file;
            if (parsed.trees.empty() || !ParseFile(value, file)) return false;
            parsed.trees.back().files.push_back(std::move(file));
        } else if (key == "end" && value == "1") {
            ended = true;
        } else {
            return false;
        }
    }
    if (!ended) return false;
    manifest = std::move(parsed);
    return true;
}

int32_t WriteManifest(ManifestFileName which, const Manifest& manifest) {
    const std::wstring path = FileName(which);
    if (path.empty() || !sys::ReplaceFileAtomically(path, SerializeManifest(manifest)))
        return HX_LOG.FailedCall();
    return 0;
}

namespace {

// The text of one of the state folder's files: found false when there is none; one too long to
// be what it should leaves text empty.
int32_t ReadStateFile(ManifestFileName which, std::string& text, bool& found) {
    found = false;
    const std::wstring path = FileName(which);
    if (path.empty()) return HX_LOG.FailedCall();
    if (!sys::ReadWholeFile(path, kMaxManifestBytes, text)) {
        const uint32_t error = sys::GetLastError();
        if (error == sys::kErrFileNotFound || error == sys::kErrPathNotFound) return 0;
        if (error != sys::kErrInvalidData) return HX_LOG.FailedCall();
        text.clear();
    }
    found = true;
    return 0;
}

}  // namespace

int32_t ReadManifest(ManifestFileName which, Manifest& manifest, bool& found) {
    std::string text;
    if (const int32_t r = ReadStateFile(which, text, found); r != 0 || !found) return r;
    if (!ParseManifest(text, manifest)) {
        HX_LOG.Err(kCodeManifestUnreadable);
        return kCodeManifestUnreadable;
    }
    return 0;
}

int32_t RemoveManifest(ManifestFileName which) {
    const std::wstring path = FileName(which);
    if (path.empty()) return HX_LOG.FailedCall();
    if (sys::RemoveFileDurably(path)) return 0;
    const uint32_t error = sys::GetLastError();
    if (error == sys::kErrFileNotFound || error == sys::kErrPathNotFound) return 0;
    return HX_LOG.FailedCall();
}

int32_t KeepManifestOfTheMove() {
    Manifest manifest;
    bool found = false;
    if (const int32_t r = ReadManifest(ManifestFileName::kMoving, manifest, found); r != 0)
        return r;
    if (!found) return 0;
    if (const int32_t r = WriteManifest(ManifestFileName::kMoved, manifest); r != 0) return r;
    return RemoveManifest(ManifestFileName::kMoving);
}

// ---- The copy log -------------------------------------------------------------------------------

int32_t CopyLog::Open(bool fresh) {
    Close();
    const std::wstring path = FileName(ManifestFileName::kCopied);
    if (path.empty()) return HX_LOG.FailedCall();
    // An earlier move's log, where one was left (a move that ended never leaves one).
    if (fresh && sys::GetFileAttributesW(path) != sys::kInvalidFileAttributes) {
        if (const int32_t r = RemoveManifest(ManifestFileName::kCopied); r != 0) return r;
    }
    file_ = sys::OpenSharedAppend(path);
    if (!file_) return HX_LOG.FailedCall();
    const std::string version = "version=" + std::to_string(kVersion) + "\n";
    if (fresh) std::fputs(version.c_str(), file_);
    std::fflush(file_);
    return 0;
}

// Each line goes to the system at once: a killed program loses no file copied before it.
void CopyLog::Tree(const std::wstring& name) {
    if (!file_) return;
    std::fputs(TreeLine(name).c_str(), file_);
    std::fflush(file_);
}

void CopyLog::Add(const ManifestFile& file) {
    if (!file_) return;
    std::fputs(FileLine(file).c_str(), file_);
    std::fflush(file_);
}

void CopyLog::Close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

bool ParseCopyLog(std::string_view text, Manifest& log) {
    log = Manifest{};
    bool versionSeen = false;
    ManifestTree* tree = nullptr;
    std::vector<std::map<std::wstring, size_t>> index;  // per tree: path -> its place in files
    while (!text.empty()) {
        std::string_view key, value;
        if (!NextLine(text, true, key, value)) break;  // a line the cut ended, or a damaged one
        if (!versionSeen) {
            if (key != "version" || value != "1") return false;
            versionSeen = true;
        } else if (key == "tree") {
            std::wstring name;
            if (!DecodeLineValue(value, name) || name.empty()) break;
            tree = nullptr;
            for (size_t i = 0; i < log.trees.size(); ++i) {
                if (log.trees[i].name == name) tree = &log.trees[i];
            }
            if (!tree) {
                tree = &log.trees.emplace_back();
                tree->name = name;
                index.emplace_back();
            }
        } else if (key == "file") {
            ManifestFile file;
            if (!tree || !ParseFile(value, file)) break;
            auto& places = index[static_cast<size_t>(tree - log.trees.data())];
            const auto [place, added] = places.emplace(file.path, tree->files.size());
            if (added) {
                tree->files.push_back(std::move(file));
            } else {
                tree->files[place->second] = std::move(file);
            }
        } else {
            break;
        }
    }
    return versionSeen;
}

int32_t ReadCopyLog(Manifest& log, bool& found) {
    std::string text;
    if (const int32_t r = ReadStateFile(ManifestFileName::kCopied, text, found); r != 0 || !found)
        return r;
    found = ParseCopyLog(text, log);
    return 0;
}
