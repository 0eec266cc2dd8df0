#pragma once

#include <sqlite3.h>

#include <atomic>

namespace kavelin::test {

// An SQLite file system layered over the default one, registered as the
// default for the object's lifetime, whose writes can be made to fail: a
// full disk (SQLITE_FULL) or a failing one (SQLITE_IOERR_WRITE), in this
// process only. Connections opened while it is registered keep using it.
class FaultInjectingVfs {
public:
    FaultInjectingVfs();
    ~FaultInjectingVfs();
    FaultInjectingVfs(const FaultInjectingVfs&) = delete;
    FaultInjectingVfs& operator=(const FaultInjectingVfs&) = delete;

    // Every write fails with `code` until FailWrites(SQLITE_OK).
    void FailWrites(int code) { m_nFailure = code; }
    // How many writes failed so far.
    int FailedWrites() const { return m_nFailedWrites; }

private:
    static int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                    int* outFlags);
    static int Write(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset);

    sqlite3_vfs m_vfs{};
    sqlite3_vfs* m_pReal = nullptr;
    std::atomic<int> m_nFailure{SQLITE_OK};
    std::atomic<int> m_nFailedWrites{0};
};

}  // namespace kavelin::test
