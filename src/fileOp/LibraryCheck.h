// A folder of the moved library (or a parked original) against the manifest of its move: what is
// missing, added, updated since, or changed without a newer write time; and, reading the files
// back from their drive around the caches, what has other bytes than were copied.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "fileOp/Manifest.h"

struct LibraryReport {
    // Faults: only a failing drive changes bytes and keeps the size and write time, and loses
    // files nobody deleted.
    std::vector<std::wstring> differs;  // the same size and time, other bytes
    std::vector<std::wstring> changed;  // another size, or an older write time
    std::vector<std::wstring> missing;  // listed, not there
    // What the platform does when it updates its games: not a fault.
    std::vector<std::wstring> updated;  // a newer write time
    std::vector<std::wstring> added;    // not listed
    uint64_t files = 0;                 // listed files looked at

    bool Faulty() const { return !differs.empty() || !changed.empty() || !missing.empty(); }
};

// Looks at every file below folder, and every file tree lists. With readBytes the files whose
// size and time match are read back (sys::HashFromMedia) and their hashes compared; bytesRead,
// when given, counts what was read. 0, kCodeCancelled when cancel was raised, or the code of a
// failed listing or read (logged). Paths in the report are full paths.
int32_t CheckAgainstManifest(const std::wstring& folder, const ManifestTree& tree, bool readBytes,
                             const std::atomic<bool>& cancel, std::atomic<uint64_t>* bytesRead,
                             LibraryReport& report);
