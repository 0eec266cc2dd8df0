#include "platform/watch/DirectoryWatch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

namespace kavelin {
namespace {

constexpr std::uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE |
                                IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

DirectoryWatch::DirectoryWatch(std::size_t maxWatches)
    : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), m_nMaxWatches(maxWatches) {}

DirectoryWatch::~DirectoryWatch() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool DirectoryWatch::IsWatched(const std::string& directory) const {
    return m_paths.count(directory) > 0;
}

bool DirectoryWatch::Add(const std::string& directory) {
    if (m_fd < 0 || m_directories.size() >= m_nMaxWatches) {
        return false;
    }
    const int wd = inotify_add_watch(m_fd, directory.c_str(), kMask);
    if (wd < 0) {
        return false;
    }
    // The same directory under a new path (after a rename) takes the new one.
    auto [entry, added] = m_directories.try_emplace(wd, directory);
    if (!added) {
        m_paths.erase(entry->second);
        entry->second = directory;
    }
    m_paths.insert(directory);
    return true;
}

std::vector<DirectoryWatch::Event> DirectoryWatch::Wait(std::chrono::milliseconds timeout) {
    std::vector<Event> events;
    if (m_fd < 0) {
        return events;
    }
    pollfd ready{m_fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) {
        return events;
    }
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t size = read(m_fd, buffer, sizeof buffer);
        if (size <= 0) {
            break;
        }
        for (ssize_t offset = 0; offset < size;) {
            inotify_event header;
            std::memcpy(&header, buffer + offset, sizeof header);
            const char* name = buffer + offset + sizeof header;
            offset += static_cast<ssize_t>(sizeof header + header.len);

            if (header.mask & IN_Q_OVERFLOW) {
                events.push_back({Change::Overflow, {}});
                continue;
            }
            auto directory = m_directories.find(header.wd);
            if (directory == m_directories.end()) {
                continue;
            }
            if (header.mask & IN_IGNORED) {
                m_paths.erase(directory->second);
                m_directories.erase(directory);
                continue;
            }
            if (header.mask & IN_MOVE_SELF) {
                // Its old path is gone; where it went in, the parent reports it created.
                inotify_rm_watch(m_fd, header.wd);
                m_paths.erase(directory->second);
                m_directories.erase(directory);
                continue;
            }
            if (header.mask & IN_DELETE_SELF) {
                continue;  // the parent reports it removed; IN_IGNORED follows
            }
            const bool isDirectory = (header.mask & IN_ISDIR) != 0;
            std::string path = directory->second + std::string(name, strnlen(name, header.len));
            if (isDirectory) {
                path += '/';
            }
            if (header.mask & (IN_DELETE | IN_MOVED_FROM)) {
                events.push_back({Change::Removed, path});
            } else if (isDirectory && (header.mask & (IN_CREATE | IN_MOVED_TO))) {
                events.push_back({Change::Created, path});
            } else if (!isDirectory && (header.mask & (IN_CLOSE_WRITE | IN_MOVED_TO))) {
                events.push_back({Change::Written, path});
            }
        }
    }
    return events;
}

}  // namespace kavelin
