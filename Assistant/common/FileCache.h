#pragma once
// Small files read on every request (the module table in dll.ini, the reply script's prefix, the
// settings in sys.ini) are read from disk only when they changed. Any thread.
//
// Where the system tells of changes in a folder as they happen (platform/FolderWatch.h), a kept
// file is served without touching the disk until something changes in its folder; it is still
// compared with the disk once a second, for a folder that takes the place of the one listened to.
// Elsewhere the bytes of the last read are kept with the file's size and modification time, and a
// read that finds both unchanged reuses them; a file changed in the last few seconds is then
// always read from disk and not kept, as two changes within one tick of the file system's clock
// can leave the same stamp. The program's own writes forget the kept bytes as well
// (forgetCachedFile).
#include <memory>
#include <string>

namespace kx {

// The file's bytes; nullptr when it is not a regular file or cannot be read.
std::shared_ptr<const std::string> cachedFileBytes(const std::string& path);
// The next read of path goes to the disk.
void forgetCachedFile(const std::string& path);

// While one lives on a thread, the thread's reads look for changes once, at the first of them:
// they see the files as they were then. A request's reads see one state of the files that way,
// and pay for one look. Scopes may nest; the outermost one counts.
class FileLookScope {
public:
    FileLookScope();
    ~FileLookScope();
    FileLookScope(const FileLookScope&) = delete;
    FileLookScope& operator=(const FileLookScope&) = delete;
};

} // namespace kx
