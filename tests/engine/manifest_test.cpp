// The manifest of a move: its text, and what a move leaves of it.
#include <gtest/gtest.h>

#include <algorithm>

#include "Vr/vr.h"
#include "fileOp/CFileOp.h"
#include "fileOp/Manifest.h"
#include "ground/ResultCodes.h"
#include "install_fixture.h"
#include "platform/contenthash.h"
#include "platform/fs.h"

using namespace testsupport;

namespace {

TEST(ManifestText, WhatIsWrittenIsReadBackTheSameAndNothingElseIsRead) {
    Manifest manifest;
    manifest.trees = {{L"Software",
                       {{L"Game A" + std::wstring(1, sys::kSep) + L"a=b%c\n\u00f6.pak",
                         42,
                         1772845502000000000,
                         {0x0123456789abcdefULL, 0xfedcba9876543210ULL}},
                        {L"empty", 0, 0, {}}}},
                      {L"Downloads", {}}};
    const std::string text = SerializeManifest(manifest);
    Manifest back;
    ASSERT_TRUE(ParseManifest(text, back)) << text;
    EXPECT_TRUE(back == manifest);
    EXPECT_EQ(SerializeManifest(back), text);

    const std::string file = "file=fedcba98765432100123456789abcdef 42 7 a\n";
    const std::string head = "version=1\ntree=Software\n";
    for (const auto& [why, refused] : std::vector<std::pair<const char*, std::string>>{
             {"no end", head + file},
             {"cut inside a line", head + file.substr(0, 20)},
             {"a line after the end", head + "end=1\n" + file},
             {"a file before a tree", "version=1\n" + file + "end=1\n"},
             {"another version", "version=2\ntree=S\nend=1\n"},
             {"a hash in upper case",
              head + "file=FEDCBA98765432100123456789ABCDEF 1 7 a\nend=1\n"},
             {"a short hash", head + "file=fedcba9876543210 1 7 a\nend=1\n"},
             {"a size with a leading zero",
              head + "file=fedcba98765432100123456789abcdef 01 7 a\nend=1\n"},
             {"a size beyond 64 bits",
              head + "file=fedcba98765432100123456789abcdef 18446744073709551616 7 a\nend=1\n"},
             {"an empty path", head + "file=fedcba98765432100123456789abcdef 1 7 \nend=1\n"},
             {"an unknown key", head + "colour=red\nend=1\n"},
             {"a raw tab in a path",
              head + "file=fedcba98765432100123456789abcdef 1 7 a\tb\nend=1\n"},
         }) {
        Manifest read;
        EXPECT_FALSE(ParseManifest(refused, read)) << why;
    }
}

// The copy log is read as far as its lines are whole, whatever a cut or a lost block left after
// them; a later line of a path replaces the earlier one, and Windows' line ends are read too.
TEST(CopyLogText, IsReadAsFarAsItsLinesAreWhole) {
    const std::string a = "file=00000000000000000000000000000001 1 7 a\n";
    const std::string a2 = "file=00000000000000000000000000000002 2 8 a\n";
    const std::string b = "file=00000000000000000000000000000003 3 9 b\n";
    const std::string head = "version=1\ntree=Software\n";
    struct Case {
        const char* why;
        std::string text;
        size_t files;  // in Software, as read
    };
    for (const Case& c : std::vector<Case>{
             {"whole", head + a + b, 2},
             {"cut inside its last line", head + a + b.substr(0, 20), 1},
             {"zeros where a block was lost", head + a + std::string(64, '\0') + b, 1},
             {"a damaged line", head + a + "file=zz\n" + b, 1},
             {"Windows line ends",
              "version=1\r\ntree=Software\r\n" + a.substr(0, a.size() - 1) + "\r\n", 1},
             {"a tree named again after another",
              head + a + "tree=Downloads\n" + b + "tree=Software\n" + b, 2},
         }) {
        Manifest log;
        ASSERT_TRUE(ParseCopyLog(c.text, log)) << c.why;
        const ManifestTree* software = log.Tree(L"Software");
        ASSERT_NE(software, nullptr) << c.why;
        EXPECT_EQ(software->files.size(), c.files) << c.why;
    }
    Manifest log;
    ASSERT_TRUE(ParseCopyLog(head + a + b + a2, log));
    ASSERT_EQ(log.Tree(L"Software")->files.size(), 2u);
    EXPECT_EQ(log.Tree(L"Software")->files[0].size, 2u) << "a later line replaces the earlier";
    EXPECT_FALSE(ParseCopyLog("tree=Software\n" + a, log)) << "no version line: no log";
    EXPECT_FALSE(ParseCopyLog("version=2\n" + a, log)) << "another version";
}

// The hashes are XXH3's of 128 bits, fixed numbers whatever the processor and its vector unit
// and however the bytes are handed over: a manifest kept by one computer is checked by another,
// or by a later version of the program, and any other number would call every copy corrupt.
TEST(ContentHash, IsXxh3Of128BitsOnEveryProcessorAndInAnyPieces) {
    struct Known {
        size_t size;
        uint64_t low, high;
    };
    // XXH3_128bits of Pattern(size), from the reference's scalar code; the sizes cross each of
    // its ways of hashing (up to 16, 128 and 240 bytes, then stripes and blocks of 1 KiB).
    const Known known[] = {{0, 0x6001c324468d497fULL, 0x99aa06d3014798d8ULL},
                           {1, 0xc44bdff4074eecdbULL, 0xa6cd5e9392000f6aULL},
                           {3, 0xa1c4a8259b827291ULL, 0x95c705060a313bf8ULL},
                           {16, 0xaafffcec5df2cb27ULL, 0x29be75b0bbbb5284ULL},
                           {17, 0x878751509ecfdb8bULL, 0xdb7e8f77961e47fdULL},
                           {128, 0xbbe087d879edcc78ULL, 0xba44fd018231af4cULL},
                           {129, 0xb8075934107218e5ULL, 0x522c922743fd67f1ULL},
                           {240, 0x407883ea5ef95b9aULL, 0x4f49ccc8526aa7adULL},
                           {241, 0xbc424a2c480dd281ULL, 0x50b62ee1ee6455a7ULL},
                           {1024, 0x1fd15e7d36f5e1bcULL, 0x53bd178b75ab292eULL},
                           {1025, 0xfe08e5a874d23fd2ULL, 0xd1ad5f4a3cce4374ULL},
                           {65543, 0xa0b88e98f39deeafULL, 0xda90fd01ef9d010cULL},
                           {1048699, 0x8c8495d26f359a02ULL, 0x390c6bd2c4aeafe6ULL}};
    const auto pattern = [](size_t size) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
        return bytes;
    };
    for (const Known& k : known) {
        const std::string bytes = pattern(k.size);
        for (const size_t piece : {bytes.size() + 1, size_t{1}, size_t{7}, size_t{4097}}) {
            sys::ContentHasher hasher;
            for (size_t at = 0; at < bytes.size(); at += piece)
                hasher.Update(bytes.data() + at, std::min(piece, bytes.size() - at));
            const sys::ContentHash hash = hasher.Digest();
            EXPECT_EQ(hash.low, k.low) << k.size << " bytes in pieces of " << piece;
            EXPECT_EQ(hash.high, k.high) << k.size << " bytes in pieces of " << piece;
        }
    }
    // A sparse file's hole hashes as the zeros it reads as.
    sys::ContentHasher sparse;
    sparse.Update(pattern(1000).data(), 1000);
    sparse.UpdateZeros(70000);
    sparse.Update(pattern(5000).data(), 5000);
    EXPECT_EQ(sparse.Digest(), (sys::ContentHash{0x636c653a9fae4b29ULL, 0xed6a35b219f93025ULL}));
}

// The read-back on several threads: every file compared, the one the drive changed named.
TEST(ReadBack, OnSeveralThreadsEveryFileIsComparedAndTheChangedOneNamed) {
    ScopedCopyThreads threads(3);
    TempDir dir;
    for (int i = 0; i < 40; ++i)
        WriteFile(dir.path() / "src" / ("f" + std::to_string(i)),
                  std::string(1000 + i, 'a' + i % 26));
    fs::create_directories(dir.path() / "copy");
    CFileOp fileOp;
    ManifestTree tree;
    fileOp.Copier().CollectManifest(&tree);
    ASSERT_EQ(fileOp.CopyTree(dir.wide(L"src"), dir.wide(L"copy")), 0);
    fileOp.Copier().CollectManifest(nullptr);
    ASSERT_EQ(tree.files.size(), 40u);
    std::wstring difference;
    EXPECT_EQ(fileOp.Copier().VerifyFromMedia(dir.wide(L"copy"), tree, difference), 0);
    EXPECT_EQ(fileOp.ReadCounters().verifiedBytes, 40 * 1000 + 39 * 40 / 2);

    const fs::path changed = dir.path() / "copy" / "f17";
    const auto written = fs::last_write_time(changed);
    std::string bytes = ReadFile(changed);
    bytes[500] ^= 1;
    WriteFile(changed, bytes);
    fs::last_write_time(changed, written);
    EXPECT_EQ(fileOp.Copier().VerifyFromMedia(dir.wide(L"copy"), tree, difference),
              kCodeCopyCorrupt);
    EXPECT_EQ(difference, changed.wstring());
}

// A file of several read-back pieces: the hash is that of its bytes in order, whatever the number
// of pieces, a byte changed in any piece or at a piece's edge shows, and a stop in the middle
// ends the read.
TEST(ReadBack, AFileOfSeveralPiecesHashesAsItsBytesInOrder) {
    TempDir dir;
    const size_t piece = size_t{4} << 20;  // the POSIX read-back's step
    std::string bytes(3 * piece + 12345, '\0');
    uint64_t state = 0x9e3779b97f4a7c15ULL;  // every piece different, so that a swap shows
    for (char& c : bytes) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        c = static_cast<char>(state >> 56);
    }
    const auto hashOf = [](const std::string& text) {
        sys::ContentHasher hasher;
        hasher.Update(text.data(), text.size());
        return hasher.Digest();
    };
    const fs::path file = dir.path() / "large";
    for (const size_t size : {2 * piece, bytes.size()}) {
        const std::string content = bytes.substr(0, size);
        WriteFile(file, content);
        sys::ContentHash read;
        ASSERT_TRUE(sys::HashFromMedia(W(file), read)) << size;
        EXPECT_TRUE(read == hashOf(content)) << size;
    }
    for (const size_t at : {size_t{0}, piece - 1, piece, 2 * piece + 7, bytes.size() - 1}) {
        std::string changed = bytes;
        changed[at] ^= 0x20;
        WriteFile(file, changed);
        sys::ContentHash read;
        ASSERT_TRUE(sys::HashFromMedia(W(file), read)) << at;
        EXPECT_TRUE(read == hashOf(changed)) << at;
        EXPECT_FALSE(read == hashOf(bytes)) << at;
    }

    uint64_t told = 0;
    sys::ContentHash read;
    EXPECT_FALSE(sys::HashFromMedia(W(file), read, [&told](uint64_t n) {
        told += n;
        return told < piece;
    }));
    EXPECT_EQ(sys::GetLastError(), sys::kErrRequestAborted);
}

#ifndef _WIN32
// A finished move keeps its manifest beside moved.record: every file, its size, time and the
// hash of its bytes; a move rolled back keeps none.
TEST(ManifestOfAMove, AFinishedMoveKeepsEveryFileWithTheHashOfItsBytes) {
    ScopedVirtualClock clock;
    SimulatedInstall install;
    CVr engine;
    std::wstring source;
    ASSERT_EQ(engine.ResolveSourceDir(source), 0);
    ASSERT_EQ(engine.CheckTargetDir(install.target().wstring()), 0);
    ASSERT_EQ(engine.MoveInstallation(), 0);
    Manifest manifest;
    bool found = false;
    ASSERT_EQ(ReadManifest(ManifestFileName::kMoved, manifest, found), 0);
    ASSERT_TRUE(found);
    ASSERT_EQ(ReadManifest(ManifestFileName::kMoving, manifest, found), 0);
    EXPECT_FALSE(found);
    ASSERT_EQ(ReadManifest(ManifestFileName::kMoved, manifest, found), 0);
    size_t listed = 0;
    for (const ManifestTree& tree : manifest.trees) {
        for (const ManifestFile& file : tree.files) {
            ++listed;
            const std::wstring copy = (install.target() / "Oculus game").wstring() + sys::kSep +
                                      tree.name + sys::kSep + file.path;
            sys::ContentHash read;
            ASSERT_TRUE(sys::HashFromMedia(copy, read)) << sys::ToUtf8(copy);
            EXPECT_TRUE(read == file.hash) << sys::ToUtf8(copy);
            sys::FindData data;
            ASSERT_TRUE(sys::GetFileInfoFollowed(copy, data));
            EXPECT_EQ(file.size, (uint64_t{data.sizeHigh} << 32) | data.sizeLow);
            EXPECT_EQ(file.writeTime, data.writeTime);
        }
    }
    EXPECT_EQ(listed, install.files().size());

    SimulatedInstall second;
    sys::fault::Reset();
    sys::fault::Arm({sys::Call::kCreateSymbolicLink, 1, sys::kErrAccessDenied});
    CVr again;
    ASSERT_EQ(again.ResolveSourceDir(source), 0);
    ASSERT_EQ(again.CheckTargetDir(second.target().wstring()), 0);
    EXPECT_EQ(again.MoveInstallation(), SystemCode(sys::kErrAccessDenied));
    sys::fault::Reset();
    ASSERT_EQ(ReadManifest(ManifestFileName::kMoving, manifest, found), 0);
    EXPECT_FALSE(found);
}
#endif

}  // namespace
