// The test entry for suites that need Qt's event loop: one application
// object, on the offscreen platform unless another is asked for.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Objects a test handed to deleteLater (network replies among them) go
    // while the threads they talk to still run, not with the application. An
    // aborted transfer is cleaned up through a round trip to Qt's network
    // thread; without the time for it, what that thread holds is never freed.
    QDeadlineTimer deadline(100);
    while (!deadline.hasExpired()) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return result;
}
