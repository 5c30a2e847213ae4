// The move journal's reader: whatever the file holds, reading it never crashes, and a record it
// reads is written back as a text that reads as the same record (and is written the same again).
// Records made of arbitrary names are written and read back exactly, too: a name may hold any of
// the bytes the format itself uses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "TaskMgr/MoveJournal.h"
#include "platform/sys.h"

namespace {

void ReadsBackTheSame(const JournalRecord& record) {
    const std::string text = SerializeJournal(record);
    JournalRecord back;
    if (!ParseJournal(text, back) || !(back == record)) std::abort();
    if (SerializeJournal(back) != text) std::abort();
}

// Cuts the input at 0xFF bytes into the names of a record with two folders.
JournalRecord RecordOfNames(std::string_view bytes) {
    std::wstring names[6];
    for (std::wstring& name : names) {
        const size_t cut = bytes.find('\xff');
        name = sys::FromUtf8(bytes.substr(0, cut));
        bytes.remove_prefix(cut == std::string_view::npos ? bytes.size() : cut + 1);
        if (name.empty()) name = L"/";  // the writer never writes an empty name
    }
    JournalRecord record;
    record.phase = static_cast<int32_t>(bytes.size() % 14);
    record.work = static_cast<JournalWork>(bytes.size() % 3);
    record.base = names[0];
    record.services = {L"OVRService"};
    record.targetVolume = names[5];
    record.folders = {{names[1], names[2], names[3], true}, {names[4], names[5], L"", false}};
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    JournalRecord record;
    // What a damaged text still names is read without harm, and for a whole text it is the
    // record itself.
    const JournalRecord partial = ParseJournalAsFarAsItGoes(bytes);
    if (ParseJournal(bytes, record)) {
        if (!(partial == record)) std::abort();
        ReadsBackTheSame(record);
    }
    ReadsBackTheSame(RecordOfNames(bytes));
    return 0;
}
