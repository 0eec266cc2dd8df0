#include <QApplication>
#include <cstdio>
#include <filesystem>

#include "app/CommandLine.h"
#include "app/KavelinApp.h"
#include "platform/log/ProgramLog.h"
#include "ui/QtMessageShell.h"

namespace {

// The toolkit's own warnings belong in the log, not on the console.
void LogQtMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
    using kavelin::LogLevel;
    const LogLevel level = type == QtFatalMsg || type == QtCriticalMsg ? LogLevel::Error
                           : type == QtWarningMsg                      ? LogLevel::Warning
                           : type == QtInfoMsg                         ? LogLevel::Info
                                                                       : LogLevel::Debug;
    kavelin::Log(level, "qt", text.toStdString());
}

}  // namespace

int main(int argc, char** argv) {
    const kavelin::CommandLine options = kavelin::ParseCommandLine(argc, argv);
    if (!options.error.empty()) {
        std::fprintf(stderr, "%s\n", options.error.c_str());
        return 2;
    }
    if (options.help || options.version) {
        std::fputs((options.help ? kavelin::UsageText() : kavelin::VersionText()).c_str(), stdout);
        return 0;
    }
    auto log = std::make_shared<kavelin::ProgramLog>(kavelin::DefaultLogFile());
    log->SetEcho(options.verbose);
    kavelin::InstallLog(log);
    qInstallMessageHandler(LogQtMessage);
    std::error_code ignored;
    kavelin::Log(kavelin::LogLevel::Info, "app",
                 "starting in " + std::filesystem::current_path(ignored).string());

    QApplication application(argc, argv);
    application.setApplicationName("Kavelin");
    // The program ends with the main window's Exit, not when its last window closes.
    application.setQuitOnLastWindowClosed(false);
    kavelin::InstallMessageShell(std::make_shared<kavelin::QtMessageShell>());
    kavelin::CKavelinApp app;
    const int status = app.Run();
    kavelin::Log(kavelin::LogLevel::Info, "app", "ended");
    return status;
}
