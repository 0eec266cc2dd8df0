// Time from process start to the main window shown, and the peak resident
// memory by then, with a catalog of N tracks (--tracks N, 100,000 unless
// given) by N/10 artists (offscreen platform). Then the catalog window: the
// time from the Catalog command to its tree painted, the slowest page while
// paging from the first artist to the last, and the time to expand an
// artist in the middle of the list.
// Prepares the catalog in a temporary directory, then starts itself again in
// that directory so that the measured process starts from nothing, as the
// program does. The bench dismisses the download dialog and exits from the
// main window once it has measured. Ends with the lines
// startup_ms=<value> rss_mb=<value> and catalog_window_ms=<value> ...
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/KavelinApp.h"
#include "catalog/ADODataBase.h"
#include "catalog/CatalogOperations.h"
#include "ui/CatalogTreeView.h"
#include "ui/MainDlg.h"
#include "ui/QtMessageShell.h"

using namespace kavelin;

namespace {

void BuildCatalog(const std::filesystem::path& directory, int tracks) {
    const std::filesystem::path file = directory / "Kavelin.mdb";
    std::filesystem::copy_file(KAVELIN_FRESH_CATALOG, file);
    // Written straight into the file: the catalog layer's one statement at a
    // time would take longer than everything measured.
    sqlite3* handle = nullptr;
    sqlite3_open(file.c_str(), &handle);
    const int artists = std::max(1, tracks / 10);
    char sql[1024];
    std::snprintf(sql, sizeof sql,
                  "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                  "%d) INSERT INTO tTrack(Filename, Artist, Trackname, Album, Year, GenreID, "
                  "FingerPrint, BitRate, SearchString) SELECT '/music/a' || (i %% %d) || '/t' || i "
                  "|| '.mp3', 'Artist ' || (i %% %d), 'Track ' || i, 'Album ' || (i %% 9000), "
                  "'1999', i %% 148, 'fp' || i, 192, 'T' FROM n; COMMIT; ANALYZE;",
                  tracks, artists, artists);
    char* error = nullptr;
    if (sqlite3_exec(handle, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "cannot fill the catalog: %s\n", error);
        std::exit(1);
    }
    sqlite3_close(handle);
    CADODataBase db;
    db.Connect("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + file.string() + ";", "", "");
    SetSettingInt(db, "FirstUse", 0);
    db.Disconnect();
}

double Elapsed(const QElapsedTimer& clock) {
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

// Opens the catalog window and scrolls through it; prints the figures.
// Counts the paints of a widget, so that a figure without painting shows as such.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return false;
    }
};

// Opens the catalog window and pages through it to the last artist, as the
// Page Down key does; prints the figures. False when the tree was never painted.
bool MeasureCatalogWindow(CMainDlg& main) {
    QElapsedTimer clock;
    clock.start();
    main.RunCommand(ID_SHOW_CATALOG);
    CCatalogTreeView& window = *main.CatalogWindow();
    QTreeView& tree = *window.Tree();
    PaintCounter counter;
    tree.viewport()->installEventFilter(&counter);
    // The window is painted once the platform has shown it.
    while (counter.paints == 0 && clock.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    const double openMs = Elapsed(clock);
    const int openPaints = counter.paints;

    QScrollBar& bar = *tree.verticalScrollBar();
    CatalogModel& model = *window.Model();
    double slowestStepMs = 0;
    int steps = 0;
    while ((bar.value() < bar.maximum() || model.canFetchMore({})) && steps < 1000000) {
        clock.restart();
        bar.triggerAction(QAbstractSlider::SliderPageStepAdd);
        tree.viewport()->repaint();
        slowestStepMs = std::max(slowestStepMs, Elapsed(clock));
        ++steps;
    }

    const QModelIndex middle = model.index(model.rowCount() / 2, 0);
    clock.restart();
    tree.scrollTo(middle);
    tree.expand(middle);
    tree.viewport()->repaint();
    const double expandMs = Elapsed(clock);
    std::printf(
        "artists=%d pages=%d paints=%d\n"
        "catalog_window_ms=%.0f catalog_page_max_ms=%.1f catalog_expand_ms=%.1f\n",
        model.rowCount(), steps, counter.paints, openMs, slowestStepMs, expandMs);
    if (openPaints == 0 || counter.paints < steps) {
        std::fprintf(stderr, "the catalog tree was not painted at each step\n");
        return false;
    }
    return true;
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

int Measure(int argc, char** argv, int tracks) {
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
        bool* catalogPainted;
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
                    QTimer::singleShot(0, main, [this, main] {
                        *catalogPainted = MeasureCatalogWindow(*main);
                        main->RunCommand(ID_EXIT);
                    });
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
    bool catalogPainted = false;
    watcher.catalogPainted = &catalogPainted;
    application.installEventFilter(&watcher);

    CKavelinApp app;
    const int status = app.Run();
    if (startupMs < 0) {
        std::fprintf(stderr, "the main window was never shown (status %d)\n", status);
        return 1;
    }
    std::printf("tracks=%d\nstartup_ms=%.0f rss_mb=%.1f\n", tracks, startupMs, rssKb / 1024.0);
    return catalogPainted ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--measure") {
        std::filesystem::current_path(argv[2]);
        return Measure(argc, argv, std::atoi(argv[3]));
    }
    int tracks = 100000;
    if (argc == 3 && std::string(argv[1]) == "--tracks" && std::atoi(argv[2]) > 0) {
        tracks = std::atoi(argv[2]);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--tracks N]\n", argv[0]);
        return 2;
    }
    char pattern[] = "/tmp/kavelin-startup-XXXXXX";
    const std::filesystem::path directory = mkdtemp(pattern);
    std::printf("preparing a catalog of %d tracks in %s\n", tracks, directory.c_str());
    std::fflush(stdout);
    BuildCatalog(directory, tracks);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string command =
        "'" + self + "' --measure '" + directory.string() + "' " + std::to_string(tracks);
    const int status = std::system(command.c_str());
    std::filesystem::remove_all(directory);
    return status == 0 ? 0 : 1;
}
