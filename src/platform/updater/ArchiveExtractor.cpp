#include "platform/updater/ArchiveExtractor.h"

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace platform {
namespace {

using ArchiveReader = std::unique_ptr<archive, decltype(&archive_read_free)>;
using ArchiveWriter = std::unique_ptr<archive, decltype(&archive_write_free)>;

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        components.push_back(path.substr(start, end - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return components;
}

Error archiveError(const std::string& reason) { return ArchiveExtractor::unpackingError(reason); }

std::string describe(archive* handle) {
    std::string text = archive_error_string(handle) ? archive_error_string(handle) : "unknown error";
    // Write failures often name only the step; the system's reason (no space, no
    // permission) is what a reader needs.
    if (const int number = archive_errno(handle); number > 0) {
        const std::string reason = std::strerror(number);
        if (text.find(reason) == std::string::npos) text += " (" + reason + ")";
    }
    return text;
}

std::optional<Error> copyData(archive* reader, archive* writer) {
    const void* buffer = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    while (true) {
        const int status = archive_read_data_block(reader, &buffer, &size, &offset);
        if (status == ARCHIVE_EOF) return std::nullopt;
        if (status < ARCHIVE_WARN) return archiveError(describe(reader));
        if (archive_write_data_block(writer, buffer, size, offset) < ARCHIVE_WARN) return archiveError(describe(writer));
    }
}

}  // namespace

bool ArchiveExtractor::isSafeRelativePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return false;
    for (const auto& component : splitPath(path))
        if (component == "..") return false;
    return true;
}

bool ArchiveExtractor::isSafeLinkTarget(const std::string& linkPath, const std::string& target) {
    if (target.empty() || target[0] == '/') return false;
    // Depth of the folder holding the link, then walk the target from there.
    long depth = 0;
    auto linkComponents = splitPath(linkPath);
    linkComponents.pop_back();
    for (const auto& component : linkComponents)
        if (!component.empty() && component != ".") ++depth;
    for (const auto& component : splitPath(target)) {
        if (component.empty() || component == ".") continue;
        if (component == "..") {
            if (--depth < 0) return false;
        } else {
            ++depth;
        }
    }
    return true;
}

std::optional<Error> ArchiveExtractor::extractTarGz(const std::string& archivePath, const std::string& destination) {
    ArchiveReader reader(archive_read_new(), &archive_read_free);
    ArchiveWriter writer(archive_write_disk_new(), &archive_write_free);
    if (!reader || !writer) return archiveError("out of memory");
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_format_tar(reader.get());
    // Our own checks come first; these flags make libarchive refuse the same things
    // once more, and never follow a link that is already on disk.
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                                                     ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    archive_write_disk_set_standard_lookup(writer.get());

    if (archive_read_open_filename(reader.get(), archivePath.c_str(), 64 * 1024) != ARCHIVE_OK)
        return archiveError(describe(reader.get()));

    archive_entry* entry = nullptr;
    while (true) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status < ARCHIVE_WARN) return archiveError(describe(reader.get()));

        const char* rawPath = archive_entry_pathname(entry);
        const std::string path = rawPath ? rawPath : "";
        if (!isSafeRelativePath(path)) return archiveError("it holds the unsafe path “" + path + "”.");

        const char* rawHardlink = archive_entry_hardlink(entry);
        const auto type = archive_entry_filetype(entry);
        if (rawHardlink) {
            const std::string target = rawHardlink;
            if (!isSafeRelativePath(target)) return archiveError("it holds the unsafe link “" + path + "”.");
            archive_entry_set_hardlink(entry, (destination + "/" + target).c_str());
        } else if (type == AE_IFLNK) {
            const char* rawTarget = archive_entry_symlink(entry);
            if (!rawTarget || !isSafeLinkTarget(path, rawTarget))
                return archiveError("it holds the unsafe link “" + path + "”.");
        } else if (type != AE_IFREG && type != AE_IFDIR) {
            return archiveError("it holds the device or pipe “" + path + "”.");
        }

        archive_entry_set_pathname(entry, (destination + "/" + path).c_str());
        archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);
        if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN) return archiveError(describe(writer.get()));
        if (archive_entry_size(entry) > 0) {
            if (auto error = copyData(reader.get(), writer.get())) return error;
        }
        if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN) return archiveError(describe(writer.get()));
    }
    if (archive_write_close(writer.get()) < ARCHIVE_WARN) return archiveError(describe(writer.get()));
    return std::nullopt;
}

}  // namespace platform
