// Time from process start to the main window shown, and the peak resident
// memory by then, with a catalog of 100,000 tracks (offscreen platform).
// Prepares the catalog in a temporary directory, then starts itself again in
// that directory so that the measured process starts from nothing, as the
// program does. The bench dismisses the download dialog and exits from the
// main window once it is shown. Ends with a line startup_ms=<value> rss_mb=<value>.
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/KavelinApp.h"
#include "catalog/ADODataBase.h"
#include "catalog/CatalogOperations.h"
#include "ui/MainDlg.h"
#include "ui/QtMessageShell.h"

using namespace kavelin;

namespace {

constexpr int kTracks = 100000;

void BuildCatalog(const std::filesystem::path& directory) {
    std::filesystem::copy_file(KAVELIN_FRESH_CATALOG, directory / "Kavelin.mdb");
    CADODataBase db;
    db.Connect("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" +
                   (directory / "Kavelin.mdb").string() + ";",
               "", "");
    {
        CADOTransaction transaction(db);
        char sql[400];
        for (int track = 1; track <= kTracks; ++track) {
            std::snprintf(sql, sizeof sql,
                          "INSERT INTO tTrack(Filename, Artist, Trackname, Album, Year, GenreID, "
                          "FingerPrint, BitRate, SearchString) VALUES ('/music/a%d/t%d.mp3', "
                          "'Artist %d', 'Track %d', 'Album %d', '1999', %d, 'fp%d', 192, 'T')",
                          track % 2000, track, track % 2000, track, track % 9000, track % 148,
                          track);
            db.ExecuteStatement(sql);
        }
        transaction.Commit();
    }
    SetSettingInt(db, "FirstUse", 0);
    db.ExecuteStatement("ANALYZE");
    db.Disconnect();
}

// Milliseconds since this process started, from the kernel's record of its start.
double MillisecondsSinceProcessStart() {
    std::ifstream stat("/proc/self/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends with the last ')'.
    std::size_t position = content.rfind(')') + 2;
    unsigned long long startTicks = 0;
    for (int field = 3; field <= 22; ++field) {
        const std::size_t next = content.find(' ', position);
        if (field == 22) {
            startTicks = std::stoull(content.substr(position, next - position));
        }
        position = next + 1;
    }
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double nowMs = now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
    return nowMs - startTicks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int Measure(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    InstallMessageShell(std::make_shared<QtMessageShell>());

    double startupMs = -1;
    long rssKb = 0;
    // Watches windows being shown: dialogs before the main window are dismissed,
    // the main window stops the clock and exits.
    struct Watcher : QObject {
        double* startup;
        long* rss;
        bool eventFilter(QObject* object, QEvent* event) override {
            if (event->type() != QEvent::Show || !object->isWidgetType()) {
                return false;
            }
            auto* widget = static_cast<QWidget*>(object);
            if (!widget->isWindow()) {
                return false;
            }
            if (auto* main = qobject_cast<CMainDlg*>(widget)) {
                if (*startup < 0) {
                    *startup = MillisecondsSinceProcessStart();
                    rusage usage{};
                    getrusage(RUSAGE_SELF, &usage);
                    *rss = usage.ru_maxrss;
                    QTimer::singleShot(0, main, [main] { main->RunCommand(ID_EXIT); });
                }
            } else if (auto* dialog = qobject_cast<QDialog*>(widget);
                       dialog && *startup < 0 && dialog->isModal()) {
                QTimer::singleShot(0, dialog, [dialog] { dialog->reject(); });
            }
            return false;
        }
    } watcher;
    watcher.startup = &startupMs;
    watcher.rss = &rssKb;
    application.installEventFilter(&watcher);

    CKavelinApp app;
    const int status = app.Run();
    if (startupMs < 0) {
        std::fprintf(stderr, "the main window was never shown (status %d)\n", status);
        return 1;
    }
    std::printf("tracks=%d\nstartup_ms=%.0f rss_mb=%.1f\n", kTracks, startupMs, rssKb / 1024.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--measure") {
        std::filesystem::current_path(argv[2]);
        return Measure(argc, argv);
    }
    char pattern[] = "/tmp/kavelin-startup-XXXXXX";
    const std::filesystem::path directory = mkdtemp(pattern);
    std::printf("preparing a catalog of %d tracks in %s\n", kTracks, directory.c_str());
    std::fflush(stdout);
    BuildCatalog(directory);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string command = "'" + self + "' --measure '" + directory.string() + "'";
    const int status = std::system(command.c_str());
    std::filesystem::remove_all(directory);
    return status == 0 ? 0 : 1;
}
