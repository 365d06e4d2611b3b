#include "update/FileDownload.h"

#include "common/Paths.h"

#include <filesystem>

namespace kx {

FileDownload::FileDownload(Choose choose) : choose_(std::move(choose)) {}

FileDownload::~FileDownload()
{
    if (out_.is_open())
        out_.close();
}

bool FileDownload::begin(const http::ClientReply& head)
{
    path_ = choose_(head);
    if (path_.empty())
        return false;
    out_.open(pathFromUtf8(path_), std::ios::binary | std::ios::trunc);
    taken_ = true;
    return true; // a file that failed to open fails the first write (or finish, for no bytes)
}

bool FileDownload::write(const char* data, std::size_t size)
{
    out_.write(data, static_cast<std::streamsize>(size));
    return static_cast<bool>(out_);
}

bool FileDownload::finish()
{
    if (!taken_)
        return false;
    const bool opened = out_.is_open();
    out_.close();
    return opened && static_cast<bool>(out_);
}

void FileDownload::discard()
{
    if (out_.is_open())
        out_.close();
    if (taken_) {
        std::error_code ec;
        std::filesystem::remove(pathFromUtf8(path_), ec);
    }
}

} // namespace kx
