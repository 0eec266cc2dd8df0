#include "library/ByteSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kavelin {

namespace {

constexpr std::size_t kBlockSize = 32 * 1024;

}  // namespace

std::size_t MemorySource::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) {
    if (offset >= m_bytes.size()) {
        return 0;
    }
    const std::size_t available = std::min<std::uint64_t>(count, m_bytes.size() - offset);
    std::memcpy(buffer, m_bytes.data() + offset, available);
    return available;
}

FileSource::~FileSource() {
    if (m_nFile >= 0) {
        ::close(m_nFile);
    }
}

OpenStatus FileSource::Open(const std::string& path) {
    // O_NONBLOCK keeps the open itself from waiting on a pipe without a writer.
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (file < 0) {
        const bool gone = errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG ||
                          errno == ELOOP || errno == ENXIO || errno == EISDIR;
        return gone ? OpenStatus::NotAFile : OpenStatus::Unreadable;
    }
    struct stat status {};
    if (::fstat(file, &status) != 0) {
        ::close(file);
        return OpenStatus::Unreadable;
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(file);
        return OpenStatus::NotAFile;
    }
    m_nFile = file;
    m_nSize = static_cast<std::uint64_t>(status.st_size);
    return OpenStatus::Opened;
}

bool FileSource::LoadBlock(std::uint64_t offset) {
    if (!m_block) {
        m_block.reset(new unsigned char[kBlockSize]);
    }
    m_nBlockOffset = offset;
    m_nBlockLength = 0;
    while (m_nBlockLength < kBlockSize) {
        const ssize_t got =
            ::pread(m_nFile, m_block.get() + m_nBlockLength, kBlockSize - m_nBlockLength,
                    static_cast<off_t>(offset + m_nBlockLength));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        m_nBlockLength += static_cast<std::size_t>(got);
    }
    return m_nBlockLength > 0;
}

std::size_t FileSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) {
    if (m_nFile < 0 || offset >= m_nSize) {
        return 0;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t copied = 0;
    while (copied < count) {
        const std::uint64_t at = offset + copied;
        const bool cached = at >= m_nBlockOffset && at < m_nBlockOffset + m_nBlockLength;
        if (!cached && !LoadBlock(at)) {
            break;
        }
        const std::size_t inBlock = static_cast<std::size_t>(at - m_nBlockOffset);
        const std::size_t piece = std::min(count - copied, m_nBlockLength - inBlock);
        std::memcpy(out + copied, m_block.get() + inBlock, piece);
        copied += piece;
    }
    return copied;
}

}  // namespace kavelin
