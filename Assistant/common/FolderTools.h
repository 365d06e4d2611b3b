#pragma once
#include <string>

namespace kx {

// Deletes a folder with everything in it, making entries writable first. Entries that cannot be
// deleted stay where they are; nothing is reported. A missing folder is not an error.
void removeFolderTree(const std::string& folder);

} // namespace kx
