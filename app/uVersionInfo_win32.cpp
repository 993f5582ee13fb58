#include "uVersionInfo.h"

#include <windows.h>

#include <vector>

namespace kelvo {

std::optional<TProgramVersion> ProgramFileVersion()
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::nullopt;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0)
        return std::nullopt;
    std::vector<unsigned char> data(size);
    if (!GetFileVersionInfoW(path, 0, size, data.data()))
        return std::nullopt;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &len) || !info || len < sizeof *info)
        return std::nullopt;
    // The most significant part holds major (high word) and minor (low word).
    return TProgramVersion{int(HIWORD(info->dwFileVersionMS)), int(LOWORD(info->dwFileVersionMS))};
}

}  // namespace kelvo
