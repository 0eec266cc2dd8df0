// Drains a scan queue that holds one directory tree, on a fresh catalog, and
// prints how fast the files became tracks or duplicates.
//   kavelin_scan_bench <catalog file to create> <tree root>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "catalog/ADODataBase.h"
#include "catalog/ADORecordset.h"
#include "library/InfoReader.h"

namespace {

// Stops the reader at its first report from an empty queue.
class StopWhenIdle : public kavelin::MessageTarget {
public:
    explicit StopWhenIdle(kavelin::InfoReader& reader) : m_reader(reader) {}
    void PostMessage(unsigned message, std::intptr_t, std::intptr_t) override {
        if (message == kavelin::WM_INFOREADER_COUNT && m_reader.m_bBusy == 0) {
            m_reader.m_bStop = true;
        }
    }

private:
    kavelin::InfoReader& m_reader;
};

long Scalar(kavelin::CADODataBase& database, const char* sql) {
    kavelin::CADORecordset rs(database);
    long value = -1;
    if (rs.OpenSource(sql, kavelin::CADORecordset::SourceQuery) && !rs.AtEnd()) {
        rs.ReadField(0, value);
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <catalog file to create> <tree root>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path catalog = argv[1];
    std::string root = std::filesystem::absolute(argv[2]).string();
    if (root.back() != '/') {
        root += '/';
    }
    std::filesystem::copy_file(KAVELIN_FRESH_CATALOG, catalog,
                               std::filesystem::copy_options::overwrite_existing);

    kavelin::CADODataBase database;
    if (!database.Connect("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + catalog.string() + ";",
                          "", "")) {
        std::fprintf(stderr, "%s\n", database.GetLastErrorText().c_str());
        return 1;
    }
    kavelin::PendingWrites writes(database, (catalog.parent_path() / "Kavelin.pending").string());
    kavelin::InfoReader reader(database, writes, std::chrono::milliseconds(1));
    StopWhenIdle target(reader);

    const auto start = std::chrono::steady_clock::now();
    reader.QueueDirectory(root);
    reader.SetMainWindow(&target);
    reader.Run();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const long tracks = Scalar(database, "SELECT COUNT(*) FROM tTrack");
    const long duplicates = Scalar(database, "SELECT COUNT(*) FROM tDuplicate");
    long queued = Scalar(database, "SELECT COUNT(*) FROM tInfoRead");
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);

    // The same tree added again, as a user does after adding a few albums to
    // it: every file is known, so none is read and each leaves the queue at once.
    const auto rescanStart = std::chrono::steady_clock::now();
    reader.QueueDirectory(root);
    reader.m_bStop = false;  // the queueing's report of an idle reader asked for a stop
    reader.Run();
    const double rescanSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - rescanStart).count();
    const long known = Scalar(database, "SELECT COUNT(*) FROM tTrack") +
                       Scalar(database, "SELECT COUNT(*) FROM tDuplicate");
    queued += Scalar(database, "SELECT COUNT(*) FROM tInfoRead");
    // CPU time as well: on a loaded machine the wall clock measures the neighbours too.
    const double cpuSeconds =
        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("kavelin_files=%ld\nkavelin_tracks=%ld\nkavelin_duplicates=%ld\n",
                tracks + duplicates, tracks, duplicates);
    std::printf("kavelin_queue_left=%ld\nkavelin_seconds=%.3f\nkavelin_files_per_s=%.1f\n", queued,
                seconds, static_cast<double>(tracks + duplicates) / seconds);
    std::printf("kavelin_cpu_seconds=%.3f\nkavelin_files_per_cpu_s=%.1f\n", cpuSeconds,
                static_cast<double>(tracks + duplicates) / cpuSeconds);
    std::printf("kavelin_peak_rss_kb=%ld\n", usage.ru_maxrss);
    std::printf("kavelin_rescan_seconds=%.3f\nkavelin_rescan_files_per_s=%.1f\n", rescanSeconds,
                static_cast<double>(known) / rescanSeconds);
    database.Disconnect();
    // A rescan that recorded anything again would be a fault.
    return queued == 0 && known == tracks + duplicates ? 0 : 1;
}
