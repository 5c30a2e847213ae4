// A simulated Oculus installation on real folders: the base folder with "Software" and
// "Downloads", data outside it that an inner link reaches, the registry value, and the two
// services running: on the stand-in manager (POSIX), or Wine's with the fake services. Knows every
// original file's content, so a test can prove that nothing was lost.
#pragma once

#include <map>
#include <string>

#include "support.h"

namespace testsupport {

struct InstallShape {
    int filesPerFolder = 6;  // files in each of the nested folders
    bool innerLink = true;   // Software/Game A/shared -> a folder outside the installation
    bool registerInstall = true;
    // A read-only file, a link that leads nowhere and a private (0700) folder (POSIX).
    bool oddEntries = false;
    bool servicesRunning = true;  // registered with both services running, else stopped
};

class SimulatedInstall {
  public:
    explicit SimulatedInstall(InstallShape shape = {});
    ~SimulatedInstall();

    fs::path root() const { return dir_.path(); }
    fs::path base() const { return dir_.path() / "Oculus"; }
    fs::path outside() const { return dir_.path() / "outside"; }
    fs::path target() const { return dir_.path() / "target"; }
    // The base folder as the registry gives it: with a trailing separator.
    std::wstring baseValue() const;

    // Every file of the installation (relative to the base folder) and of the outside data.
    const std::map<std::string, std::string>& files() const { return files_; }
    const std::map<std::string, std::string>& outsideFiles() const { return outsideFiles_; }
    // Files that counting sees: links followed.
    int countedFiles() const { return static_cast<int>(files_.size()); }

    // Lists the files whose original content is found at none of the given places: folders
    // that may hold "Software"'s files, and "Downloads"'.
    std::vector<std::string> Missing(const std::vector<fs::path>& softwarePlaces,
                                     const std::vector<fs::path>& downloadsPlaces) const;
    bool OutsideUntouched() const;

    // Adds a file to the installation (relative to the base folder), known as an original.
    void AddFile(const std::string& relative, const std::string& content);

    // Registers another base folder value (a test that moves or respells the installation).
    void SetBaseValue(const std::wstring& value);

    // Service state on the stand-in, or on Wine's manager once no longer pending; 0 where the
    // service is not there.
    uint32_t ServiceState(const std::wstring& name) const;
    // Both services running, as after a restart of the system.
    void SetServicesRunning();

  private:
    void Populate(const InstallShape& shape);
    void Register(bool servicesRunning);

    TempDir dir_;
    std::map<std::string, std::string> files_;
    std::map<std::string, std::string> outsideFiles_;
};

}  // namespace testsupport
