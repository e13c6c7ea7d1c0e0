#include "TestArchive.h"

#include <archive.h>
#include <archive_entry.h>

#include <stdexcept>

namespace updatertest {

namespace {

la_ssize_t append(archive*, void* output, const void* bytes, size_t size) {
    static_cast<std::string*>(output)->append(static_cast<const char*>(bytes), size);
    return static_cast<la_ssize_t>(size);
}

}  // namespace

std::string makeTarGz(const std::vector<ArchiveEntry>& entries) {
    std::string output;
    archive* writer = archive_write_new();
    archive_write_add_filter_gzip(writer);
    archive_write_set_format_pax_restricted(writer);
    archive_write_set_bytes_in_last_block(writer, 1);
    if (archive_write_open(writer, &output, nullptr, append, nullptr) != ARCHIVE_OK)
        throw std::runtime_error("archive_write_open failed");
    for (const auto& item : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, item.path.c_str());
        archive_entry_set_perm(entry, item.mode);
        switch (item.kind) {
        case ArchiveEntry::Kind::file:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, static_cast<la_int64_t>(item.contents.size()));
            break;
        case ArchiveEntry::Kind::directory:
            archive_entry_set_filetype(entry, AE_IFDIR);
            break;
        case ArchiveEntry::Kind::symlink:
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, item.contents.c_str());
            break;
        case ArchiveEntry::Kind::hardlink:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_hardlink(entry, item.contents.c_str());
            break;
        case ArchiveEntry::Kind::fifo:
            archive_entry_set_filetype(entry, AE_IFIFO);
            break;
        }
        if (archive_write_header(writer, entry) != ARCHIVE_OK) throw std::runtime_error(archive_error_string(writer));
        if (item.kind == ArchiveEntry::Kind::file && !item.contents.empty())
            archive_write_data(writer, item.contents.data(), item.contents.size());
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    return output;
}

}  // namespace updatertest
