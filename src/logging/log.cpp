#include "logging/log.h"

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "ground/ResultCodes.h"
#include "platform/fs.h"
#include "platform/sys.h"

namespace {

struct CivilTime {
    int64_t year;
    unsigned month, day, hour, minute, second;
};

// The current time in the fixed zone UTC+8, broken down as UTC.
CivilTime NowUtcPlus8() {
    const int64_t t = sys::Time64() + 8 * 3600;
    int64_t days = t / 86400;
    int64_t secs = t % 86400;
    if (secs < 0) secs += 86400, --days;
    // Days since 1970-01-01 to a civil date (H. Hinnant's algorithm).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2);
    return {year,
            month,
            day,
            static_cast<unsigned>(secs / 3600),
            static_cast<unsigned>(secs / 60 % 60),
            static_cast<unsigned>(secs % 60)};
}

std::string Stamp(const char* format) {
    const CivilTime c = NowUtcPlus8();
    char buffer[30];
    std::snprintf(buffer, sizeof buffer, format, static_cast<int>(c.year), c.month, c.day, c.hour,
                  c.minute, c.second);
    return buffer;
}

const char* SeverityName(LogSeverity severity) {
    static constexpr const char* kNames[] = {"dbg", "inf", "msg", "wrn", "err", "ftl"};
    return severity >= 1 && severity <= 6 ? kNames[severity - 1] : "unknown severity";
}

const char* AudienceName(LogAudience audience) {
    static constexpr const char* kNames[] = {"dev", "sup", "usr"};
    return audience >= 1 && audience <= 3 ? kNames[audience - 1] : "unknown audience";
}

// The one log stream of the process. Its lock serialises whole records.
class CLogFile {
  public:
    // Each record reaches the file at once: the log is read while the program runs, and a
    // program killed mid-move keeps every record it wrote.
    void Insert(const std::string& line) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!opened_) Open();
        if (file_) {
            std::fwrite(line.data(), 1, line.size(), file_);
            std::fflush(file_);
        }
    }

    void Close() {
        std::lock_guard<std::mutex> guard(lock_);
        if (file_) std::fclose(file_);
        file_ = nullptr;
        opened_ = false;
        path_.clear();
    }

    std::wstring Path() {
        std::lock_guard<std::mutex> guard(lock_);
        return path_;
    }

    void Flush() {
        std::lock_guard<std::mutex> guard(lock_);
        if (file_) std::fflush(file_);
    }

  private:
    void Open() {
        opened_ = true;  // a failed open is not retried: the run's records are dropped
        // Not through the platform layer: the log must not shift the call counts that the fault
        // seam's tests fail by, nor be failed by them. An existing folder is fine.
        std::error_code ignored;
        std::filesystem::create_directory("log", ignored);
        // Kept as it always was: year and month run together in the name ("20263-7-9-5-2").
        const std::string name = "log/" + Stamp("%2d%d-%d-%d-%d-%d") + ".txt";
        file_ = sys::OpenSharedAppend(sys::FromUtf8(name));
        if (!file_) return;
        std::error_code failed;
        std::filesystem::path full = std::filesystem::absolute(name, failed);
#ifdef _WIN32
        path_ = failed ? sys::FromUtf8(name) : full.make_preferred().wstring();
#else
        path_ =
            sys::FromUtf8(failed ? name : full.string());  // bytes as they are, not the locale's
#endif
    }

    std::mutex lock_;
    bool opened_ = false;
    std::FILE* file_ = nullptr;
    std::wstring path_;
};

// Never destroyed, so that a record written by another static object's destructor at exit
// finds a live stream. The C runtime flushes and closes the file after every destructor ran.
CLogFile& LogFile() {
    static CLogFile* file = new CLogFile;
    return *file;
}

}  // namespace

namespace logdetail {

void AppendItem(std::string& out, std::string_view text) {
    out.append(text);
}
void AppendItem(std::string& out, std::wstring_view text) {
    out += sys::ToUtf8(text);
}

void Write(const wchar_t* sourceFile, uint32_t line, LogSeverity severity, LogAudience audience,
           const std::string& message) {
    const uint32_t savedError = sys::GetLastError();  // logging never disturbs the caller's error
    std::string text = Stamp("[%2d-%d-%d-%d:%d:%d]");
    text += sys::ToUtf8(sourceFile);
    text += '(';
    text += std::to_string(line);
    text += ") : <";
    text += SeverityName(severity);
    text += '|';
    text += AudienceName(audience);
    text += ">: ";
    text += message;
    text += '\n';
    LogFile().Insert(text);
    if (sys::GetLastError() != savedError) sys::SetLastError(savedError);
}

}  // namespace logdetail

void CLogSite::Err(int32_t code) const {
    // An errno with no Windows counterpart travels as error 1; keep it in the record.
    if (code == SystemCode(sys::kErrInvalidFunction) && sys::LastUnmappedErrno() != 0) {
        WriteLogRecord(file_, line_, LogErr, LogDev, code, " (errno ", sys::LastUnmappedErrno(),
                       ")");
    } else {
        WriteLogRecord(file_, line_, LogErr, LogDev, code);
    }
}

int32_t CLogSite::FailedCall() const {
    const int32_t code = FailedCallCode(sys::GetLastError());
    Err(code);
    return code;
}

std::wstring LogFilePath() {
    return LogFile().Path();
}

void LogResetForTests() {
    LogFile().Close();
}
void LogFlushForTests() {
    LogFile().Flush();
}
