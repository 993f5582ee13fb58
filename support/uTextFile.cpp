#include "uTextFile.h"

#include <fstream>
#include <iterator>

namespace kelvo {

namespace fs = std::filesystem;

fs::path Utf8Path(const std::string& Name)
{
    return fs::path(std::u8string(Name.begin(), Name.end()));
}

std::string ReadTextFile(const std::string& File, uintmax_t MaxSize)
{
    std::error_code ec;
    const fs::path path = Utf8Path(File);
    const uintmax_t size = fs::file_size(path, ec);
    if (ec)
        throw ETextFileError(File + ": " + ec.message());
    if (size > MaxSize)
        throw ETextFileError(File + ": far too large", true);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ETextFileError(File + ": cannot be read");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteTextFileReplacing(const std::string& File, const std::string& Text)
{
    const fs::path path = Utf8Path(File);
    fs::path temp = path;
    temp += ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << Text;
        out.flush();
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            throw ETextFileError(File + ": cannot be written");
        }
    }
    std::error_code ec;
    fs::rename(temp, path, ec);
    if (ec) {
        fs::remove(temp, ec);
        throw ETextFileError(File + ": cannot be written (" + ec.message() + ")");
    }
}

}  // namespace kelvo
