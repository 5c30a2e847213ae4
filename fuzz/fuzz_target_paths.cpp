// The start checks of a target folder, as the source/target page runs them on what the user
// typed: the engine's lexical tidying (GetFullPathNameW), NormalizePath, the refusal of relative
// and drive-relative spellings, the engine's nesting test against the final paths of "Software"
// and "Downloads", IsTargetApartFromSource with its length limit, and the refusal of the base
// folder by its spelling. The file system's own answers (exists, folder, drive type, file
// system, free space) are taken as yes, and links are not modelled: the engine's identity check
// (LiesInside) only refuses more.
//
// Property: a target that the checks accept never resolves to a source folder or below it,
// where the move would copy a folder into itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fileOp/CFileOp.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/sys.h"
#include "ui/volumecheck.h"

namespace {

// The path that POSIX resolves path to without links: "." and empty parts dropped, ".." taking
// the part before it (never above the root). path is absolute.
std::wstring Resolved(const std::wstring& path) {
    std::vector<std::wstring> parts;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find(L'/', start);
        if (end == std::wstring::npos) end = path.size();
        const std::wstring part = path.substr(start, end - start);
        if (part == L"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::wstring resolved;
    for (const std::wstring& part : parts)
        resolved += L'/' + part;
    return resolved.empty() ? L"/" : resolved;
}

// What the system acts on: a path ends at its first NUL.
std::wstring SystemView(const std::wstring& path) {
    return path.substr(0, path.find(L'\0'));
}

bool IsAtOrBelow(const std::wstring& path, const std::wstring& folder) {
    return path == folder || path.starts_with(folder == L"/" ? folder : folder + L'/');
}

// The page's decision (COculusInstallWgt::RefusalOfTarget) on typed, for an installation whose
// registry value "Base" is base. The target the move would use, or empty when refused.
std::wstring AcceptedTarget(const std::wstring& base, const QString& typed) {
    QString target = typed.trimmed();
    std::wstring tidy;
    if (sys::IsAbsolutePath(target.toStdWString()) &&
        sys::GetFullPathNameW(target.toStdWString(), tidy)) {
        target = QString::fromStdWString(tidy);
    }
    NormalizePath(target);
    if (target.isEmpty()) return {};
    std::wstring wide = target.toStdWString();
    if (!sys::IsAbsolutePath(wide)) return {};
    // The engine's check tidies again; a text it cannot tidy is refused there.
    if (!sys::GetFullPathNameW(wide, tidy)) return {};
    wide = tidy;
    for (const wchar_t* folder : {L"Software", L"Downloads"}) {
        // The final path of a source folder without links: its resolved spelling.
        if (TargetHoldsSourcePath(wide, Resolved(SystemView(base + folder)))) return {};
    }
    QString source = QString::fromStdWString(base + L"Software");
    NormalizePath(source);
    if (!IsTargetApartFromSource(source, target)) return {};
    if ((target + u'/').contains(QString::fromStdWString(base))) return {};
    return wide;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::wstring base = sys::FromUtf8(input.ConsumeRandomLengthString(600));
    const QString typed = QString::fromUtf8(input.ConsumeRemainingBytesAsString());
    if (!sys::IsAbsolutePath(base)) return 0;  // detection hands out the registry's absolute path

    const std::wstring target = SystemView(AcceptedTarget(base, typed));
    if (target.empty()) return 0;
    for (const wchar_t* folder : {L"Software", L"Downloads"}) {
        if (IsAtOrBelow(Resolved(target), Resolved(SystemView(base + folder)))) std::abort();
    }
    return 0;
}
