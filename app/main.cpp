#include "app/KavelinApp.h"

int main() {
    kavelin::CKavelinApp app;
    return app.Run();
}
