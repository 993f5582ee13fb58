#pragma once
// The simulated D2XX library for a test: a fresh ports folder named by
// KELVO_PORTS_DIR, where an entry usb-<serial> is a plugged-in device, and
// the binding loaded from the library the build names (KELVO_FTD2XX_SIM).
// Both go when the object goes. Works natively and under Wine.
//
// The simulated FT_Read blocks, as the driver does, when asked for more
// than is queued, and gives up after a cap; the test that caused such a
// read fails here when the object goes.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "uci_FTDIdirect.h"

namespace kelvo::testing {

inline void SetEnv(const char* Name, const std::string& Value)
{
#ifdef _WIN32
    _putenv((std::string(Name) + "=" + Value).c_str());
#else
    ::setenv(Name, Value.c_str(), 1);
#endif
}

inline void UnsetEnv(const char* Name)
{
#ifdef _WIN32
    _putenv((std::string(Name) + "=").c_str());
#else
    ::unsetenv(Name);
#endif
}

// A host path of the build as the test program opens it (Wine sees the
// host's root as drive Z:).
inline std::string HostPath(const std::string& Path)
{
#ifdef _WIN32
    if (!Path.empty() && Path[0] == '/')
        return "Z:" + Path;
#endif
    return Path;
}

class TSimD2XX {
public:
    explicit TSimD2XX(const char* Library = KELVO_FTD2XX_SIM, bool Bind = true)
    {
        if (const char* old = std::getenv("KELVO_PORTS_DIR"))
            FOld = old;
        std::random_device rd;
        Dir = std::filesystem::temp_directory_path() / ("kelvo-d2xx-" + std::to_string(rd()));
        std::filesystem::create_directories(Dir);
        SetEnv("KELVO_PORTS_DIR", Dir.string());
        UnsetEnv("KELVO_FTD2XX_SIM_COUNT_STATUS");
        if (Bind) {
            BindFTDirect(HostPath(Library));
            // The library as loaded, for its counters.
            FLibrary = ftdirect::LoadLibraryFile(HostPath(Library));
            if (FLibrary)
                FOverReads = reinterpret_cast<int64_t (*)()>(ftdirect::LibrarySymbol(FLibrary, "KelvoSimD2XX_OverReads"));
            FOverReadsBefore = OverReads();
        }
    }
    ~TSimD2XX()
    {
        if (OverReads() != FOverReadsBefore)
            ADD_FAILURE() << OverReads() - FOverReadsBefore
                          << " FT_Read call(s) asked for more bytes than were queued: the real driver would hang there";
        if (!UnbindFTDirect())
            ADD_FAILURE() << "the D2XX binding could not be released: a reader thread still runs";
        if (FLibrary)
            ftdirect::FreeLibraryFile(FLibrary);
        UnsetEnv("KELVO_FTD2XX_SIM_COUNT_STATUS");
        if (FOld)
            SetEnv("KELVO_PORTS_DIR", *FOld);
        else
            UnsetEnv("KELVO_PORTS_DIR");
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
    TSimD2XX(const TSimD2XX&) = delete;
    TSimD2XX& operator=(const TSimD2XX&) = delete;

    // Plugs in a device: its entry with these key=value lines.
    void Plug(const std::string& Serial, const std::string& Lines = std::string())
    {
        std::ofstream(Dir / ("usb-" + Serial), std::ios::binary) << Lines << "\n";
    }
    void Unplug(const std::string& Serial) { std::filesystem::remove(Dir / ("usb-" + Serial)); }
    bool Present(const std::string& Serial) const { return std::filesystem::exists(Dir / ("usb-" + Serial)); }
    std::string Entry(const std::string& Serial) const
    {
        std::ifstream in(Dir / ("usb-" + Serial), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // FT_Read calls that gave up waiting for bytes (KelvoSimD2XX_OverReads).
    int64_t OverReads() const { return FOverReads ? FOverReads() : 0; }
    // For a test that makes such reads on purpose.
    void AcceptOverReads() { FOverReadsBefore = OverReads(); }

    std::filesystem::path Dir;

private:
    std::optional<std::string> FOld;
    ftdirect::TLibrary FLibrary = nullptr;
    int64_t (*FOverReads)() = nullptr;
    int64_t FOverReadsBefore = 0;
};

}  // namespace kelvo::testing
