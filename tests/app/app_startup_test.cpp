// Start-up in the working directory, and the workers' stop handshake.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <vector>

#include "app/KavelinApp.h"
#include "app/WorkerThread.h"
#include "catalog/CatalogFile.h"
#include "catalog/CatalogOperations.h"
#include "tests/acquisition/HttpTestServer.h"
#include "tests/app/OutsideDestinations.h"
#include "tests/support/TestCatalog.h"
#include "ui/DownloadDlg.h"
#include "ui/MainDlg.h"

namespace kavelin {
namespace {

// Closes each modal dialog of start-up as the user would, with cancel,
// after telling `onDialog` which one it is.
class DialogCanceller {
public:
    explicit DialogCanceller(std::function<void(QDialog&)> onDialog) : m_onDialog(onDialog) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                m_onDialog(*dialog);
                dialog->reject();
            }
        });
        m_timer.start(10);
    }

private:
    std::function<void(QDialog&)> m_onDialog;
    QTimer m_timer;
};

// Runs the test inside a directory of its own, as the launcher runs the program.
class InDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous = std::filesystem::current_path();
        std::filesystem::remove(catalog.CatalogPath());
        std::filesystem::current_path(catalog.Directory());
    }
    void TearDown() override { std::filesystem::current_path(m_previous); }

    static std::string Contents(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    test::TestCatalog catalog;
    test::ScopedMessageShell messages;

private:
    std::filesystem::path m_previous;
};

TEST(OutsideDestinations, EverySendOfTheProcessIsSeen) {
    // 0.0.0.0 means this host to Linux: the datagram never leaves the machine,
    // yet it is not a loopback address, so the recorder must name it.
    test::ForgetOutsideDestinations();
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9);
    sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    close(fd);
    EXPECT_EQ(test::OutsideDestinations(), std::vector<std::string>{"0.0.0.0"});
}

TEST_F(InDirectory, MissingCatalogShowsTheMessageAndEnds) {
    CKavelinApp app;
    EXPECT_EQ(app.Run(), 1);
    const auto shown = messages.shell().Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, kMissingCatalogText);
    EXPECT_EQ(shown[0].title, "Fatal Error...");
    EXPECT_EQ(shown[0].icon, MessageIcon::Error);
    EXPECT_EQ(app.GetDataBase(), nullptr);
    EXPECT_FALSE(std::filesystem::exists("Kavelin.mdb"));  // never created
}

TEST_F(InDirectory, ForeignFileIsLeftUntouched) {
    // The first bytes of a desktop database of another system.
    std::string foreign("\x00\x01\x00\x00Standard Jet DB\x00", 20);
    foreign += std::string(4096, '\x7f');
    std::ofstream("Kavelin.mdb", std::ios::binary) << foreign;
    CKavelinApp app;
    EXPECT_EQ(app.Run(), 1);
    const auto shown = messages.shell().Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, ForeignCatalogText());
    EXPECT_EQ(Contents("Kavelin.mdb"), foreign);
    EXPECT_FALSE(std::filesystem::exists("Kavelin.mdb-wal"));

    // An SQLite file that is not a Kavelin catalog is not ours either.
    std::filesystem::remove("Kavelin.mdb");
    std::string otherSqlite("SQLite format 3\0", 16);
    otherSqlite += std::string(84, '\0');
    std::ofstream("Kavelin.mdb", std::ios::binary) << otherSqlite;
    CKavelinApp second;
    EXPECT_EQ(second.Run(), 1);
    EXPECT_EQ(Contents("Kavelin.mdb"), otherSqlite);
}

TEST_F(InDirectory, FreshCatalogStartsAndEndsCleanly) {
    std::filesystem::copy_file(KAVELIN_FRESH_CATALOG, "Kavelin.mdb");
    test::HttpTestServer updatePage;
    setenv("KAVELIN_UPDATE_HOST", updatePage.Address().c_str(), 1);
    updatePage.SetResponder([](const test::SeenRequest&) {
        return std::vector<std::string>{test::HttpResponse(200, "http://kavelin.test/new")};
    });
    std::vector<std::string> dialogs;
    std::size_t updateChecksDuringDialog = 0;
    DialogCanceller canceller([&](QDialog& dialog) {
        dialogs.push_back(dialog.windowTitle().toStdString());
        EXPECT_NE(qobject_cast<CDownloadDlg*>(&dialog), nullptr);
        updateChecksDuringDialog += updatePage.Requests().size();
    });

    SetSettingInt(catalog.Database(), "FirstUse", 0);
    SetSettingInt(catalog.Database(), "Voice", 0);
    catalog.Database().Disconnect();
    // The user quits with Exit as soon as the main window is up.
    bool windowShown = false;
    QTimer exit;
    QObject::connect(&exit, &QTimer::timeout, [&] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (auto* main = qobject_cast<CMainDlg*>(window); main && main->isVisible()) {
                windowShown = true;
                main->RunCommand(ID_EXIT);
            }
        }
    });
    exit.start(50);
    test::ForgetOutsideDestinations();
    CKavelinApp app;
    EXPECT_EQ(app.Run(), 0);
    EXPECT_TRUE(windowShown);
    // A fresh start with downloading off reaches nothing beyond this machine.
    EXPECT_EQ(test::OutsideDestinations(), std::vector<std::string>{});
    EXPECT_TRUE(messages.shell().Messages().empty());
    EXPECT_EQ(app.GetDataBase(), nullptr);  // disconnected and destroyed at shutdown

    // The download dialog ran once, before the update check was sent.
    EXPECT_EQ(dialogs, std::vector<std::string>{"Download"});
    EXPECT_EQ(updateChecksDuringDialog, 0u);
    // The check's reply is handled while the program's event loop runs.
    EXPECT_TRUE(test::WaitUntil([&] { return !messages.shell().Opened().empty(); }));
    unsetenv("KAVELIN_UPDATE_HOST");
    ASSERT_EQ(updatePage.Requests().size(), 1u);
    EXPECT_EQ(updatePage.Requests()[0].method, "POST");
    EXPECT_EQ(updatePage.Requests()[0].target, "/Updates.asp");
    EXPECT_EQ(updatePage.Requests()[0].body, "version=1.00b");
    EXPECT_EQ(messages.shell().Opened(), std::vector<std::string>{"http://kavelin.test/new"});
    // Exit wrote the options, whichever player could be started.
    CADODataBase reopened;
    ASSERT_TRUE(reopened.Connect(catalog.ConnectionString(), "", ""));
    EXPECT_EQ(GetSettingInt(reopened, "Voice"), 0);
    EXPECT_EQ(GetSettingInt(reopened, "Download"), 0);
    const int player = GetSettingInt(reopened, "Player");
    EXPECT_TRUE(player == 1 || player == 2) << player;
}

// A catalog cut short: the user is offered to move it aside for a fresh one.
TEST_F(InDirectory, DamagedCatalogIsMovedAsideOnlyWhenTheUserSaysSo) {
    std::filesystem::copy_file(KAVELIN_FRESH_CATALOG, "Kavelin.mdb");
    std::filesystem::resize_file("Kavelin.mdb", 100);
    const std::string damaged = Contents("Kavelin.mdb");
    setenv("KAVELIN_FRESH_CATALOG", KAVELIN_FRESH_CATALOG, 1);
    char today[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(today, sizeof today, "%Y-%m-%d", std::localtime(&now));
    const std::string aside = std::string("Kavelin-damaged-") + today + ".mdb";

    messages.shell().answer = MessageAnswer::No;
    {
        CKavelinApp app;
        EXPECT_EQ(app.Run(), 1);
    }
    auto shown = messages.shell().Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, DamagedCatalogText(catalog.Directory().string(), aside));
    EXPECT_NE(shown[0].text.find("(nothing is deleted)"), std::string::npos);
    EXPECT_EQ(Contents("Kavelin.mdb"), damaged);

    // The fresh catalog on offer, with its first use behind it.
    const std::string fresh = (catalog.Directory() / "fresh.mdb").string();
    std::filesystem::copy_file(KAVELIN_FRESH_CATALOG, fresh);
    {
        CADODataBase prepare;
        ASSERT_TRUE(prepare.Connect("Data Source=" + fresh + ";", "", ""));
        SetSettingInt(prepare, "FirstUse", 0);
        SetSettingInt(prepare, "Voice", 0);
    }
    setenv("KAVELIN_FRESH_CATALOG", fresh.c_str(), 1);
    std::ofstream("Kavelin.pending") << "Kavelin pending writes 1\nR 1 7 4\n";
    messages.shell().answer = MessageAnswer::Yes;
    DialogCanceller canceller([](QDialog&) {});
    QTimer exit;
    QObject::connect(&exit, &QTimer::timeout, [&] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (auto* main = qobject_cast<CMainDlg*>(window); main && main->isVisible()) {
                main->RunCommand(ID_EXIT);
            }
        }
    });
    exit.start(50);
    {
        CKavelinApp app;
        EXPECT_EQ(app.Run(), 0);
    }
    unsetenv("KAVELIN_FRESH_CATALOG");
    EXPECT_EQ(Contents(aside), damaged);
    EXPECT_EQ(CheckCatalogFile("Kavelin.mdb"), CatalogFileState::Present);
    // The writes that waited belong to the damaged catalog's tracks.
    EXPECT_EQ(Contents(std::filesystem::path(aside).replace_extension(".pending")),
              "Kavelin pending writes 1\nR 1 7 4\n");
    EXPECT_EQ(messages.shell().Messages().size(), 2u) << "only the offer was shown again";
}

TEST(WorkerThread, AFailingLoopIsReportedAndRunAgainUntilItEnds) {
    test::ScopedMessageShell messages;
    std::atomic<int> runs{0};
    std::mutex lock;
    std::vector<std::string> reports;
    WorkerThread thread(
        "Downloader",
        [&] {
            if (++runs < 3) {
                throw std::runtime_error("disk I/O error");
            }
        },
        nullptr,
        [&](const std::string& text) {
            std::lock_guard guard(lock);
            reports.push_back(text);
        },
        std::chrono::milliseconds(10));
    thread.Start();
    ASSERT_TRUE(test::WaitUntil([&] { return thread.HasEnded(); }));
    EXPECT_EQ(runs, 3);
    std::lock_guard guard(lock);
    EXPECT_EQ(reports, std::vector<std::string>(
                           2,
                           "Unexpected error in module Downloader (disk I/O error). Trying again "
                           "in 1 s."));
    EXPECT_TRUE(messages.shell().Messages().empty()) << "no box: the worker goes on";
}

TEST(WorkerThread, AStopRequestEndsThePauseAfterAnError) {
    std::atomic<bool> stop{false};
    std::atomic<bool> stopped{false};
    std::atomic<int> reports{0};
    WorkerThread thread(
        "TrackPlayer", [] { throw std::runtime_error("boom"); }, &stop,
        [&](const std::string&) { ++reports; }, std::chrono::seconds(30));
    thread.Start();
    ASSERT_TRUE(test::WaitUntil([&] { return reports > 0; }));
    const auto started = std::chrono::steady_clock::now();
    StopAndWait(stop, stopped, thread, std::chrono::milliseconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_TRUE(thread.HasEnded());
    EXPECT_FALSE(stopped);
    EXPECT_EQ(reports, 1);
}

TEST(WorkerThread, StopHandshakeWaitsForTheReport) {
    std::atomic<bool> stop{false};
    std::atomic<bool> stopped{false};
    std::atomic<int> passes{0};
    WorkerThread thread("InfoReader", [&] {
        while (!stop) {
            ++passes;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        stopped = true;
        // The thread lingers after reporting, as a worker cleaning up would.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    thread.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    StopAndWait(stop, stopped, thread, std::chrono::milliseconds(10));
    EXPECT_TRUE(stopped);
    EXPECT_GT(passes.load(), 0);
}

}  // namespace
}  // namespace kavelin
