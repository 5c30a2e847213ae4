#include "install_fixture.h"

#include "TaskMgr/MoveJournal.h"

#ifdef _WIN32
#include <windows.h>

#include "wine_services.h"
#else
#include "platform/host.h"
#include "platform/posix/service_standin.h"
#endif

namespace testsupport {

namespace {

std::string Content(const std::string& name, int size) {
    std::string text;
    text.reserve(size);
    for (int i = 0; static_cast<int>(text.size()) < size; ++i) {
        text += name + ":" + std::to_string(i) + "\n";
    }
    text.resize(size);
    return text;
}

}  // namespace

SimulatedInstall::SimulatedInstall(InstallShape shape) {
#ifdef _WIN32
    RemoveJournal();  // the one state folder of the machine: no journal of another test counts
#endif
    Populate(shape);
    if (shape.registerInstall) Register(shape.servicesRunning);
}

SimulatedInstall::~SimulatedInstall() {
#ifdef _WIN32
    RemoveJournal();
    ForgetOculusBase();
#else
    sys::SetHostDir({});
#endif
}

void SimulatedInstall::AddFile(const std::string& relative, const std::string& content) {
    WriteFile(base() / fs::u8path(relative), content);
    files_[relative] = content;
}

std::wstring SimulatedInstall::baseValue() const {
    return base().wstring() + sys::kSep;
}

void SimulatedInstall::Populate(const InstallShape& shape) {
#ifdef _WIN32
    const char* odd = "Downloads/cache/..x";  // Windows drops a name's trailing dots
#else
    const char* odd = "Downloads/cache/...";
#endif
    const char* folders[] = {"Software/Game A",        "Software/Game A/data/levels",
                             "Software/Ünïcode Spiel", "Software/empty dir/.x",
                             "Downloads/cache",        odd};
    int serial = 0;
    for (const char* folder : folders) {
        fs::create_directories(base() / fs::u8path(folder));
        if (std::string(folder).find("empty") != std::string::npos) continue;
        for (int i = 0; i < shape.filesPerFolder; ++i) {
            const std::string rel = std::string(folder) + "/file" + std::to_string(i) + ".bin";
            files_[rel] = Content(rel, 100 + 997 * (serial++ % 7));
            WriteFile(base() / fs::u8path(rel), files_[rel]);
        }
    }
    files_["Software/Game A/.hidden"] = "hidden";
    WriteFile(base() / "Software/Game A/.hidden", "hidden");
    fs::create_directories(base() / "Downloads" / "empty");

    for (int i = 0; i < 3; ++i) {
        const std::string rel = "file" + std::to_string(i) + ".dat";
        outsideFiles_[rel] = Content("outside/" + rel, 500);
        WriteFile(outside() / rel, outsideFiles_[rel]);
    }
#ifndef _WIN32
    if (shape.oddEntries) {
        files_["Software/Game A/readonly.cfg"] = "read only";
        WriteFile(base() / "Software/Game A/readonly.cfg", "read only");
        fs::permissions(base() / "Software/Game A/readonly.cfg", fs::perms::owner_read);
        fs::create_symlink("../nowhere", base() / "Software/Game A/dangling");
        files_["Downloads/private/key.bin"] = "private";
        WriteFile(base() / "Downloads/private/key.bin", "private");
        fs::permissions(base() / "Downloads/private", fs::perms::owner_all);
    }
    if (shape.innerLink) {
        fs::create_directory_symlink(outside(), base() / "Software/Game A/shared");
        for (const auto& [rel, content] : outsideFiles_) {
            files_["Software/Game A/shared/" + rel] = content;
        }
    }
#endif
    fs::create_directories(target());
}

void SimulatedInstall::Register(bool servicesRunning) {
    SetBaseValue(baseValue());
#ifdef _WIN32
    // Stopped ones are left as they are: the test that wants them so stops them once.
    if (servicesRunning) SetServicesRunning();
#else
    sys::standin::ServiceRecord record;
    record.state = servicesRunning ? sys::kServiceRunning : sys::kServiceStopped;
    sys::standin::WriteService(L"OVRLibraryService", record);
    sys::standin::WriteService(L"OVRService", record);
#endif
}

void SimulatedInstall::SetBaseValue(const std::wstring& value) {
#ifdef _WIN32
    SetOculusBase(value);
#else
    const fs::path host = root() / "host";
    fs::create_directories(host);
    sys::SetHostDir(host.string());
    WriteFile(host / "HKLM.reg",
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Oculus VR, LLC]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Oculus VR, LLC\\Oculus]\n"
              "\"Base\"=\"" +
                  sys::ToUtf8(value) + "\"\n");
#endif
}

std::vector<std::string> SimulatedInstall::Missing(
    const std::vector<fs::path>& softwarePlaces,
    const std::vector<fs::path>& downloadsPlaces) const {
    std::vector<std::string> missing;
    for (const auto& [relative, content] : files_) {
        const bool software = relative.rfind("Software/", 0) == 0;
        const fs::path rest = fs::u8path(relative.substr(software ? 9 : 10));
        bool found = false;
        for (const fs::path& place : software ? softwarePlaces : downloadsPlaces) {
            std::error_code ec;
            found = found ||
                    (fs::is_regular_file(place / rest, ec) && ReadFile(place / rest) == content);
        }
        if (!found) missing.push_back(relative);
    }
    return missing;
}

bool SimulatedInstall::OutsideUntouched() const {
    for (const auto& [rel, content] : outsideFiles_) {
        std::error_code ec;
        if (!fs::is_regular_file(outside() / rel, ec) || ReadFile(outside() / rel) != content) {
            return false;
        }
    }
    return true;
}

void SimulatedInstall::SetServicesRunning() {
#ifdef _WIN32
    // Wine's service manager, with the fake services of scripts/wine-services where they are
    // registered; elsewhere there is nothing to start, and ServiceState says 0.
    for (const wchar_t* name : {L"OVRLibraryService", L"OVRService"}) {
        if (StateOf(name) != 0) Ensure(name, SERVICE_RUNNING);
    }
#else
    for (const wchar_t* name : {L"OVRLibraryService", L"OVRService"}) {
        sys::standin::ServiceRecord record;
        sys::standin::ReadService(name, record);
        record.state = sys::kServiceRunning;
        sys::standin::WriteService(name, record);
    }
#endif
}

uint32_t SimulatedInstall::ServiceState(const std::wstring& name) const {
#ifdef _WIN32
    return SettledStateOf(name.c_str());
#else
    sys::standin::ServiceRecord record;
    if (!sys::standin::ReadService(name, record)) return 0;
    return sys::standin::Settle(record, sys::GetTickCount()).state;
#endif
}

}  // namespace testsupport
