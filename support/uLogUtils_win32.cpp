// The diagnostic log on Windows: the module file name, local time, thread
// identifier and thread times from the system, files by handle.

#include "uLogUtils_os.h"

#include <cstdio>
#include <vector>

#include <windows.h>

namespace kelvo::logos {

std::filesystem::path UserLogDirectory()
{
    std::vector<wchar_t> buf(32768);
    const DWORD n = ::GetEnvironmentVariableW(L"LOCALAPPDATA", buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size())
        return {};
    return std::filesystem::path(std::wstring(buf.data(), n)) / L"KelvoSetup";
}

std::filesystem::path ProgramDirectory()
{
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return {};
        if (n < buf.size())
            return std::filesystem::path(std::wstring(buf.data(), n)).parent_path();
        if (buf.size() >= 32768)
            return {};
        buf.resize(buf.size() * 2);
    }
}

TLogDateTime LocalNow()
{
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    TLogDateTime t;
    t.Year = st.wYear;
    t.Month = st.wMonth;
    t.Day = st.wDay;
    t.Hour = st.wHour;
    t.Minute = st.wMinute;
    t.Second = st.wSecond;
    t.Millisecond = st.wMilliseconds;
    return t;
}

uint64_t CurrentThreadId()
{
    return ::GetCurrentThreadId();
}

std::optional<std::string> CurrentThreadCreationUtc()
{
    FILETIME created, exited, kernel, user;
    if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user))
        return std::nullopt;
    SYSTEMTIME st;
    if (!::FileTimeToSystemTime(&created, &st))
        return std::string();
    char text[80];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    return std::string(text);
}

TCreateResult CreateNewFile(const std::filesystem::path& Name, TFileHandle& File)
{
    // CREATE_NEW: an existing file is never opened, so two runs of the
    // program never write into the same file. Others may read it meanwhile.
    HANDLE h = ::CreateFileW(Name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = ::GetLastError();
        return (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) ? TCreateResult::Exists
                                                                     : TCreateResult::Failed;
    }
    File = reinterpret_cast<TFileHandle>(h);
    return TCreateResult::Created;
}

bool WriteAndFlush(TFileHandle File, std::string_view Data)
{
    HANDLE h = reinterpret_cast<HANDLE>(File);
    DWORD written = 0;
    if (!::WriteFile(h, Data.data(), static_cast<DWORD>(Data.size()), &written, nullptr) ||
        written != Data.size())
        return false;
    return ::FlushFileBuffers(h) != 0;
}

void CloseFile(TFileHandle File)
{
    ::CloseHandle(reinterpret_cast<HANDLE>(File));
}

}  // namespace kelvo::logos
