#include <QApplication>

#include "app/KavelinApp.h"
#include "ui/QtMessageShell.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    application.setApplicationName("Kavelin");
    // The program ends with the main window's Exit, not when its last window closes.
    application.setQuitOnLastWindowClosed(false);
    kavelin::InstallMessageShell(std::make_shared<kavelin::QtMessageShell>());
    kavelin::CKavelinApp app;
    return app.Run();
}
