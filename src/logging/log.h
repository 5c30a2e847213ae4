// The run's log file: one line per record, in the folder "log" of the working directory.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum LogSeverity : int32_t {
    LogDbg = 1,
    LogInf = 2,
    LogMsg = 3,
    LogWrn = 4,
    LogErr = 5,
    LogFtl = 6
};
enum LogAudience : int32_t { LogDev = 1, LogSup = 2, LogUsr = 3 };

namespace logdetail {

void AppendItem(std::string& out, std::string_view text);
void AppendItem(std::string& out, std::wstring_view text);  // written as UTF-8
inline void AppendItem(std::string& out, const char* text) {
    AppendItem(out, std::string_view(text));
}
inline void AppendItem(std::string& out, const wchar_t* text) {
    AppendItem(out, std::wstring_view(text));
}
template <std::integral T>
void AppendItem(std::string& out, T value) {
    out += std::to_string(value);
}

void Write(const wchar_t* sourceFile, uint32_t line, LogSeverity severity, LogAudience audience,
           const std::string& message);

// The calling source file relative to the source root, with Windows separators:
// ".../src/TaskMgr/CTaskMgr.cpp" becomes ".\TaskMgr\CTaskMgr.cpp".
template <std::size_t N>
struct SourceName {
    wchar_t text[N + 2]{};
};

template <std::size_t N>
consteval SourceName<N> MakeSourceName(const char (&file)[N]) {
    std::size_t start = 0;
    for (std::size_t i = 0; i + 5 <= N - 1; ++i) {
        const bool sep0 = file[i] == '/' || file[i] == '\\';
        const bool sep4 = file[i + 4] == '/' || file[i + 4] == '\\';
        if (sep0 && sep4 && file[i + 1] == 's' && file[i + 2] == 'r' && file[i + 3] == 'c') {
            start = i + 5;
        }
    }
    if (start == 0) {  // outside the source root: the bare file name
        for (std::size_t i = 0; i + 1 < N; ++i) {
            if (file[i] == '/' || file[i] == '\\') start = i + 1;
        }
    }
    SourceName<N> name;
    name.text[0] = L'.';
    name.text[1] = L'\\';
    std::size_t k = 2;
    for (std::size_t i = start; i + 1 < N; ++i) {
        name.text[k++] = file[i] == '/' ? L'\\' : static_cast<wchar_t>(file[i]);
    }
    return name;
}

}  // namespace logdetail

// Writes one record. Message items: narrow text, wide text (as UTF-8) and integers.
template <class... Items>
void WriteLogRecord(const wchar_t* sourceFile, uint32_t line, LogSeverity severity,
                    LogAudience audience, const Items&... items) {
    std::string message;
    (logdetail::AppendItem(message, items), ...);
    logdetail::Write(sourceFile, line, severity, audience, message);
}

// The call-site object: holds the source file and line, takes the message.
class CLogSite {
  public:
    constexpr CLogSite(const wchar_t* file, uint32_t line) : file_(file), line_(line) {}

    // A failure value: "err", "dev", the code in decimal.
    void Err(int32_t code) const;
    // The system call made just before failed: the code of its error (10000 + n), logged as by
    // Err. A call that failed without leaving an error number counts as an invalid function.
    int32_t FailedCall() const;
    // A failure's details, such as the path or the process it concerns: "err", "dev".
    template <class... Items>
    void Detail(const Items&... items) const {
        WriteLogRecord(file_, line_, LogErr, LogDev, items...);
    }
    // Something worth knowing that is no failure: "inf", "dev".
    template <class... Items>
    void Note(const Items&... items) const {
        WriteLogRecord(file_, line_, LogInf, LogDev, items...);
    }
    // A source/target pair: "inf", "dev".
    void Pair(const std::wstring& source, const std::wstring& target) const {
        WriteLogRecord(file_, line_, LogInf, LogDev, "srcFullPath: ", source,
                       ", desFullPath: ", target);
    }

  private:
    const wchar_t* file_;
    uint32_t line_;
};

#define HX_SOURCE_FILE                                                       \
    ([]() -> const wchar_t* {                                                \
        static constexpr auto kName = ::logdetail::MakeSourceName(__FILE__); \
        return kName.text;                                                   \
    }())
#define HX_LOG ::CLogSite(HX_SOURCE_FILE, __LINE__)

// The full path of this run's log file; empty until the first record has opened it.
std::wstring LogFilePath();

// Tests only: closes the stream so the next record opens a new file (in the current folder).
void LogResetForTests();
// Tests only: flushes what the stream holds.
void LogFlushForTests();
