// Entry of the window tests: runs every registered QtTest class and closes with one line
// "<suite>: N passed, F failed[, K skipped]" (suite from --suite=NAME, default "ui").
// Arguments: [--suite=NAME] [ClassName [QtTest options...]].
// "--startup-child=quit|hold" runs the program's start-up instead (see startup_test.cpp).
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <memory>

#include "uitest.h"

int RunStartupChild(int argc, char** argv, const char* mode);

namespace {

struct Totals {
    int passed = 0, failed = 0, skipped = 0;
};

// Runs one class with its report also written to a file, whose "Totals:" line is then read.
void RunClass(const QString& name, uitest::Factory& factory, const QStringList& options,
              const QString& reportDir, Totals& totals) {
    const QString report = reportDir + "/" + name + ".txt";
    QStringList args{QStringLiteral("ui_tests"), "-o", report + ",txt", "-o", "-,txt"};
    args += options;
    std::unique_ptr<QObject> test(factory());
    const int failures = QTest::qExec(test.get(), args);
    QFile file(report);
    file.open(QIODevice::ReadOnly);
    const QString text = QString::fromUtf8(file.readAll());
    const QRegularExpression line("Totals: (\\d+) passed, (\\d+) failed, (\\d+) skipped");
    const auto match = line.match(text);
    if (!match.hasMatch()) {
        totals.failed += qMax(failures, 1);  // a crash or a broken report counts as a failure
        return;
    }
    totals.passed += match.captured(1).toInt();
    totals.failed += match.captured(2).toInt();
    totals.skipped += match.captured(3).toInt();
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--startup-child=", 16) == 0) {
            return RunStartupChild(argc, argv, argv[i] + 16);
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QString suite = "ui";
    QStringList rest;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg.startsWith("--suite=")) {
            suite = arg.mid(8);
        } else {
            rest << arg;
        }
    }
    QApplication app(argc, argv);
    // Log records of the engine land in "log" of the working folder: keep them out of the tree.
    QTemporaryDir work;
    QDir::setCurrent(work.path());

    QString only;
    if (!rest.isEmpty() && !rest.first().startsWith('-')) only = rest.takeFirst();
    Totals totals;
    for (auto& [name, factory] : uitest::Registry()) {
        if (!only.isEmpty() && name != only) continue;
        RunClass(name, factory, rest, work.path(), totals);
    }
    std::printf("\n%s: %d passed, %d failed", suite.toUtf8().constData(), totals.passed,
                totals.failed);
    if (totals.skipped > 0) std::printf(", %d skipped", totals.skipped);
    std::printf("\n");
    std::fflush(stdout);
    return totals.failed == 0 ? 0 : 1;
}
