#pragma once
// Small files read on every request (the module table in dll.ini, the reply script's prefix) are
// read from disk only when they changed: the bytes of the last read are kept with the file's
// size and modification time, and a read that finds both unchanged reuses them. Any thread.
//
// A file changed in the last few seconds is always read from disk and not kept: two changes within
// one tick of the file system's clock can leave the same stamp. The program's own writes forget
// the kept bytes as well (forgetCachedFile).
#include <memory>
#include <string>

namespace kx {

// The file's bytes; nullptr when it is not a regular file or cannot be read.
std::shared_ptr<const std::string> cachedFileBytes(const std::string& path);
// The next read of path goes to the disk.
void forgetCachedFile(const std::string& path);

} // namespace kx
