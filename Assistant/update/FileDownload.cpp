#include "update/FileDownload.h"

#include "common/Paths.h"

#include <charconv>
#include <filesystem>

namespace kx {

FileDownload::FileDownload(Choose choose, std::uint64_t maxBytes) : choose_(std::move(choose)), maxBytes_(maxBytes) {}

FileDownload::~FileDownload()
{
    if (out_.is_open())
        out_.close();
}

bool FileDownload::begin(const http::ClientReply& head)
{
    const std::string declared = head.header("Content-Length");
    if (!declared.empty()) {
        std::uint64_t length = 0;
        const auto [end, error] = std::from_chars(declared.data(), declared.data() + declared.size(), length);
        if (error == std::errc::result_out_of_range || (error == std::errc() && length > maxBytes_)) {
            tooLarge_ = true;
            return true; // the first write ends the transfer, before anything is stored
        }
    }
    path_ = choose_(head);
    if (path_.empty())
        return false;
    out_.open(pathFromUtf8(path_), std::ios::binary | std::ios::trunc);
    taken_ = true;
    return true; // a file that failed to open fails the first write (or finish, for no bytes)
}

bool FileDownload::write(const char* data, std::size_t size)
{
    if (tooLarge_ || size > maxBytes_ - written_) {
        tooLarge_ = true;
        return false;
    }
    written_ += size;
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
