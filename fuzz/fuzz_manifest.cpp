// The manifest's reader: whatever the file holds, reading it never crashes, and a manifest it
// reads is written back as a text that reads as the same manifest (and is written the same
// again). Manifests made of arbitrary names and numbers are written and read back exactly. The
// copy log's reader never crashes either, and a log cut anywhere reads as no more than the
// files whose lines were whole before the cut.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fileOp/Manifest.h"
#include "platform/sys.h"

namespace {

void ReadsBackTheSame(const Manifest& manifest) {
    const std::string text = SerializeManifest(manifest);
    Manifest back;
    if (!ParseManifest(text, back) || !(back == manifest)) std::abort();
    if (SerializeManifest(back) != text) std::abort();
}

// Cuts the input at 0xFF bytes into the names of a manifest of two trees; the numbers come from
// the bytes after the last cut.
Manifest ManifestOfNames(std::string_view bytes) {
    std::wstring names[4];
    for (std::wstring& name : names) {
        const size_t cut = bytes.find('\xff');
        name = sys::FromUtf8(bytes.substr(0, cut));
        bytes.remove_prefix(cut == std::string_view::npos ? bytes.size() : cut + 1);
        if (name.empty()) name = L"x";  // the writer never writes an empty name
    }
    uint64_t numbers[4] = {};
    std::memcpy(numbers, bytes.data(), std::min(bytes.size(), sizeof numbers));
    Manifest manifest;
    manifest.trees = {{names[0], {{names[1], numbers[0], numbers[1], {numbers[2], numbers[3]}}}},
                      {names[2], {{names[3], numbers[3], numbers[2], {numbers[1], numbers[0]}}}}};
    return manifest;
}

// Every file of part is one of whole's, in a tree of the same name.
bool HeldIn(const Manifest& part, const Manifest& whole) {
    for (const ManifestTree& tree : part.trees) {
        for (const ManifestFile& file : tree.files) {
            bool found = false;
            for (const ManifestTree& other : whole.trees) {
                for (const ManifestFile& candidate : other.files)
                    found = found || (other.name == tree.name && candidate == file);
            }
            if (!found) return false;
        }
    }
    return true;
}

void LogCutAnywhereReadsAsItsWholeLines(const Manifest& manifest, uint8_t where) {
    std::string text = SerializeManifest(manifest);
    text.resize(text.size() - std::strlen("end=1\n"));  // a log has no end
    const std::string cut = text.substr(0, where % (text.size() + 1));
    Manifest part;
    const bool versioned = cut.size() >= std::strlen("version=1\n");
    if (ParseCopyLog(cut, part) != versioned || !HeldIn(part, manifest)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Manifest manifest;
    if (ParseManifest(bytes, manifest)) ReadsBackTheSame(manifest);
    ReadsBackTheSame(ManifestOfNames(bytes));
    Manifest log;
    ParseCopyLog(bytes, log);
    LogCutAnywhereReadsAsItsWholeLines(ManifestOfNames(bytes), size ? data[size - 1] : 0);
    return 0;
}
