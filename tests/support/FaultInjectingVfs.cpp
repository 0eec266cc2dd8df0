#include "tests/support/FaultInjectingVfs.h"

#include <stdexcept>

namespace kavelin::test {

namespace {
constexpr const char* kName = "kavelin-faults";
}  // namespace

namespace {

// Our file object, followed in memory by the real file system's.
struct alignas(8) VfsFile {
    sqlite3_file base;
    FaultInjectingVfs* owner;
};

sqlite3_file* RealOf(sqlite3_file* file) {
    return reinterpret_cast<sqlite3_file*>(reinterpret_cast<VfsFile*>(file) + 1);
}

using File = sqlite3_file;

// Every call but xWrite goes to the real file unchanged.
const sqlite3_io_methods kMethods = {
    3,
    [](File* f) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xClose(real);
    },
    [](File* f, void* data, int amount, sqlite3_int64 offset) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xRead(real, data, amount, offset);
    },
    nullptr,  // xWrite: set by the constructor
    [](File* f, sqlite3_int64 size) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xTruncate(real, size);
    },
    [](File* f, int flags) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xSync(real, flags);
    },
    [](File* f, sqlite3_int64* size) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xFileSize(real, size);
    },
    [](File* f, int lock) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xLock(real, lock);
    },
    [](File* f, int lock) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xUnlock(real, lock);
    },
    [](File* f, int* reserved) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xCheckReservedLock(real, reserved);
    },
    [](File* f, int op, void* arg) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xFileControl(real, op, arg);
    },
    [](File* f) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xSectorSize(real);
    },
    [](File* f) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xDeviceCharacteristics(real);
    },
    [](File* f, int page, int pageSize, int extend, void volatile** memory) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xShmMap(real, page, pageSize, extend, memory);
    },
    [](File* f, int offset, int count, int flags) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xShmLock(real, offset, count, flags);
    },
    [](File* f) {
        sqlite3_file* real = RealOf(f);
        real->pMethods->xShmBarrier(real);
    },
    [](File* f, int deleteFlag) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xShmUnmap(real, deleteFlag);
    },
    [](File* f, sqlite3_int64 offset, int amount, void** pages) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xFetch(real, offset, amount, pages);
    },
    [](File* f, sqlite3_int64 offset, void* page) {
        sqlite3_file* real = RealOf(f);
        return real->pMethods->xUnfetch(real, offset, page);
    },
};

sqlite3_io_methods g_methods = kMethods;

}  // namespace

FaultInjectingVfs::FaultInjectingVfs() : m_pReal(sqlite3_vfs_find(nullptr)) {
    if (m_pReal == nullptr || m_pReal->iVersion < 1) {
        throw std::runtime_error("no default SQLite file system");
    }
    g_methods.xWrite = Write;
    m_vfs = *m_pReal;
    m_vfs.szOsFile = static_cast<int>(sizeof(VfsFile)) + m_pReal->szOsFile;
    m_vfs.zName = kName;
    m_vfs.pAppData = this;
    m_vfs.pNext = nullptr;
    m_vfs.xOpen = Open;
    sqlite3_vfs_register(&m_vfs, 1);
}

FaultInjectingVfs::~FaultInjectingVfs() {
    sqlite3_vfs_unregister(&m_vfs);
    sqlite3_vfs_register(m_pReal, 1);
}

int FaultInjectingVfs::Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                            int* outFlags) {
    auto* self = static_cast<FaultInjectingVfs*>(vfs->pAppData);
    auto* ours = reinterpret_cast<VfsFile*>(file);
    ours->owner = self;
    sqlite3_file* real = RealOf(file);
    const int rc = self->m_pReal->xOpen(self->m_pReal, name, real, flags, outFlags);
    // SQLite calls xClose exactly when pMethods is set.
    ours->base.pMethods = real->pMethods != nullptr ? &g_methods : nullptr;
    return rc;
}

int FaultInjectingVfs::Write(sqlite3_file* file, const void* data, int amount,
                             sqlite3_int64 offset) {
    FaultInjectingVfs* self = reinterpret_cast<VfsFile*>(file)->owner;
    if (const int failure = self->m_nFailure.load(); failure != SQLITE_OK) {
        ++self->m_nFailedWrites;
        return failure;
    }
    sqlite3_file* real = RealOf(file);
    return real->pMethods->xWrite(real, data, amount, offset);
}

}  // namespace kavelin::test
