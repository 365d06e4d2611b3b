#pragma once
// A fresh folder under the user's temporary folder whose path holds Chinese characters and a
// blank, as program folders of real installations do ("...\程序文件\Kestrix 客户端助手"). Removed
// with everything in it when the object goes away.
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <string>

namespace kx::test {

class Win32TestFolder {
public:
    Win32TestFolder()
    {
        static std::atomic<unsigned> counter{0};
        wchar_t temp[MAX_PATH + 1];
        const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
        root_ = std::filesystem::path(std::wstring(temp, n)) /
            (L"kx-win32-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++));
        path_ = root_ / L"程序文件" / L"Kestrix 客户端助手";
        std::filesystem::create_directories(path_);
    }
    ~Win32TestFolder()
    {
        std::error_code ec;
        // Read-only files left by a test would stop the removal.
        for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
        std::filesystem::remove_all(root_, ec);
    }
    Win32TestFolder(const Win32TestFolder&) = delete;
    Win32TestFolder& operator=(const Win32TestFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The UTF-8 text of a path below the folder ("" for the folder itself).
    std::string utf8(const std::wstring& relative = L"") const
    {
        const std::wstring wide = relative.empty() ? path_.native() : (path_ / relative).native();
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                              nullptr, nullptr);
        std::string out(static_cast<std::size_t>(bytes), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), bytes, nullptr,
                            nullptr);
        return out;
    }

private:
    std::filesystem::path root_;
    std::filesystem::path path_;
};

} // namespace kx::test
