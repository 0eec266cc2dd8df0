#include "platform/gnutella/GnucCom.h"

#include <algorithm>

namespace kavelin::gnutella {
namespace {

int Bounded(int value, int low, int high, const char* what) {
    if (value < low || value > high) {
        throw GnutellaError(std::string(what) + " out of range: " + std::to_string(value));
    }
    return value;
}

}  // namespace

template <typename Change>
void GnucPreferences::Update(const char* name, Change change) {
    // What the user's configuration file says stays.
    if (m_pServent->Configured(name)) {
        return;
    }
    auto preferences = m_pServent->GetPreferences();
    change(preferences);
    m_pServent->SetPreferences(preferences);
}

void GnucPreferences::LoadConfiguration(const std::string& file) {
    m_pServent->LoadConfiguration(file);
}
void GnucPreferences::LoadBlockedHosts(const std::string& file) {
    m_pServent->LoadBlocked(file);
}
void GnucPreferences::SetAttemptsPerSource(int attempts) {
    Update("AttemptsPerSource", [&](auto& p) {
        p.attemptsPerSource = Bounded(attempts, 1, 100, "attempts per source");
    });
}
void GnucPreferences::SetDownloadLimit(float kibPerSecond) {
    if (!(kibPerSecond >= 0.0f && kibPerSecond <= 1e7f)) {
        throw GnutellaError("download limit out of range");
    }
    Update("DownloadLimitKiB", [&](auto& p) { p.downloadLimitKiB = kibPerSecond; });
}
void GnucPreferences::SetUltrapeerConnections(int count) {
    Update("UltrapeerConnections", [&](auto& p) {
        p.ultrapeerConnections = Bounded(count, 0, 64, "ultrapeer connections");
    });
}
void GnucPreferences::SetConnectAttempts(int count) {
    Update("ConnectAttempts",
           [&](auto& p) { p.connectAttempts = Bounded(count, 1, 64, "connection attempts"); });
}
void GnucPreferences::SetActiveDownloads(int count) {
    Update("ActiveDownloads",
           [&](auto& p) { p.activeDownloads = Bounded(count, 1, 64, "active downloads"); });
}
void GnucPreferences::SetVerifyDownloads(bool verify) {
    Update("VerifyDownloads", [&](auto& p) { p.verifyDownloads = verify; });
}
void GnucPreferences::SetPort(int port) {
    Update("Port", [&](auto& p) { p.port = Bounded(port, 1, 65535, "port"); });
}
std::string GnucPreferences::DownloadFolder() const {
    return m_pServent->DownloadFolder().string();
}

int GnucNetwork::ConnectionCount() const {
    return m_pServent->ConnectionCount();
}

void GnucHostCache::LoadHosts(const std::string& file) {
    m_pServent->LoadCache(Servent::CacheKind::Hosts, file);
}
void GnucHostCache::LoadUltrapeers(const std::string& file) {
    m_pServent->LoadCache(Servent::CacheKind::Ultrapeers, file);
}
void GnucHostCache::LoadWebCaches(const std::string& file) {
    m_pServent->LoadCache(Servent::CacheKind::WebCaches, file);
}
void GnucHostCache::SaveHosts(const std::string& file) {
    m_pServent->SaveCache(Servent::CacheKind::Hosts, file);
}
void GnucHostCache::SaveUltrapeers(const std::string& file) {
    m_pServent->SaveCache(Servent::CacheKind::Ultrapeers, file);
}
void GnucHostCache::SaveWebCaches(const std::string& file) {
    m_pServent->SaveCache(Servent::CacheKind::WebCaches, file);
}

void GnucMetadata::LoadSchemas(const std::string& folder) {
    m_pServent->SetSchemaFolder(folder);
}

int GnucSearch::Start(const std::string& text) {
    return m_pServent->StartSearch(text);
}
void GnucSearch::Stop(int search) {
    m_pServent->StopSearch(search);
}
std::string GnucSearch::ResultName(int search, int result) const {
    return m_pServent->ResultName(search, result);
}
int GnucSearch::ResultHostCount(int search, int result) const {
    return m_pServent->ResultHostCount(search, result);
}
std::vector<std::int32_t> GnucSearch::ResultIds(int search) const {
    return m_pServent->ResultIds(search);
}
std::string GnucSearch::ResultSha1(int search, int result) const {
    return m_pServent->ResultSha1(search, result);
}
int GnucSearch::Download(int search, int result) {
    return m_pServent->DownloadResult(search, result);
}

std::vector<std::int32_t> GnucDownloads::Ids() const {
    return m_pServent->DownloadIds();
}
int GnucDownloads::State(int download) const {
    return m_pServent->GetDownloadState(download);
}
std::string GnucDownloads::Name(int download) const {
    return m_pServent->DownloadName(download);
}
std::string GnucDownloads::Sha1(int download) const {
    return m_pServent->DownloadSha1(download);
}
int GnucDownloads::SourcesLeft(int download) const {
    return m_pServent->SourcesLeft(download);
}
void GnucDownloads::Remove(int download) {
    m_pServent->RemoveDownload(download);
}

GnucCore::GnucCore(const std::filesystem::path& workingDirectory, ServentLimits limits)
    : m_pServent(std::make_shared<Servent>(workingDirectory, limits)) {}

std::string GnucCore::Describe() const {
    return "Kavelin Gnutella 0.6 leaf 1.00";
}
std::unique_ptr<GnucPreferences> GnucCore::Preferences() {
    return std::make_unique<GnucPreferences>(m_pServent);
}
std::unique_ptr<GnucNetwork> GnucCore::Network() {
    return std::make_unique<GnucNetwork>(m_pServent);
}
std::unique_ptr<GnucHostCache> GnucCore::HostCache() {
    return std::make_unique<GnucHostCache>(m_pServent);
}
std::unique_ptr<GnucMetadata> GnucCore::Metadata() {
    return std::make_unique<GnucMetadata>(m_pServent);
}
std::unique_ptr<GnucSearch> GnucCore::Search() {
    return std::make_unique<GnucSearch>(m_pServent);
}
std::unique_ptr<GnucDownloads> GnucCore::Downloads() {
    return std::make_unique<GnucDownloads>(m_pServent);
}
void GnucCore::SetClientName(const std::string& name) {
    m_strName = name;
    m_pServent->SetUserAgent(m_strName, m_strVersion);
}
void GnucCore::SetClientVersion(const std::string& version) {
    m_strVersion = version;
    m_pServent->SetUserAgent(m_strName, m_strVersion);
}
int GnucCore::DownloadRate() const {
    return m_pServent->DownloadRate();
}
int GnucCore::UploadRate() const {
    return m_pServent->UploadRate();
}
void GnucCore::SetBootstrapFallback(std::string list) {
    m_pServent->SetBootstrapFallback(std::move(list));
}
void GnucCore::Connect(int network) {
    m_pServent->Connect(network);
}

std::unique_ptr<GnucCore> CreateObject(const std::string& progId,
                                       const std::filesystem::path& workingDirectory,
                                       ServentLimits limits) {
    if (progId != kGnutellaProgId) {
        return nullptr;
    }
    return std::make_unique<GnucCore>(workingDirectory, limits);
}

}  // namespace kavelin::gnutella
