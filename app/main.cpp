#include <QApplication>

#include "app/KavelinApp.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    kavelin::CKavelinApp app;
    return app.Run();
}
