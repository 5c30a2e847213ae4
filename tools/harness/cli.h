// The command line of halvex-move: its options, its exit codes, and its two ways of reporting,
// lines for a person ("key: value", which the test suites read too) or one JSON object.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace cli {

// The exit codes, one meaning each; README.md's table says the same for users.
enum Exit : int {
    kExitDone = 0,        // done; --dry-run: the move would start; --status: all is well
    kExitRefused = 1,     // refused before anything changed: no installation, or the target
    kExitUsage = 2,       // an unknown option, a missing value, options that do not go together
    kExitFailed = 3,      // failed or cancelled, and put back; or a recovery stopped part way
    kExitUnanswered = 4,  // a question the window would ask needs --yes; nothing changed
    kExitBusy = 5,        // another Halvex (the window, halvex-move) or its setup runs
    kExitPending = 6,     // a stopped move waits: --recover first
    kExitAttention = 7,   // done or stopped, but something needs a person (see the output)
    kExitNotAdmin = 8,    // Windows: not run with administrator rights
};

enum class Command { kNone, kMove, kDryRun, kRecover, kStatus, kCheck, kBack, kHelp, kVersion };

struct Options {
    Command command = Command::kNone;
    std::wstring target;
    bool yes = false;
    bool json = false;
    bool continueMove = false;  // --recover --continue
    // For tests and benchmarks (see the usage text).
    int cancelAtPhase = -1;
    int progressMs = 0;
    int runAtPhase = -1;
    std::string runCommand;
    int dieAtPhase = -1;
    uint64_t dieAfterCalls = 0;
    int pauseAtPhase = -1;
    bool holdAtDurable = false;
    bool anyVolume = false;
};

// The options of arguments (without the program's name), or false with why.
bool ParseArguments(const std::vector<std::wstring>& arguments, Options& options, std::string& why);
std::string UsageText();

// JSON text of a value: a string (UTF-8, with \u escapes for control characters and for what
// is no Unicode scalar: a lone surrogate, or a byte carried from a name that was not UTF-8),
// a number, a boolean.
std::string JsonString(const std::wstring& text);
std::string JsonString(const std::string& utf8);

// One JSON object, its members in the order they were set; setting a key again replaces it.
class JsonObject {
  public:
    void Raw(const std::string& key, std::string json);
    void Text(const std::string& key, const std::wstring& text) { Raw(key, JsonString(text)); }
    void Text(const std::string& key, const std::string& utf8) { Raw(key, JsonString(utf8)); }
    void Number(const std::string& key, int64_t value) { Raw(key, std::to_string(value)); }
    void Bool(const std::string& key, bool value) { Raw(key, value ? "true" : "false"); }
    void Null(const std::string& key) { Raw(key, "null"); }
    std::string Serialize() const;

  private:
    std::vector<std::pair<std::string, std::string>> members_;
};

// Where a command's output goes: lines for a person, or, with --json, nothing until Finish
// prints the one object.
class Report {
  public:
    // json: the object goes to out (standard output when null).
    explicit Report(bool json, std::FILE* out = nullptr) : json_(json), out_(out) {}
    bool json() const { return json_; }
    // printf-like; a line of its own, flushed (a kill may come at any moment). Text mode only.
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));
    JsonObject& fields() { return fields_; }
    // Ends the command: in JSON mode prints the object with "exit". Returns exit.
    int Finish(int exit);

  private:
    bool json_;
    std::FILE* out_;
    JsonObject fields_;
};

// A target check's code (kTarget*) in words, for the refusal line.
std::string TargetRefusalWords(int32_t code);

}  // namespace cli
