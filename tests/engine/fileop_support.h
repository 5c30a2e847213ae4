// Shared by the file-tree tests: a fixture with a data folder, its own log, a reset fault seam,
// and helpers that make an entry undeletable for a while.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fileOp/CFileOp.h"
#include "support.h"

namespace testsupport {

// The entries of folder in the order the system lists them, "." and ".." included.
std::vector<std::string> ListingOrder(const fs::path& folder);

// Runs its action when it goes out of scope.
class Cleanup {
  public:
    Cleanup() = default;
    explicit Cleanup(std::function<void()> action) : action_(std::move(action)) {}
    Cleanup(Cleanup&& other) noexcept : action_(std::move(other.action_)) { other.action_ = {}; }
    Cleanup& operator=(Cleanup&&) = delete;
    ~Cleanup() {
        if (action_) action_();
    }

  private:
    std::function<void()> action_;
};

// Makes deleting file fail with "access denied": the immutable flag as root, a read-only folder
// otherwise, the read-only attribute on Windows. On failure why says what was not possible.
Cleanup MakeUndeletable(const fs::path& file, std::string& why);

class FileOpTest : public ::testing::Test {
  protected:
    FileOpTest();
    ~FileOpTest() override;

    fs::path Data(const fs::path& relative) const { return dir_.path() / relative; }
    std::string LogText() const;
    std::vector<std::string> LoggedCodes() const;  // the message of every error record, in order

    TempDir dir_;
    TempDir logDir_;
    ScopedWorkingDir cwd_;
    ScopedFaults faults_;
    CFileOp op_;
};

}  // namespace testsupport
