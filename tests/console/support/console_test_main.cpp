// main of the console's test programs: an application on the offscreen platform, then the
// tests.
#include <QApplication>
#include <clocale>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Qt wants a private runtime directory; the tests' own keeps the build tree clean.
    if (!std::getenv("XDG_RUNTIME_DIR")) {
        static char runtime[] = "/tmp/kv-console-test-XXXXXX";
        if (mkdtemp(runtime))
            setenv("XDG_RUNTIME_DIR", runtime, 1);
    }
    std::setlocale(LC_ALL, "");
    QApplication application(argc, argv);
    QApplication::setApplicationName("Console test");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
