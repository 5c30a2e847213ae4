// Entry of the window tests: runs every registered QtTest class and closes with one line
// "<suite>: N passed, F failed[, K skipped]" (suite from --suite=NAME, default "ui").
// Arguments: [--suite=NAME] [--expect-skips=K] [ClassName [QtTest options...]].
// With --expect-skips=K a run that skips another number of cases fails: a new skip must be seen,
// and one that no longer skips taken off the count.
// "--list-classes" prints the class names, one a line (ctest makes a test of each).
// "--startup-child=quit|hold" runs the program's start-up instead (see startup_test.cpp).
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>
#include <cstdio>
#include <cstring>
#include <memory>

#include "uitest.h"

int RunStartupChild(int argc, char** argv, const char* mode);

namespace {

struct Totals {
    int passed = 0, failed = 0, skipped = 0;
};

// QtTest's own counts of one run, from the <testsuite> element of its JUnit XML report:
// tests, failures, errors and skipped, as its "Totals:" line counts them; and the lines
// "FAIL!  : Class::case() message" (and "SKIP") of that report. False when the report has none.
bool ReadReport(const QString& report, Totals& counts, QStringList& lines) {
    QFile file(report);
    if (!file.open(QIODevice::ReadOnly)) return false;
    QXmlStreamReader xml(&file);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("testsuite")) return false;
    const QXmlStreamAttributes attributes = xml.attributes();
    const auto number = [&](const char* name) {
        return attributes.value(QLatin1String(name)).toInt();
    };
    counts.failed = number("failures") + number("errors");
    counts.skipped = number("skipped");
    counts.passed = number("tests") - counts.failed - counts.skipped;
    const QString suite = attributes.value(QLatin1String("name")).toString();
    QString testCase;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) continue;
        if (xml.name() == QLatin1String("testcase")) {
            testCase = xml.attributes().value(QLatin1String("name")).toString();
        } else if (xml.name() == QLatin1String("failure") || xml.name() == QLatin1String("error") ||
                   xml.name() == QLatin1String("skipped")) {
            const bool skip = xml.name() == QLatin1String("skipped");
            lines << QStringLiteral("%1: %2::%3() %4")
                         .arg(skip ? QStringLiteral("SKIP   ") : QStringLiteral("FAIL!  "), suite,
                              testCase, xml.attributes().value(QLatin1String("message")));
        }
    }
    return true;
}

// A style sheet Qt cannot parse is dropped with a warning, and the window silently looks
// different from what it was written to look like: each such warning fails its class.
int StyleWarnings(const QString& report, const QString& name) {
    QFile file(report);
    if (!file.open(QIODevice::ReadOnly)) return 0;
    int found = 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.contains("QCssParser") && !line.contains("Could not parse")) continue;
        std::printf("FAIL!  : %s style sheet warning: %s\n", name.toUtf8().constData(),
                    line.trimmed().constData());
        ++found;
    }
    std::fflush(stdout);
    return found;
}

// Runs one class with a JUnit XML report beside the text on standard output.
void RunClass(const QString& name, uitest::Factory& factory, const QStringList& options,
              const QString& reportDir, Totals& totals) {
    const QString report = reportDir + "/" + name + ".xml";
    QStringList args{QStringLiteral("ui_tests"), "-o", report + ",junitxml", "-o", "-,txt"};
    args += options;
    std::unique_ptr<QObject> test(factory());
    const int failures = QTest::qExec(test.get(), args);
    Totals counts;
    QStringList lines;
    if (!ReadReport(report, counts, lines)) {
        totals.failed += qMax(failures, 1);  // a broken report counts as a failure
        return;
    }
#ifdef Q_OS_WIN
    // QtTest's text on standard output does not reach a pipe under Wine: the report's failures
    // and skips are what the run's log shows of them.
    for (const QString& line : lines)
        std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
#endif
    totals.passed += counts.passed;
    totals.failed += counts.failed + StyleWarnings(report, name);
    totals.skipped += counts.skipped;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--startup-child=", 16) == 0) {
            return RunStartupChild(argc, argv, argv[i] + 16);
        }
        if (std::strcmp(argv[i], "--list-classes") == 0) {
            for (const auto& entry : uitest::Registry())
                std::printf("%s\n", entry.first.toUtf8().constData());
            return 0;
        }
    }
#ifndef Q_OS_WIN
    // Windows has its own platform plugin only, the one the program uses: the tests run on it.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    QString suite = "ui";
    int expectedSkips = -1;
    QStringList rest;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg.startsWith("--suite=")) {
            suite = arg.mid(8);
        } else if (arg.startsWith("--expect-skips=")) {
            expectedSkips = arg.mid(15).toInt();
        } else {
            rest << arg;
        }
    }
    QApplication app(argc, argv);
    // Log records of the engine land in "log" of the working folder: keep them out of the tree.
    QTemporaryDir work;
    QDir::setCurrent(work.path());

    QStringList only;  // classes named as "A,B": those alone, in the usual order
    if (!rest.isEmpty() && !rest.first().startsWith('-')) only = rest.takeFirst().split(',');
    Totals totals;
    for (auto& [name, factory] : uitest::Registry()) {
        if (!only.isEmpty() && !only.contains(name)) continue;
        RunClass(name, factory, rest, work.path(), totals);
    }
    std::printf("\n%s: %d passed, %d failed", suite.toUtf8().constData(), totals.passed,
                totals.failed);
    if (totals.skipped > 0) std::printf(", %d skipped", totals.skipped);
    if (expectedSkips >= 0) std::printf(" (%d expected)", expectedSkips);
    std::printf("\n");
    const bool skipsAsExpected = expectedSkips < 0 || totals.skipped == expectedSkips;
    if (!skipsAsExpected) {
        std::printf("FAILED: %d cases skipped where %d skips are expected\n", totals.skipped,
                    expectedSkips);
    }
    std::fflush(stdout);
    return totals.failed == 0 && skipsAsExpected ? 0 : 1;
}
