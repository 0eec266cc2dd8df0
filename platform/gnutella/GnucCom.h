#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/gnutella/Servent.h"

// The program's Gnutella component: a core object made by the factory under
// the name "GnucCOM.Core", and the six objects it hands out, each sharing the
// one servent. Every call below notes the call number by which the program's
// download manager knows it. Calls may come from any thread. A call that
// cannot be answered (an unknown search, result or download ID) throws
// GnutellaError. Lists hold every element: nothing trails the last ID.
namespace kavelin::gnutella {

// Every setter gives way to a value the configuration file (call 1) named.
class GnucPreferences {
public:
    explicit GnucPreferences(std::shared_ptr<Servent> servent) : m_pServent(std::move(servent)) {}
    void LoadConfiguration(const std::string& file);  // 1: "Name=value" lines, see Preferences
    void LoadBlockedHosts(const std::string& file);   // 3: addresses never contacted
    void SetAttemptsPerSource(int attempts);          // 45: tries of one source (1..100)
    void SetDownloadLimit(float kibPerSecond);        // 49: all transfers, 0 = unlimited
    void SetUltrapeerConnections(int count);          // 28: ultrapeers kept connected (0..64)
    void SetConnectAttempts(int count);               // 29: connection attempts at once (1..64)
    void SetActiveDownloads(int count);               // 30: transfers at once (1..64)
    void SetVerifyDownloads(bool verify);             // 47: check finished files' SHA-1
    void SetPort(int port);                           // 8: port announced in pongs
    std::string DownloadFolder() const;               // 33: "Downloads" in the working directory

private:
    template <typename Change>
    void Update(const char* name, Change change);
    std::shared_ptr<Servent> m_pServent;
};

class GnucNetwork {
public:
    explicit GnucNetwork(std::shared_ptr<Servent> servent) : m_pServent(std::move(servent)) {}
    int ConnectionCount() const;  // 15: ultrapeers with a finished handshake

private:
    std::shared_ptr<Servent> m_pServent;
};

class GnucHostCache {
public:
    explicit GnucHostCache(std::shared_ptr<Servent> servent) : m_pServent(std::move(servent)) {}
    void LoadHosts(const std::string& file);       // 1
    void LoadUltrapeers(const std::string& file);  // 2
    void LoadWebCaches(const std::string& file);   // 3
    void SaveHosts(const std::string& file);       // 5
    void SaveUltrapeers(const std::string& file);  // 6
    void SaveWebCaches(const std::string& file);   // 7

private:
    std::shared_ptr<Servent> m_pServent;
};

class GnucMetadata {
public:
    explicit GnucMetadata(std::shared_ptr<Servent> servent) : m_pServent(std::move(servent)) {}
    void LoadSchemas(const std::string& folder);  // 1

private:
    std::shared_ptr<Servent> m_pServent;
};

class GnucSearch {
public:
    explicit GnucSearch(std::shared_ptr<Servent> servent) : m_pServent(std::move(servent)) {}
    int Start(const std::string& text);                     // 1: returns the search ID
    void Stop(int search);                                  // 2: no more hits are collected
    std::string ResultName(int search, int result) const;   // 10: the name as offered
    std::string ResultSha1(int search, int result) const;   // "urn:sha1:..." or empty
    int ResultHostCount(int search, int result) const;      // 13: distinct hosts offering it
    std::vector<std::int32_t> ResultIds(int search) const;  // 15
    int Download(int search, int result);                   // 16: returns the download ID

private:
    std::shared_ptr<Servent> m_pServent;
};

class GnucDownloads {
public:
    explicit GnucDownloads(std::shared_ptr<Servent> servent) : m_pServent(std::move(servent)) {}
    std::vector<std::int32_t> Ids() const;  // 1
    int State(int download) const;          // 2: a DownloadState code
    std::string Name(int download) const;   // 4: the file's name in the download folder
    std::string Sha1(int download) const;   // "urn:sha1:..." or empty
    int SourcesLeft(int download) const;    // 5: 0 = nothing left to try
    void Remove(int download);              // 19

private:
    std::shared_ptr<Servent> m_pServent;
};

class GnucCore {
public:
    GnucCore(const std::filesystem::path& workingDirectory, ServentLimits limits);

    std::string Describe() const;                    // 18: the component's name and version
    std::unique_ptr<GnucPreferences> Preferences();  // 9
    std::unique_ptr<GnucNetwork> Network();          // 5
    std::unique_ptr<GnucHostCache> HostCache();      // 6
    std::unique_ptr<GnucMetadata> Metadata();        // 23
    std::unique_ptr<GnucSearch> Search();            // 10
    std::unique_ptr<GnucDownloads> Downloads();      // 11
    // 16 and 17 make the User-Agent ("Kavelin" and "1.00 Beta" give
    // "Kavelin/1.00"). 22 (client code) and 2 (nickname) are accepted and
    // dropped: a leaf that shares nothing and sends no vendor messages has no
    // place for either on the wire.
    void SetClientName(const std::string& name);        // 16
    void SetClientVersion(const std::string& version);  // 17
    void SetClientCode(const std::string&) {}           // 22
    void SetNickname(const std::string&) {}             // 2
    int DownloadRate() const;                           // 14: bytes per second
    int UploadRate() const;                             // 15: bytes per second
    // The bootstrap list read when the working directory has no kBootstrapFile.
    void SetBootstrapFallback(std::string list);
    // 24: 1 joins the Gnutella network from the host caches; 2 also lets the
    // leaf ask UDP host caches and web caches for hosts when no cached host answers.
    void Connect(int network);

private:
    std::shared_ptr<Servent> m_pServent;
    std::string m_strName = "Kavelin";
    std::string m_strVersion = "1.00";
};

inline constexpr const char* kGnutellaProgId = "GnucCOM.Core";

// The factory: a core for "GnucCOM.Core", nullptr for any other name.
std::unique_ptr<GnucCore> CreateObject(
    const std::string& progId,
    const std::filesystem::path& workingDirectory = std::filesystem::current_path(),
    ServentLimits limits = {});

}  // namespace kavelin::gnutella
