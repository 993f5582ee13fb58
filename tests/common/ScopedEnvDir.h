#pragma once
// A fresh temporary folder that an environment variable names for the life
// of the object (XDG_RUNTIME_DIR for the terminal socket, KELVO_PORTS_DIR
// for COM links). Afterwards the variable gets its old value back and the
// folder is removed. POSIX only.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

namespace kelvo::testing {

class TScopedEnvDir {
public:
    TScopedEnvDir(const char* Variable, const char* Prefix) : FVariable(Variable)
    {
        if (const char* old = std::getenv(Variable))
            FOld = old;
        std::random_device rd;
        Dir = std::filesystem::temp_directory_path()
              / (std::string(Prefix) + "-" + std::to_string(rd()) + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(Dir);
        ::setenv(Variable, Dir.c_str(), 1);
    }
    ~TScopedEnvDir()
    {
        if (FOld)
            ::setenv(FVariable.c_str(), FOld->c_str(), 1);
        else
            ::unsetenv(FVariable.c_str());
        std::error_code ec;
        std::filesystem::remove_all(Dir, ec);
    }
    TScopedEnvDir(const TScopedEnvDir&) = delete;
    TScopedEnvDir& operator=(const TScopedEnvDir&) = delete;

    std::filesystem::path Dir;

private:
    std::string FVariable;
    std::optional<std::string> FOld;
};

}  // namespace kelvo::testing
