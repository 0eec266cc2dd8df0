#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "catalog/WriteWaits.h"

struct sqlite3;

namespace kavelin {

// One SQLite connection per thread to one catalog file, opened on the thread's
// first use. A connection is closed only by the thread that uses it, never
// under its feet: CloseAll closes the calling thread's connection and ends
// the pool for the others, whose connections close when their thread next
// asks for one, or ends.
class ConnectionPool {
public:
    explicit ConnectionPool(std::string path);
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // nullptr when the file cannot be opened or the pool was closed; `code`
    // and `description` then say why.
    sqlite3* ForThisThread(std::uint32_t& code, std::string& description);
    void CloseAll();
    const std::string& Path() const;
    WriteWaits& Waits();

    // What the connections of the pool share; outlives the pool while a
    // thread still holds one of its connections.
    struct State;

private:
    std::shared_ptr<State> m_pState;
};

}  // namespace kavelin
