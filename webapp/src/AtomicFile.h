#pragma once
// Replaces a file so that a reader, or a crash at any moment, sees the old or the new
// contents and never a mix: a temporary unique to the write, fsync of the file, rename,
// fsync of the folder.
#include <string>

class AtomicFile {
public:
    // False (and no temporary left behind) when any step failed.
    static bool write(const std::string& path, const std::string& contents);
};
