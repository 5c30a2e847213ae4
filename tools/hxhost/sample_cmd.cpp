// The sample installation: what the platform's installer and a few games leave on a Windows
// machine, made on real folders so that a move has real work to do. "setup" makes it once;
// "reset" gives it back its first state after a move, so that a user can try again.
//
// The content is a pure function of the file's path and the chosen sizes, so a reset rebuilds
// exactly the files that setup made, byte for byte. What the host folder remembers of a setup
// is in sample.conf; reset works from that alone, never from a path given on its command line.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/host.h"
#include "platform/process.h"
#include "platform/sys.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kTops[] = {"Software", "Downloads"};
constexpr const char* kParkSuffix = "Varko";  // the move parks "Software" as "SoftwareVarko..."
constexpr uint64_t kMiB = 1024 * 1024;

struct SampleSize {
    uint64_t bigMib = 300;  // the one large game file
    uint64_t files = 1500;  // small files, spread over the games
};

struct SampleRecord {
    fs::path base;
    SampleSize size;
};

struct SampleFile {
    std::string path;  // relative to the base folder, '/'-separated, UTF-8
    uint64_t size;
};

// ---- content ----------------------------------------------------------------------------------

uint64_t Fnv1a(const std::string& text) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

// xorshift64*: fast enough that the large file costs the disk's time, not ours.
class Stream {
  public:
    explicit Stream(uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    uint64_t Next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 2685821657736338717ull;
    }

  private:
    uint64_t state_;
};

struct Game {
    const char* id;
    const char* title;
    const char* folder;  // its folder under Software/Software
};

// The third game's names are not ASCII: a move must carry such names through unchanged.
constexpr Game kGames[] = {
    {"northwind-skyrail", "Northwind Skyrail", "northwind-skyrail"},
    {"tiny-orbit-puzzles", "Tiny Orbit Puzzles", "tiny-orbit-puzzles"},
    {"oelberg-cafe-racer", "Ölberg Café Racer", "ölberg-café-racer"},
};

std::string Num(const char* format, uint64_t n) {
    char text[64];
    std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(n));
    return text;
}

uint64_t SmallSize(const std::string& path) {
    return 512 + Fnv1a(path) % (32 * 1024);
}

// The small file number i of the sample, in one of the games' deeper folders.
std::string SmallFilePath(uint64_t i) {
    const uint64_t slot = i % 20;
    if (slot < 8) {
        return "Software/Software/northwind-skyrail/Skyrail_Data/StreamingAssets/aa/"
               "StandaloneWindows64/" +
               Num("group_%02llu/", i % 13) + Num("bundle_%05llu.bundle", i);
    }
    if (slot < 14) {
        return "Software/Software/tiny-orbit-puzzles/levels/" + Num("world-%llu/", i % 5) +
               Num("level-%02llu/", i % 17) + Num("piece_%05llu.json", i);
    }
    if (slot < 17) {
        return "Software/Software/ölberg-café-racer/Strecken/" +
               std::string(i % 2 ? "Nürburg Süd/" : "Côte d’Azur/") +
               Num("Abschnitt %05llu.trk", i);
    }
    return "Downloads/" + std::string(i % 2 ? "northwind-skyrail" : "ölberg-café-racer") +
           "/staging/" + Num("chunk_%05llu.bin", i);
}

std::vector<SampleFile> Layout(const SampleSize& size) {
    std::vector<SampleFile> files;
    const auto add = [&files](std::string path, uint64_t bytes) {
        files.push_back({std::move(path), bytes});
    };
    for (const Game& game : kGames) {
        const std::string id = game.id;
        add("Software/Manifests/" + id + ".json", 0);
        add("Software/Manifests/" + id + "_assets.json", 0);
        for (const char* image : {"cover_landscape_image.jpg", "cover_square_image.jpg",
                                  "icon_image.jpg", "original.jpg"}) {
            const std::string path = "Software/StoreAssets/" + id + "_assets/" + image;
            add(path, SmallSize(path));
        }
    }
    const std::string skyrail = "Software/Software/northwind-skyrail/";
    add(skyrail + "Skyrail.exe", 2 * kMiB);
    add(skyrail + "UnityPlayer.dll", kMiB + 4096);
    add(skyrail + "Content/Paks/skyrail-main.pak", size.bigMib * kMiB);
    add("Software/Software/ölberg-café-racer/Spielstände/Übungsrunde – 1.sav", 4096);
    add("Software/Software/ölberg-café-racer/セーブ/スロット 1.dat", 2048);
    add("Downloads/northwind-skyrail/patch-1.2.manifest", 0);
    for (uint64_t i = 0; i < size.files; ++i) {
        std::string path = SmallFilePath(i);
        add(path, SmallSize(path));
    }
    return files;
}

// Manifests are text, as the platform keeps them; everything else is noise that no copy can
// shortcut or compress away.
std::string ManifestText(const std::string& path) {
    for (const Game& game : kGames) {
        if (path.find(std::string("/") + game.id) == std::string::npos) continue;
        return std::string("{\n  \"canonicalName\": \"") + game.id + "\",\n  \"displayName\": \"" +
               game.title + "\",\n  \"folder\": \"" + game.folder + "\",\n  \"sample\": true\n}\n";
    }
    return "{\n  \"sample\": true\n}\n";
}

bool WriteNoise(std::ofstream& out, const std::string& path, uint64_t size) {
    Stream stream(Fnv1a(path));
    std::vector<uint64_t> buffer(kMiB / sizeof(uint64_t));
    while (size > 0 && out) {
        const uint64_t chunk = std::min<uint64_t>(size, kMiB);
        for (size_t i = 0; i < (chunk + 7) / 8; ++i)
            buffer[i] = stream.Next();
        out.write(reinterpret_cast<const char*>(buffer.data()),
                  static_cast<std::streamsize>(chunk));
        size -= chunk;
    }
    return static_cast<bool>(out);
}

bool WriteSampleFile(const fs::path& base, const SampleFile& file) {
    const fs::path path = base / file.path;  // names are bytes here, kept as they are
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    bool ok = static_cast<bool>(out);
    if (ok && file.path.ends_with(".json")) ok = static_cast<bool>(out << ManifestText(file.path));
    if (ok && file.path.ends_with(".manifest")) ok = static_cast<bool>(out << "chunks=staging\n");
    if (ok && file.size > 0) ok = WriteNoise(out, file.path, file.size);
    if (ok) ok = static_cast<bool>(out.flush());
    if (!ok) std::fprintf(stderr, "halvex-host: cannot write %s\n", path.c_str());
    return ok;
}

uint64_t TotalBytes(const std::vector<SampleFile>& files) {
    uint64_t total = 0;
    for (const SampleFile& f : files)
        total += f.size + 4096;  // a block's worth of slack per file
    return total;
}

// ---- what the host folder remembers -----------------------------------------------------------

fs::path RecordFile() {
    return fs::path(sys::HostDir()) / "sample.conf";
}

std::optional<SampleRecord> ReadRecord() {
    std::ifstream in(RecordFile(), std::ios::binary);
    if (!in) return std::nullopt;
    SampleRecord record;
    std::map<std::string, std::string> values;
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (values["base"].empty() || values["base"].front() != '/') return std::nullopt;
    record.base = values["base"];
    try {
        record.size.bigMib = std::stoull(values.at("big_mib"));
        record.size.files = std::stoull(values.at("files"));
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return record;
}

bool WriteRecord(const SampleRecord& record) {
    std::error_code error;
    fs::create_directories(RecordFile().parent_path(), error);
    const fs::path temp = RecordFile().string() + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << "base=" << record.base.string() << "\nbig_mib=" << record.size.bigMib
            << "\nfiles=" << record.size.files << "\n";
        if (!out.flush()) return false;
    }
    fs::rename(temp, RecordFile(), error);
    return !error;
}

// ---- the pieces of a setup --------------------------------------------------------------------

std::optional<HostCommand> FindCommand(std::vector<HostCommand> (*list)(), const char* name) {
    for (const HostCommand& c : list())
        if (std::string(c.name) == name) return c;
    return std::nullopt;
}

// The registry value and the services exactly as the registry and services commands make them.
int RegisterPlatform(const fs::path& base) {
    const auto registry = FindCommand(&RegistryCommands, "registry");
    const auto services = FindCommand(&ServiceCommands, "services");
    if (!registry || !services) return 1;
    // The platform's installer stores its base folder with a trailing separator.
    if (int rc = registry->run({"set-base", base.string() + "/"}); rc != 0) return rc;
    if (int rc = services->run({"install"}); rc != 0) return rc;
    std::printf("services: OVRLibraryService and OVRService installed and running\n");
    return 0;
}

fs::path NearestExisting(fs::path path) {
    std::error_code error;
    while (!path.empty() && !fs::exists(path, error) && path != path.root_path())
        path = path.parent_path();
    return path;
}

bool EnoughSpace(const fs::path& base, const std::vector<SampleFile>& files) {
    std::error_code error;
    const fs::space_info space = fs::space(NearestExisting(base), error);
    const uint64_t need = TotalBytes(files) + 64 * kMiB;
    if (error || space.available >= need) return true;
    std::fprintf(stderr,
                 "halvex-host: the sample needs %llu MiB at %s, but only %llu MiB are free; "
                 "choose a smaller --big-mib\n",
                 static_cast<unsigned long long>(need / kMiB), base.c_str(),
                 static_cast<unsigned long long>(space.available / kMiB));
    return false;
}

// Removes one entry of the base folder. A link goes, never what it points to; a folder goes
// with its content, where links inside are again removed as links.
bool RemoveEntry(const fs::path& path) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (!fs::exists(status)) return true;
    if (fs::is_symlink(status)) {
        const fs::path target = fs::read_symlink(path, error);
        std::printf("removed the link %s (what it leads to, %s, is left as it is)\n", path.c_str(),
                    target.c_str());
        fs::remove(path, error);
    } else {
        fs::remove_all(path, error);
    }
    if (error)
        std::fprintf(stderr, "halvex-host: cannot remove %s: %s\n", path.c_str(),
                     error.message().c_str());
    return !error;
}

// The folders a move leaves in the base folder besides the two it replaces: the parked originals.
std::vector<fs::path> ParkedEntries(const fs::path& base) {
    std::vector<fs::path> parked;
    std::error_code error;
    for (fs::directory_iterator it(base, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        for (const char* top : kTops) {
            if (name.starts_with(std::string(top) + kParkSuffix)) parked.push_back(it->path());
        }
    }
    return parked;
}

int MakeContent(const SampleRecord& record) {
    const std::vector<SampleFile> files = Layout(record.size);
    if (!EnoughSpace(record.base, files)) return 1;
    for (const SampleFile& file : files) {
        if (WriteSampleFile(record.base, file)) continue;
        // Half a sample is worse than none: take back what was made, all of it ours.
        for (const char* top : kTops)
            RemoveEntry(record.base / top);
        return 1;
    }
    uint64_t bytes = 0;
    for (const SampleFile& file : files)
        bytes += file.size;
    std::printf("%s: Software and Downloads with %zu files, %llu MiB\n", record.base.c_str(),
                files.size(), static_cast<unsigned long long>(bytes / kMiB));
    return 0;
}

bool HalvexRunning() {
    sys::MutexHandle probe = sys::CreateMutexW(L"Varko_Oculus_Kestrum");
    const bool running = probe && sys::GetLastError() == sys::kErrAlreadyExists;
    if (probe) sys::CloseHandle(probe);
    return running;
}

// ---- the commands -----------------------------------------------------------------------------

bool ParseCount(const std::string& text, uint64_t low, uint64_t high, uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    try {
        value = std::stoull(text);
    } catch (const std::exception&) {
        return false;
    }
    return value >= low && value <= high;
}

bool ParseSetup(const Args& args, SampleRecord& record) {
    for (size_t i = 0; i + 1 < args.size(); i += 2) {
        const std::string& key = args[i];
        const std::string& value = args[i + 1];
        if (key == "--base" && !value.empty() && value.find_first_of("\r\n") == std::string::npos) {
            record.base = fs::absolute(value).lexically_normal();
        } else if (key == "--big-mib" && ParseCount(value, 1, 64 * 1024, record.size.bigMib)) {
        } else if (key == "--files" && ParseCount(value, 0, 1000000, record.size.files)) {
        } else {
            return false;
        }
    }
    if (args.size() % 2 != 0 || record.base.empty()) return false;
    // "/a/b/" normalises to "/a/b/" with an empty last part; the record keeps it without.
    if (!record.base.has_filename() && record.base != record.base.root_path())
        record.base = record.base.parent_path();
    return true;
}

bool Inside(const fs::path& inner, const fs::path& outer) {
    const fs::path relative =
        fs::weakly_canonical(inner).lexically_relative(fs::weakly_canonical(outer));
    return !relative.empty() && *relative.begin() != "..";
}

// Setup never takes over folders it did not make: not someone's "Software", not a folder that
// would hold the host folder itself.
bool SafeBase(const fs::path& base) {
    if (base == base.root_path()) {
        std::fprintf(stderr, "halvex-host: the base folder cannot be the root folder\n");
        return false;
    }
    for (const char* top : kTops) {
        std::error_code error;
        if (fs::exists(fs::symlink_status(base / top, error))) {
            std::fprintf(stderr,
                         "halvex-host: %s already exists and was not made by this tool; "
                         "choose another --base\n",
                         (base / top).c_str());
            return false;
        }
        if (Inside(sys::HostDir(), base / top)) {
            std::fprintf(stderr, "halvex-host: the host folder cannot lie inside %s\n",
                         (base / top).c_str());
            return false;
        }
    }
    return true;
}

int Setup(const Args& args) {
    SampleRecord wanted;
    if (!ParseSetup(args, wanted)) {
        std::fprintf(stderr, "usage: halvex-host setup --base DIR [--big-mib N] [--files N]\n");
        return 2;
    }
    if (const auto existing = ReadRecord()) {
        if (existing->base != wanted.base) {
            std::fprintf(stderr,
                         "halvex-host: %s already holds a sample installation at %s; use reset, "
                         "or another host folder (--host)\n",
                         sys::HostDir().c_str(), existing->base.c_str());
            return 1;
        }
        std::printf("%s: already set up (halvex-host reset gives back its first state)\n",
                    existing->base.c_str());
        return 0;
    }
    if (!SafeBase(wanted.base)) return 1;
    // Remembered first: an interrupted setup can then be finished by reset.
    if (!WriteRecord(wanted)) {
        std::fprintf(stderr, "halvex-host: cannot write %s\n", RecordFile().c_str());
        return 1;
    }
    if (int rc = MakeContent(wanted); rc != 0) {
        fs::remove(RecordFile());
        return rc;
    }
    return RegisterPlatform(wanted.base);
}

int Reset(const Args& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "usage: halvex-host reset\n");
        return 2;
    }
    const auto record = ReadRecord();
    if (!record) {
        std::fprintf(stderr, "halvex-host: no sample installation in %s (see setup)\n",
                     sys::HostDir().c_str());
        return 1;
    }
    if (HalvexRunning()) {
        std::fprintf(stderr, "halvex-host: Halvex is running on this host; close it first\n");
        return 1;
    }
    std::vector<fs::path> doomed = ParkedEntries(record->base);
    for (const char* top : kTops)
        doomed.push_back(record->base / top);
    for (const fs::path& path : doomed) {
        if (!RemoveEntry(path)) return 1;
    }
    if (int rc = MakeContent(*record); rc != 0) return rc;
    return RegisterPlatform(record->base);
}

}  // namespace

std::vector<HostCommand> SampleCommands() {
    return {{"setup", "--base DIR [--big-mib N] [--files N]   a sample installation", &Setup},
            {"reset", "gives the sample installation back its first state", &Reset}};
}
