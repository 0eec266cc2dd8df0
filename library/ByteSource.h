#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kavelin {

// Random-access bytes of a file or of a buffer in memory, read with bounds:
// a read never goes past the end and never fails loudly.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Copies up to `count` bytes from `offset`; returns how many it copied
    // (0 past the end or when the file cannot be read).
    virtual std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t count) = 0;
};

class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) : m_bytes(bytes) {}
    std::uint64_t Size() const override { return m_bytes.size(); }
    std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t count) override;

private:
    std::string_view m_bytes;
};

// Why a file did or did not open.
enum class OpenStatus {
    Opened,
    NotAFile,    // missing, a dangling link, a directory, pipe or device, a name too long
    Unreadable,  // there, but refused or failing now (permissions, I/O): worth another try later
};

// A regular file opened for reading. Reads go through one block buffer, so
// the many small reads of the frame search cost one system call per block.
class FileSource : public ByteSource {
public:
    FileSource() = default;
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    // Only regular files are opened: a directory, a pipe or a device named
    // like a music file would otherwise fail late or block the scanner.
    OpenStatus Open(const std::string& path);
    bool IsOpen() const { return m_nFile >= 0; }

    std::uint64_t Size() const override { return m_nSize; }
    std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t count) override;

private:
    bool LoadBlock(std::uint64_t offset);

    int m_nFile = -1;
    std::uint64_t m_nSize = 0;
    std::unique_ptr<unsigned char[]> m_block;  // left uninitialised: only read bytes are used
    std::uint64_t m_nBlockOffset = 0;
    std::size_t m_nBlockLength = 0;
};

}  // namespace kavelin
