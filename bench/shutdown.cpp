// How long the program takes to end after Exit, following a spell of
// listening: the whole program runs (offscreen platform, the built-in player
// on mpv's null output when no sound server answers) over a catalog of short
// generated tracks, so that tracks change every few seconds and the scanner
// idles with an empty queue, as after a listening session. After the given
// number of seconds the bench chooses Exit and measures until the program's
// run has returned. Ends with a line plays=<n> shutdown_ms=<value>.
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/KavelinApp.h"
#include "catalog/ADODataBase.h"
#include "catalog/ADORecordset.h"
#include "catalog/CatalogOperations.h"
#include "ui/MainDlg.h"
#include "ui/QtMessageShell.h"

using namespace kavelin;

namespace {

constexpr int kTracks = 12;
constexpr double kTrackSeconds = 4.0;

bool BuildCatalog(const std::filesystem::path& directory) {
    std::filesystem::copy_file(KAVELIN_FRESH_CATALOG, directory / "Kavelin.mdb");
    CADODataBase db;
    if (!db.Connect("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" +
                        (directory / "Kavelin.mdb").string() + ";",
                    "", "")) {
        return false;
    }
    for (int track = 1; track <= kTracks; ++track) {
        const auto file = directory / ("tone" + std::to_string(track) + ".mp3");
        const std::string command = "sox -V1 -n -r 44100 -c 1 -b 16 -t wav - synth " +
                                    std::to_string(kTrackSeconds) + " sine " +
                                    std::to_string(200 + 40 * track) + " | lame --quiet -b 64 - '" +
                                    file.string() + "'";
        if (std::system(command.c_str()) != 0) {
            return false;
        }
        db.ExecuteStatement("INSERT INTO tTrack(Filename, Artist, Trackname) VALUES ('" +
                            QuoteForSql(file.string()) + "', 'Bench', 'Tone " +
                            std::to_string(track) + "')");
    }
    SetSettingInt(db, "FirstUse", 0);
    SetSettingInt(db, "Voice", 0);
    SetSettingInt(db, "Player", 1);
    db.Disconnect();
    return true;
}

long PlaysRecorded(const std::filesystem::path& directory) {
    CADODataBase db;
    db.Connect("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" +
                   (directory / "Kavelin.mdb").string() + ";",
               "", "");
    CADORecordset rs(db);
    long plays = 0;
    if (rs.OpenSource("SELECT Sum(Played) FROM tTrackMood", CADORecordset::SourceQuery)) {
        rs.ReadField(0, plays);
    }
    return plays;
}

}  // namespace

int main(int argc, char** argv) {
    int listenSeconds = 60;
    if (argc == 3 && std::string(argv[1]) == "--listen" && std::atoi(argv[2]) > 0) {
        listenSeconds = std::atoi(argv[2]);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--listen SECONDS]\n", argv[0]);
        return 2;
    }
    char pattern[] = "/tmp/kavelin-shutdown-XXXXXX";
    const std::filesystem::path directory = mkdtemp(pattern);
    if (!BuildCatalog(directory)) {
        std::fprintf(stderr, "could not prepare the catalog (sox and lame are needed)\n");
        return 1;
    }
    std::filesystem::current_path(directory);

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    InstallMessageShell(std::make_shared<QtMessageShell>());

    QElapsedTimer sinceExit;
    // Dismisses the download dialog; once the main window is shown, listens
    // for the given time and then chooses Exit.
    struct Watcher : QObject {
        QElapsedTimer* sinceExit;
        int listenMs;
        bool eventFilter(QObject* object, QEvent* event) override {
            if (event->type() != QEvent::Show || !object->isWidgetType()) {
                return false;
            }
            auto* widget = static_cast<QWidget*>(object);
            if (auto* main = qobject_cast<CMainDlg*>(widget)) {
                if (!sinceExit->isValid()) {
                    QTimer::singleShot(listenMs, main, [this, main] {
                        sinceExit->start();
                        main->RunCommand(ID_EXIT);
                    });
                }
            } else if (auto* dialog = qobject_cast<QDialog*>(widget);
                       dialog && dialog->isModal() && !sinceExit->isValid()) {
                QTimer::singleShot(0, dialog, [dialog] { dialog->reject(); });
            }
            return false;
        }
    } watcher;
    watcher.sinceExit = &sinceExit;
    watcher.listenMs = listenSeconds * 1000;
    application.installEventFilter(&watcher);

    double shutdownMs = -1;
    {
        CKavelinApp app;
        const int status = app.Run();
        if (!sinceExit.isValid() || status != 0) {
            std::fprintf(stderr, "the program did not run to Exit (status %d)\n", status);
            return 1;
        }
        shutdownMs = static_cast<double>(sinceExit.nsecsElapsed()) / 1e6;
    }
    const long plays = PlaysRecorded(directory);
    std::filesystem::current_path("/");
    std::filesystem::remove_all(directory);
    std::printf("listened_s=%d\nplays=%ld shutdown_ms=%.0f\n", listenSeconds, plays, shutdownMs);
    return 0;
}
