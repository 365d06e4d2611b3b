#pragma once
// A reply body written straight to a file as it arrives, so that an installer or package of any
// size costs no more memory than a buffer. Whether the body is wanted, and under which file
// name, is decided from the reply's status line and headers before the first byte. A body larger
// than the cap (by its declared length, or as it arrives) ends the transfer before it reaches the
// disk or as soon as it passes the cap.
#include "http/HttpClient.h"

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>

namespace kx {

class FileDownload : public http::BodySink {
public:
    // Gives the file for a 2xx reply's body, or "" when the body is not wanted.
    using Choose = std::function<std::string(const http::ClientReply& head)>;
    explicit FileDownload(Choose choose, std::uint64_t maxBytes = UINT64_MAX);
    ~FileDownload() override;

    bool begin(const http::ClientReply& head) override;
    bool write(const char* data, std::size_t size) override;

    // The body went to a file (begin chose one and opened it).
    bool taken() const { return taken_; }
    // The body was refused for its size.
    bool tooLarge() const { return tooLarge_; }
    const std::string& path() const { return path_; }
    // Closes the file; false when anything could not be written.
    bool finish();
    // Closes and removes the file, if one was started.
    void discard();

private:
    Choose choose_;
    const std::uint64_t maxBytes_;
    std::string path_;
    std::ofstream out_;
    std::uint64_t written_ = 0;
    bool taken_ = false;
    bool tooLarge_ = false;
};

} // namespace kx
