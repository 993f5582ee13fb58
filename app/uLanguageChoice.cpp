#include "uLanguageChoice.h"

#include <fstream>

namespace kelvo {

namespace {

constexpr const char* kKey = "language=";

}  // namespace

std::string LoadLanguageChoice(const std::vector<std::filesystem::path>& Dirs)
{
    for (const auto& dir : Dirs) {
        std::ifstream in(dir / kLanguageChoiceFile);
        if (!in)
            continue;
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.rfind(kKey, 0) == 0)
                return line.substr(std::char_traits<char>::length(kKey));
        }
        return std::string();
    }
    return std::string();
}

bool SaveLanguageChoice(const std::vector<std::filesystem::path>& Dirs, const std::string& File)
{
    for (const auto& dir : Dirs) {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        std::ofstream out(dir / kLanguageChoiceFile, std::ios::trunc);
        if (!out)
            continue;
        out << kKey << File << '\n';
        if (out.flush())
            return true;
    }
    return false;
}

}  // namespace kelvo
