#include "core/mapped.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <cstdint>
#include <new>

namespace molvane::core {

Mapping::~Mapping() {
    if (data_ && size_) munmap(const_cast<char*>(data_), size_);
}

bool is_local_file_system(unsigned long magic) noexcept {
    // Disk and memory file systems of Linux (values of linux/magic.h and the
    // file systems' own headers). Anything else (NFS, SMB/CIFS, FUSE, 9p,
    // Ceph, AFS, procfs, sysfs, ...) is read in chunks.
    switch (magic & 0xffffffffUL) {
        case 0xEF53UL:      // ext2, ext3, ext4
        case 0x58465342UL:  // XFS
        case 0x9123683EUL:  // Btrfs
        case 0xF2F52010UL:  // F2FS
        case 0xCA451A4EUL:  // bcachefs
        case 0x2FC12FC1UL:  // ZFS
        case 0x52654973UL:  // ReiserFS
        case 0x3153464AUL:  // JFS
        case 0x3434UL:      // NILFS2
        case 0x01021994UL:  // tmpfs
        case 0x858458F6UL:  // ramfs
        case 0x794C7630UL:  // overlayfs
        case 0x73717368UL:  // SquashFS
        case 0xE0F5E1E2UL:  // EROFS
        case 0x9660UL:      // ISO 9660
        case 0x15013346UL:  // UDF
        case 0x4D44UL:      // FAT
        case 0x2011BAB0UL:  // exFAT
        case 0x5346544EUL:  // NTFS
            return true;
        default: return false;
    }
}

std::shared_ptr<const Mapping> map_if_local(int fd) noexcept {
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0) return {};
    if (static_cast<std::uintmax_t>(status.st_size) > SIZE_MAX) return {};
    struct statfs file_system;
    if (fstatfs(fd, &file_system) != 0) return {};
    if (!is_local_file_system(static_cast<unsigned long>(file_system.f_type))) return {};
    const size_t size = static_cast<size_t>(status.st_size);
    void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (data == MAP_FAILED) return {};
    try {
        return std::make_shared<const Mapping>(static_cast<const char*>(data), size);
    } catch (const std::bad_alloc&) {
        munmap(data, size);
        return {};
    }
}

}  // namespace molvane::core
