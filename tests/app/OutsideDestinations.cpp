#include "tests/app/OutsideDestinations.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <mutex>

namespace kavelin::test {
namespace {

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

std::vector<std::string>& Seen() {
    static std::vector<std::string> seen;
    return seen;
}

void Note(std::string what) {
    std::lock_guard lock(Lock());
    Seen().push_back(std::move(what));
}

void NoteAddress(const sockaddr* address) {
    if (address == nullptr) {
        return;
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        if ((ntohl(v4->sin_addr.s_addr) >> 24) != 127) {
            inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
            Note(text);
        }
    } else if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        const bool mappedLoopback =
            IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr[12] == 127;
        if (!IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr) && !mappedLoopback) {
            inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
            Note(text);
        }
    }
}

template <typename Function>
Function Real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

std::vector<std::string> OutsideDestinations() {
    std::lock_guard lock(Lock());
    return Seen();
}

void ForgetOutsideDestinations() {
    std::lock_guard lock(Lock());
    Seen().clear();
}

}  // namespace kavelin::test

extern "C" {

int connect(int fd, const sockaddr* address, socklen_t length) {
    static const auto real =
        kavelin::test::Real<int (*)(int, const sockaddr*, socklen_t)>("connect");
    kavelin::test::NoteAddress(address);
    return real(fd, address, length);
}

ssize_t sendto(int fd, const void* data, size_t size, int flags, const sockaddr* address,
               socklen_t length) {
    static const auto real =
        kavelin::test::Real<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>(
            "sendto");
    kavelin::test::NoteAddress(address);
    return real(fd, data, size, flags, address, length);
}

ssize_t sendmsg(int fd, const msghdr* message, int flags) {
    static const auto real = kavelin::test::Real<ssize_t (*)(int, const msghdr*, int)>("sendmsg");
    if (message != nullptr) {
        kavelin::test::NoteAddress(static_cast<const sockaddr*>(message->msg_name));
    }
    return real(fd, message, flags);
}

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
    static const auto real =
        kavelin::test::Real<int (*)(const char*, const char*, const addrinfo*, addrinfo**)>(
            "getaddrinfo");
    if (node != nullptr && std::strcmp(node, "localhost") != 0 &&
        std::strncmp(node, "127.", 4) != 0 && std::strcmp(node, "::1") != 0) {
        kavelin::test::Note(std::string("lookup ") + node);
    }
    return real(node, service, hints, result);
}

}  // extern "C"
