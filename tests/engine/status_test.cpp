// The words of the status line: amounts of data in the platform's units, the copy's speed and
// time left, the text of every step, and the closing words of every kind of ending.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "Vr/MoveStatus.h"
#include "ground/ResultCodes.h"
#include "platform/sys.h"
#include "platform/units.h"

namespace {

constexpr uint64_t kMB = 1000 * 1000;
constexpr uint64_t kMiB = 1024 * 1024;

// ---- Units -------------------------------------------------------------------------------------

TEST(ByteUnits, ExplorerCountsIn1024sWithThreeDigitsCutOff) {
    const struct {
        uint64_t bytes;
        const wchar_t* text;
    } rows[] = {
        {0, L"0 bytes"},
        {1, L"1 byte"},
        {1023, L"1023 bytes"},
        {1024, L"1.00 KB"},
        {1536, L"1.50 KB"},
        {10 * 1024 - 1, L"9.99 KB"},  // cut off, not rounded up to 10.0
        {123 * 1024 + 1000, L"123 KB"},
        {1000 * 1024, L"0.97 MB"},  // a fourth digit never shows: the next unit takes over
        {85 * kMiB, L"85.0 MB"},
        {uint64_t{3} * 1024 * kMiB + 400 * kMiB, L"3.39 GB"},
        {uint64_t{5} << 40, L"5.00 TB"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(sys::FormatBytes(row.bytes, sys::ByteUnits::kBinary), row.text) << row.bytes;
    }
}

TEST(ByteUnits, GnomeCountsIn1000sWithOneDecimal) {
    const struct {
        uint64_t bytes;
        const wchar_t* text;
    } rows[] = {
        {0, L"0 bytes"},        {1, L"1 byte"},          {999, L"999 bytes"},
        {1000, L"1.0 kB"},      {1049, L"1.0 kB"},       {1050, L"1.1 kB"},
        {999949, L"999.9 kB"},  {999950, L"1.0 MB"},  // rounding never shows "1000.0 kB"
        {85 * kMB, L"85.0 MB"}, {3400 * kMB, L"3.4 GB"}, {uint64_t{5} * kMB * kMB, L"5.0 TB"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(sys::FormatBytes(row.bytes, sys::ByteUnits::kDecimal), row.text) << row.bytes;
    }
}

TEST(ByteUnits, ThePlatformChoosesItsOwnConvention) {
#ifdef _WIN32
    EXPECT_EQ(sys::SystemByteUnits(), sys::ByteUnits::kBinary);
    EXPECT_EQ(sys::FormatBytes(1536), L"1.50 KB");
#else
    EXPECT_EQ(sys::SystemByteUnits(), sys::ByteUnits::kDecimal);
    EXPECT_EQ(sys::FormatBytes(1536), L"1.5 kB");
#endif
}

// ---- Speed and time left -----------------------------------------------------------------------

TEST(SpeedMeter, NoSpeedUntilTheSamplesSpanASecondAndAHalf) {
    CSpeedMeter meter;
    meter.Sample(1000, 0, 100 * kMB);
    meter.Sample(1500, 10 * kMB, 100 * kMB);
    meter.Sample(2000, 20 * kMB, 100 * kMB);
    EXPECT_FALSE(meter.HasSpeed());
    EXPECT_FALSE(meter.HasTimeLeft());
    meter.Sample(2500, 30 * kMB, 100 * kMB);
    ASSERT_TRUE(meter.HasSpeed());
    EXPECT_DOUBLE_EQ(meter.BytesPerSecond(), 20.0 * kMB);
    EXPECT_NEAR(meter.SecondsLeft(), 3.5, 1e-9);
}

TEST(SpeedMeter, SpeedFollowsTheLastFiveSecondsOnly) {
    CSpeedMeter meter;
    uint32_t tick = 0;
    uint64_t bytes = 0;
    for (int i = 0; i < 40; ++i) {  // 20 s at 100 MB/s
        meter.Sample(tick += 500, bytes += 50 * kMB, 100000 * kMB);
    }
    EXPECT_NEAR(meter.BytesPerSecond(), 100.0 * kMB, 1.0);
    for (int i = 0; i < 12; ++i) {  // then 6 s at 10 MB/s
        meter.Sample(tick += 500, bytes += 5 * kMB, 100000 * kMB);
    }
    EXPECT_NEAR(meter.BytesPerSecond(), 10.0 * kMB, 1.0);
}

TEST(SpeedMeter, TimeLeftCountsDownAndASlowerSpeedRaisesItWithoutAJump) {
    CSpeedMeter meter;
    uint32_t tick = 0;
    uint64_t bytes = 0;
    const uint64_t total = 3000 * kMB;
    for (int i = 0; i < 20; ++i) {  // 10 s at 100 MB/s: 20 s left
        meter.Sample(tick += 500, bytes += 50 * kMB, total);
    }
    EXPECT_NEAR(meter.SecondsLeft(), 20.0, 1.0);
    // Then half the speed for good: the figure never jumps, and follows within seconds.
    for (int i = 0; i < 30; ++i) {
        const double before = meter.SecondsLeft();
        meter.Sample(tick += 500, bytes += 25 * kMB, total);
        EXPECT_LT(std::abs(meter.SecondsLeft() - before), 1.5) << i;
    }
    const double measured = static_cast<double>(total - bytes) / (50.0 * kMB);
    EXPECT_NEAR(meter.SecondsLeft(), measured, measured * 0.2);
}

// Small files went slowly; then a large file goes twenty times as fast. Within two seconds the
// figure says what the new speed says, not what the last five seconds averaged.
TEST(SpeedMeter, AFasterCopyLowersTheTimeLeftAtOnce) {
    CSpeedMeter meter;
    uint32_t tick = 0;
    uint64_t bytes = 0;
    const uint64_t total = 2100 * kMB;
    for (int i = 0; i < 20; ++i)  // 10 s at 10 MB/s: 200 s left
        meter.Sample(tick += 500, bytes += 5 * kMB, total);
    EXPECT_NEAR(meter.SecondsLeft(), 200.0, 10.0);
    for (int i = 0; i < 4; ++i)  // two seconds at 200 MB/s
        meter.Sample(tick += 500, bytes += 100 * kMB, total);
    const double truth = static_cast<double>(total - bytes) / (200.0 * kMB);  // 8 s
    EXPECT_LE(meter.SecondsLeft(), 2.0 * truth);
    EXPECT_GE(meter.SecondsLeft(), truth / 2.0);
}

// The figure held from a slow stretch must not outlive a speed that contradicts it: bytes that
// went at once (a cache, a copy that skipped work) leave little, and the figure says so.
TEST(SpeedMeter, AStaleFigureNeverOutlivesTheCurrentSpeed) {
    CSpeedMeter meter;
    uint32_t tick = 0;
    uint64_t bytes = 0;
    const uint64_t total = 4400 * kMB;
    for (int i = 0; i < 40; ++i)  // 20 s at 0.1 MB/s: hours left
        meter.Sample(tick += 500, bytes += kMB / 20, total);
    EXPECT_GT(meter.SecondsLeft(), 3600.0);
    bytes = 4300 * kMB;  // most of the rest went in one step
    for (int i = 0; i < 6; ++i) {
        meter.Sample(tick += 500, bytes += 40 * kMB, total);
        ASSERT_TRUE(meter.HasTimeLeft());
        const double byCurrentSpeed =
            static_cast<double>(total - std::min(bytes, total)) / meter.BytesPerSecond();
        EXPECT_LE(meter.SecondsLeft(), 2.0 * byCurrentSpeed + 1e-9) << i;
    }
    EXPECT_LT(meter.SecondsLeft(), 10.0);
}

TEST(SpeedMeter, AStallShowsNoSpeedAndANewCopyStartsAfresh) {
    CSpeedMeter meter;
    for (uint32_t tick = 500; tick <= 3000; tick += 500)
        meter.Sample(tick, tick * kMB, 100 * kMB);
    ASSERT_TRUE(meter.HasSpeed());
    for (uint32_t tick = 3500; tick <= 9000; tick += 500)
        meter.Sample(tick, 3000 * kMB, 100000 * kMB);
    EXPECT_FALSE(meter.HasSpeed());
    EXPECT_FALSE(meter.HasTimeLeft());
    meter.Sample(9500, 0, 100 * kMB);  // fewer bytes than before: another copy
    EXPECT_FALSE(meter.HasSpeed());
}

TEST(SpeedMeter, TicksThatWrapAroundStillMeasure) {
    CSpeedMeter meter;
    uint32_t tick = 0xFFFFFFFFu - 1000;
    for (int i = 0; i < 8; ++i)
        meter.Sample(tick += 500, static_cast<uint64_t>(i) * 5 * kMB, 100 * kMB);
    ASSERT_TRUE(meter.HasSpeed());
    EXPECT_NEAR(meter.BytesPerSecond(), 10.0 * kMB, 1.0);
}

TEST(TimeLeft, RoundedAsAPersonSaysIt) {
    const struct {
        double seconds;
        const wchar_t* text;
    } rows[] = {
        {0, L"a few seconds left"},
        {9.4, L"a few seconds left"},
        {10, L"about 10 s left"},
        {31, L"about 30 s left"},
        {33, L"about 35 s left"},
        {59, L"about 60 s left"},
        {60, L"about 1 min left"},
        {89, L"about 1 min left"},
        {90, L"about 2 min left"},
        {89 * 60 + 29, L"about 89 min left"},
        {90 * 60, L"about 1 h 30 min left"},
        {3 * 3600 + 5 * 60, L"about 3 h 5 min left"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(TimeLeftText(row.seconds), row.text) << row.seconds;
}

// ---- The status line of each step ---------------------------------------------------------------

MoveSnapshot At(MoveStep step, bool cancellable = false, bool cancelled = false) {
    MoveSnapshot snapshot;
    snapshot.step = step;
    snapshot.cancellable = cancellable;
    snapshot.cancelled = cancelled;
    return snapshot;
}

TEST(StatusText, EveryStepIsNamedAndSaysWhyCancelIsUnavailable) {
    const std::wstring before = L"\nCancel becomes possible once copying starts.";
    const std::wstring after = L"\nThe copies are in place: the move can no longer be cancelled.";
    const struct {
        MoveSnapshot snapshot;
        std::wstring text;
    } rows[] = {
        {At(MoveStep::kIdle), L"Getting ready\u2026" + before},
        {At(MoveStep::kStoppingServices), L"Stopping the Oculus services\u2026" + before},
        {At(MoveStep::kPreparing), L"Checking and preparing the folders\u2026" + before},
        {At(MoveStep::kCheckingCopies, true), L"Checking the copies: 0 bytes of 0 bytes"},
        {At(MoveStep::kCreatingLinks), L"Creating links\u2026" + after},
        {At(MoveStep::kRemovingOld), L"Removing the old folders\u2026" + after},
        {At(MoveStep::kStartingServices), L"Starting the Oculus services\u2026" + after},
        {At(MoveStep::kFinishing), L"Finishing\u2026" + after},
        {At(MoveStep::kUndoingCopies, false, true), L"Cancelling: removing the copies\u2026"},
        {At(MoveStep::kRestoringNames, false, true),
         L"Cancelling: giving the folders their names back\u2026"},
        {At(MoveStep::kRestartingServices, false, true),
         L"Cancelling: starting the Oculus services\u2026"},
        {At(MoveStep::kUndoingLinks), L"Undoing the move: removing the links\u2026"},
        {At(MoveStep::kUndoingCopies), L"Undoing the move: removing the copies\u2026"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(StatusText(row.snapshot, nullptr), row.text)
            << static_cast<int>(row.snapshot.step);
    }
}

// The copy names its folder and counts the whole move beside it; the check that reads the
// copies back counts every folder's bytes.
TEST(StatusText, CopyAndCheckNameTheirBytesTheSpeedAndTheTimeLeft) {
    MoveSnapshot copying = At(MoveStep::kCopying, true);
    copying.treeName = L"Software";
    copying.treeBytesDone = 1200 * kMB;
    copying.treeBytesTotal = 3400 * kMB;
    copying.bytesDone = 1204 * kMB;
    copying.bytesTotal = 3404 * kMB;
    MoveSnapshot checking = At(MoveStep::kCheckingCopies, true);
    checking.bytesDone = 3404 * kMB;
    checking.bytesTotal = 3404 * kMB;
    checking.verifiedBytes = 1204 * kMB;
    const std::wstring of = L" of " + sys::FormatBytes(3400 * kMB);
    for (const auto& [snapshot, head] :
         {std::pair(copying, L"Copying Software: " + sys::FormatBytes(1200 * kMB) + of + L" (" +
                                 sys::FormatBytes(1204 * kMB) + L" of " +
                                 sys::FormatBytes(3404 * kMB) + L" in all)"),
          std::pair(checking, L"Checking the copies: " + sys::FormatBytes(1204 * kMB) + L" of " +
                                  sys::FormatBytes(3404 * kMB))}) {
        EXPECT_EQ(StatusText(snapshot, nullptr), head);
        CSpeedMeter meter;
        const uint64_t done =
            snapshot.step == MoveStep::kCopying ? snapshot.bytesDone : snapshot.verifiedBytes;
        for (uint32_t tick = 0; tick <= 4000; tick += 500)
            meter.Sample(tick, done - (4000 - tick) * 85 * kMB / 1000, 3404 * kMB);
        EXPECT_EQ(StatusText(snapshot, &meter),
                  head + L" \u00b7 " + sys::FormatBytes(85 * kMB) + L"/s \u00b7 about 25 s left");
    }
}

// The cancel was taken while the copy (or its check) still runs: the copy ends on its own time,
// and its numbers would say the move goes on; the line says what comes instead.
TEST(StatusText, AnAcceptedCancelNamesTheRollbackAtOnce) {
    for (const MoveStep step : {MoveStep::kCopying, MoveStep::kCheckingCopies}) {
        MoveSnapshot snapshot = At(step, false, true);
        snapshot.treeName = L"Software";
        snapshot.treeBytesDone = 704 * kMB;
        snapshot.treeBytesTotal = 2100 * kMB;
        CSpeedMeter meter;
        for (uint32_t tick = 0; tick <= 4000; tick += 500)
            meter.Sample(tick, tick * kMB, 2100 * kMB);
        EXPECT_EQ(StatusText(snapshot, &meter), L"Cancelling: removing the copies\u2026")
            << static_cast<int>(step);
    }
}

// ---- Closing words -----------------------------------------------------------------------------

MoveOutcome Outcome(int32_t result) {
    MoveOutcome outcome;
    outcome.result = result;
    outcome.bytesMoved = 3400 * kMB;
    outcome.baseFolder = L"C:\\Program Files\\Oculus";
    outcome.movedTo = L"D:\\Games\\Oculus game";
    outcome.sourceVolume = L"C:";
    outcome.logPath = L"C:\\Halvex\\log\\20263-7-9-5-2.txt";
    return outcome;
}

const std::wstring kServicesDown =
    L" The Oculus services \"OVRService\" and \"OVRLibraryService\" are not running: start them "
    L"in Task Manager (\"Services\" tab), or restart the computer.";
const std::wstring kLog = L" The log is C:\\Halvex\\log\\20263-7-9-5-2.txt.";

TEST(ClosingWords, SuccessSaysWhereTheDataWentAndWhatWasFreed) {
    const std::wstring size = sys::FormatBytes(3400 * kMB);
    EXPECT_EQ(ClosingWords(Outcome(kCodeOk)),
              L"Moved " + size + L" to D:\\Games\\Oculus game. " + size + L" freed on C:.");
    MoveOutcome same = Outcome(kCodeOk);
    same.sameVolume = true;
    EXPECT_EQ(ClosingWords(same), L"Moved " + size +
                                      L" to D:\\Games\\Oculus game. It lies on C: too, so no "
                                      L"space was freed there.");
}

// A library moved on from one target to another: the space was freed where the data lay, on
// the earlier target's drive, whichever drive the installation is on.
TEST(ClosingWords, AMoveOnNamesTheDriveTheDataLeftAndTheOneItFilled) {
    const std::wstring size = sys::FormatBytes(3400 * kMB);
    MoveOutcome on = Outcome(kCodeOk);
    on.dataVolume = L"E:";
    on.targetVolume = L"D:";
    EXPECT_EQ(ClosingWords(on), L"Moved " + size + L" to D:\\Games\\Oculus game. " + size +
                                    L" freed on E: and used on D:.");
    on.movedTo = L"C:\\Games\\Oculus game";
    on.targetVolume = L"C:";
    EXPECT_EQ(ClosingWords(on), L"Moved " + size + L" to C:\\Games\\Oculus game. " + size +
                                    L" freed on E: and used on C:.");
    on.movedTo = L"E:\\Elsewhere\\Oculus game";
    on.targetVolume = L"E:";
    on.sameVolume = true;
    EXPECT_EQ(ClosingWords(on), L"Moved " + size +
                                    L" to E:\\Elsewhere\\Oculus game. It lies on E: too, so no "
                                    L"space was freed there.");
}

TEST(ClosingWords, ACancelSaysEverythingIsBackAndWhetherTheServicesRun) {
    MoveOutcome outcome = Outcome(kCodeCancelled);
    outcome.cancelled = true;
    EXPECT_EQ(ClosingWords(outcome),
              L"Move cancelled. Everything is back in C:\\Program Files\\Oculus. The Oculus "
              L"services are running again.");
    outcome.servicesRunning = false;
    EXPECT_EQ(ClosingWords(outcome),
              L"Move cancelled. Everything is back in C:\\Program Files\\Oculus." + kServicesDown);
    outcome.rollbackClean = false;
    EXPECT_EQ(ClosingWords(outcome),
              L"Move cancelled, but not every folder could be given its name back: rename them "
              L"as the message above says." +
                  kServicesDown + kLog);
}

TEST(ClosingWords, AFailureGivesItsCauseWithThePathTheLogAndWhatToDo) {
    MoveOutcome outcome = Outcome(SystemCode(sys::kErrAccessDenied));
    outcome.failure = {SystemCode(sys::kErrAccessDenied), MoveStep::kPreparing,
                       L"D:\\Games\\Oculus game", L"Access is denied"};
    EXPECT_EQ(ClosingWords(outcome),
              L"The move failed: Access is denied: D:\\Games\\Oculus game. Everything is back in "
              L"C:\\Program Files\\Oculus. Choose a target folder that you may write to." +
                  kLog);

    outcome = Outcome(SystemCode(sys::kErrDiskFull));
    outcome.failure = {SystemCode(sys::kErrDiskFull), MoveStep::kCopying,
                       L"D:\\Games\\Oculus game\\Software\\A game with a long name\\content\\"
                       L"levels\\level-0001.pak",
                       L"There is not enough space on the disk"};
    EXPECT_EQ(ClosingWords(outcome),
              L"The move failed: There is not enough space on the disk: D:\\Games\\Oculus game\\"
              L"\u2026 a long name\\content\\levels\\level-0001.pak. Everything is back in "
              L"C:\\Program Files\\Oculus. Free space on the target drive, or choose another "
              L"target." +
                  kLog);

    outcome = Outcome(kCodeCopyDiffers);
    outcome.failure = {kCodeCopyDiffers, MoveStep::kCheckingCopies, L"C:\\O\\Software\\a.pak", {}};
    outcome.rollbackClean = false;
    outcome.servicesRunning = false;
    EXPECT_EQ(ClosingWords(outcome),
              L"The move failed: A copy differs from its original: C:\\O\\Software\\a.pak. Not "
              L"every folder could be given its name back: rename them as the message above "
              L"says." +
                  kServicesDown + kLog);
}

TEST(ClosingWords, ServicesThatWouldNotStopOrStartAreNamed) {
    MoveOutcome outcome = Outcome(SystemCode(sys::kErrAccessDenied));
    outcome.failure = {SystemCode(sys::kErrAccessDenied), MoveStep::kStoppingServices,
                       L"OVRService", L"Access is denied"};
    outcome.logPath.clear();
    EXPECT_EQ(ClosingWords(outcome),
              L"The move failed: the service \"OVRService\" could not be stopped (Access is "
              L"denied). Everything is back in C:\\Program Files\\Oculus. Close the Oculus app "
              L"and try again, or restart the computer first.");

    outcome = Outcome(kCodeServicesNotStarted);
    outcome.servicesRunning = false;
    outcome.failure = {SystemCode(1053), MoveStep::kStartingServices, L"OVRService",
                       L"The service did not respond in time"};
    EXPECT_EQ(ClosingWords(outcome),
              L"Moved " + sys::FormatBytes(3400 * kMB) +
                  L" to D:\\Games\\Oculus game, but the Oculus services \"OVRService\" and "
                  L"\"OVRLibraryService\" did not start again (OVRService: The service did not "
                  L"respond in time): start them in Task Manager (\"Services\" tab), or restart "
                  L"the computer.");
}

TEST(ClosingWords, OldDataLeftBehindAsksForItsDeletionAndNamesTheStoppedServices) {
    MoveOutcome outcome = Outcome(kCodeOldDataLeft);
    outcome.servicesRunning = false;
    outcome.failure = {SystemCode(sys::kErrAccessDenied), MoveStep::kRemovingOld,
                       L"C:\\Program Files\\Oculus\\SoftwareVarko\\x.dll", L"Access is denied"};
    EXPECT_EQ(ClosingWords(outcome),
              L"Moved " + sys::FormatBytes(3400 * kMB) +
                  L" to D:\\Games\\Oculus game, but the old folders could not all be removed "
                  L"(Access is denied: C:\\Program Files\\Oculus\\SoftwareVarko\\x.dll). Delete "
                  L"the folders named above. Until then the Oculus services \"OVRService\" and "
                  L"\"OVRLibraryService\" stay stopped: start them afterwards in Task Manager "
                  L"(\"Services\" tab), or restart the computer." +
                  kLog);
}

TEST(ClosingWords, ACodeWithoutANoteStillGetsWords) {
    MoveOutcome outcome = Outcome(kCodeEmptyPath);
    outcome.logPath.clear();
    EXPECT_EQ(ClosingWords(outcome),
              L"The move failed: No checked target folder. Everything is back in C:\\Program "
              L"Files\\Oculus. Try again; if it fails again, restart the computer first.");
    outcome.result = SystemCode(sys::kErrWriteProtect);
    EXPECT_EQ(ClosingWords(outcome).rfind(
                  L"The move failed: " + sys::ErrorText(sys::kErrWriteProtect) + L".", 0),
              0u);
}

// ---- The system's words ------------------------------------------------------------------------

TEST(ErrorText, TheSystemsOwnWordsWithoutAClosingPeriod) {
#ifdef _WIN32
    // FormatMessageW ("Access is denied." on Windows, "Access denied." under Wine).
    EXPECT_NE(sys::ErrorText(sys::kErrAccessDenied).find(L"denied"), std::wstring::npos);
    EXPECT_EQ(sys::ErrorText(0xFFFFFFF0u), L"System error 4294967280");
#else
    EXPECT_EQ(sys::ErrorText(sys::kErrAccessDenied), L"Permission denied");
    EXPECT_EQ(sys::ErrorText(sys::kErrDiskFull), L"No space left on device");
    EXPECT_EQ(sys::ErrorText(sys::kErrWriteProtect), L"Read-only file system");
    EXPECT_EQ(sys::ErrorText(sys::kErrFileNotFound), L"No such file or directory");
    EXPECT_EQ(sys::ErrorText(sys::kErrPathNotFound), L"No such file or directory");
    EXPECT_EQ(sys::ErrorText(sys::kErrInvalidFunction, EPROTO), L"Protocol error");
    // What POSIX has no words for is worded as Windows words it.
    EXPECT_EQ(sys::ErrorText(1053),
              L"The service did not respond to the start or control request in a timely fashion");
    EXPECT_EQ(sys::ErrorText(99999), L"System error 99999");
#endif
    for (const uint32_t error : {2u, 5u, 32u, 112u, 1053u}) {
        const std::wstring text = sys::ErrorText(error);
        EXPECT_FALSE(text.empty());
        EXPECT_NE(text.back(), L'.');
        EXPECT_NE(text.back(), L'\n');
    }
}

}  // namespace
