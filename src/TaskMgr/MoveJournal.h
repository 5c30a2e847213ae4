// The move journal: what a move, or the recovery of one, has set out to do, kept on disk so that
// the next run can finish or undo a move that was interrupted (a crash, a power cut, a kill).
// Recovery decides from the disk; the journal names the folders to look at and what only it can
// know (the targets, the services the move stopped).
//
// The file is move.journal in the state folder (sys::GetStateFolder), small UTF-8 text of
// key=value lines, rewritten whole and atomically:
//
//   version=3                          always first (1: written before "checked" existed; 2:
//                                      before "volume" and "end")
//   work=move                          move, finish, putback, repoint or back: who wrote it last
//   phase=2                            the task phase reached (TaskPhase)
//   checked=1                          the copies are flushed to disk and checked: only from
//                                      here on may a parked original be deleted
//   base=C:\Oculus\                    the base folder
//   service=OVRLibraryService          each service the move stopped (or was about to stop)
//   volume=uuid:1234-ABCD              the identity of the copies' volume (sys::GetVolumeIdentity),
//                                      so that a recovery can tell a drive not connected
//   source=C:\Oculus\Downloads         opens a folder's lines: its old path,
//   target=E:\Games\Oculus game\Downloads     its copy,
//   parked=C:\Oculus\DownloadsVarko    the name it is parked under (written before the rename),
//   linked=1                           and whether a link to the copy may have been made there.
//   end=1                              always last: the text is whole
//
// In values, "%", control characters and the bytes that end a line are written as %XX. A reader
// of version 2 or later passes over a line whose key it does not know (lower-case letters and "-"),
// so a later writer may add lines without making this one's journals unreadable to it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct JournalFolder {
    std::wstring source;
    std::wstring target;
    std::wstring parked;  // empty until parking is planned
    bool linked = false;
    bool operator==(const JournalFolder&) const = default;
};

// kRepoint: links that lead nowhere are being pointed at the same folders on the volume's new
// drive letter or mount point (InstallState.h); each folder's target is the new place.
// kBack: a moved library is being brought home. Each folder's source is its link, its target
// the moved data the link leads to, and "parked" the name its home copy is made under next to
// the link; "linked" says the link may have given way to the home copy. Its recovery keeps
// work=back (CRecovery.h).
enum class JournalWork : int32_t { kMove, kFinish, kPutBack, kRepoint, kBack };

struct JournalRecord {
    JournalWork work = JournalWork::kMove;
    int32_t phase = 0;
    bool copiesChecked = false;  // durably: the copies were flushed and checked
    std::wstring base;
    std::vector<std::wstring> services;  // only the platform's two services
    std::wstring targetVolume;           // empty where unknown (journals of earlier versions)
    std::vector<JournalFolder> folders;  // at most two
    bool operator==(const JournalRecord&) const = default;
};

// The text of a record, and the record of a text. ParseJournal accepts only what SerializeJournal
// writes (and version 1's text, which lacks "checked"): the version first, known keys each in its
// place, the two service names, at most two folders, every line ended; so what it reads it writes
// back the same. Unknown keys of version 2 are passed over.
std::string SerializeJournal(const JournalRecord& record);
bool ParseJournal(std::string_view text, JournalRecord& record);
// What a damaged text still tells: the record as far as its lines parse, each folder with the
// lines read of it. Never to act on by itself; a recovery takes the copies' paths from it.
JournalRecord ParseJournalAsFarAsItGoes(std::string_view text);
// True when text parses and ends with the line that closes every text the writer writes.
bool JournalTextIsWhole(std::string_view text);

// The journal's path (the state folder is made when missing): 0 or the code of the failure.
int32_t GetJournalPath(std::wstring& path);
// 0 with found telling whether there is a journal (and record filled when there is);
// kCodeJournalUnreadable for a text that is no journal, with record filled as far as the text
// parses; else the code of the failed read. Where the journal is missing but a whole
// move.journal.tmp is there (a cut inside a replace that deletes before it renames), that is it.
int32_t ReadJournal(JournalRecord& record, bool& found);
int32_t WriteJournal(const JournalRecord& record);
// Removes the journal (and a temporary one left beside it) durably: 0 also when there was none.
int32_t RemoveJournal();
// The folder a person chose for the copies: two levels above a copy, the chosen folder's
// "Oculus game" and its "Software".
std::wstring ChosenFolder(const std::wstring& target);
// Flushes what a record describes to disk (the volumes of the base folder and of the folder the
// copies went into), before the journal that names them may go: else a power cut could keep the
// journal's removal and lose the links, renames and deletions it stood for.
int32_t FlushRecordedFolders(const JournalRecord& record);

// The journal of one move, kept by the task: begun before the move changes anything, rewritten at
// each phase change, removed when the move ends. Only what Begin and PlanParking write must reach
// the disk for the move to go on; later rewrites only refresh a hint (the disk decides), so a
// failure there is logged and the move goes on.
class MoveJournal {
  public:
    using PathMap = std::map<std::wstring, std::wstring>;

    // Source folder -> target folder; all the services a move may stop are listed until
    // SetServices narrows them down.
    int32_t Begin(const PathMap& pairs, int32_t phase, JournalWork work = JournalWork::kMove);
    void SetServices(std::vector<std::wstring> services) { record_.services = std::move(services); }
    // Takes over a stopped move's journal (record), to continue that move from phase: its
    // folders, parked names and services stay; the copies are unchecked again.
    int32_t Resume(const JournalRecord& record, int32_t phase);
    // Source folder -> the name it will be parked under.
    int32_t PlanParking(const PathMap& parkedNames);
    void Parked(const std::wstring& source, const std::wstring& parkedName);
    void Linking(const std::wstring& source);
    // Records, durably, that the copies are flushed and checked; no parked original may be
    // deleted before this has returned 0.
    int32_t CopiesChecked();
    bool CopiesRecorded() const { return active_ && record_.copiesChecked; }
    // Takes the record back, durably, before a rollback deletes checked copies: a recovery then
    // no longer counts on them.
    int32_t CopiesUnchecked();
    // Keeps the journal past the move's end: what is left for the next start to finish or put
    // back (a rollback that did not finish, parked data left) and the services it stopped.
    void KeepForRecovery() { keep_ = true; }
    // Rewrites the journal with the new phase; the move's end (kFinished) removes it.
    void Phase(int32_t phase);
    bool Active() const { return active_; }

  private:
    JournalFolder* FolderOf(const std::wstring& source);
    void Refresh();

    JournalRecord record_;
    bool active_ = false;
    bool keep_ = false;
};
