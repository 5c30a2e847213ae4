// A whole move through the engine as the page and the worker start it, and the one check of
// what a move, a rollback or a recovery leaves: every original whole in exactly one reachable
// place, nothing of the move left behind on either side, the services as they should be, and a
// journal only while a move waits for its recovery.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/services.h"

class CVr;

namespace testsupport {

class SimulatedInstall;

// Detects the installation, checks the target and moves; -1 when the target is refused.
// beforeMove runs between the checks and the move (a sweep arms its faults there).
int32_t Move(CVr& engine, const std::filesystem::path& target,
             const std::function<void()>& beforeMove = {});

// A journal is there: a move waits for its recovery (one that cannot be read counts).
bool JournalThere();

struct Whole {
    enum class Data { kEither, kHome, kMoved };
    Data data = Data::kEither;
    // A move waits for its recovery: its journal stays, and an original may lie in its parked
    // folder or its copy instead of at home. The services are then not looked at.
    bool pending = false;
    // The services' state at the end (the POSIX stand-in's, or Wine's manager's): running,
    // unless a test says otherwise; 0: not looked at.
    uint32_t services = sys::kServiceRunning;
};
inline constexpr Whole kAtHome{Whole::Data::kHome};
inline constexpr Whole kMoved{Whole::Data::kMoved};
inline constexpr Whole kPending{Whole::Data::kEither, true, 0};

// The first thing found wrong, or an empty text when the installation is whole.
//   - "Software" and "Downloads" are both real folders at home, or both links to the
//     "Software" and "Downloads" of one copies' folder that holds nothing else;
//   - every original file is there with its bytes, and no file that is none;
//   - nothing else in the base folder (no parked folder); at home, the target is empty;
//   - the data outside the installation that an inner link reaches is untouched;
//   - the services run (or are in the state asked), and no journal is left.
// With pending: each original whole at home, parked or in the copies, and the journal there.
std::string NotWhole(const SimulatedInstall& install, const Whole& expect = {});

}  // namespace testsupport
