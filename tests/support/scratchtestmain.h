#pragma once

#include <QApplication>
#include <QTest>

/// Runs a Qt Test executable from a copy in a throw-away folder.
///
/// Code that works on "the installation folder" uses the folder of the running executable and
/// reads system.cfg from there once per process. A test that drives such code in-process would
/// otherwise write into the shared bin folder; with this main the copy's folder is the
/// installation folder (see scratchFolder()) and is removed when the tests end.
int runTestInScratchFolder(int argc, char** argv, int (*runTests)(int, char**));

/// The folder of the running test executable, with "/" at the end.
QString scratchFolder();

/// True in the copy started by runTestInScratchFolder; helpers that clear the installation
/// folder refuse to work otherwise, since it would be the shared bin folder.
bool runningInScratchFolder();

#define UPDATER_SCRATCH_TEST_MAIN(TestObject)                                                                \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        return runTestInScratchFolder(argc, argv, [](int count, char** values) {                             \
            QApplication app(count, values);                                                                 \
            TestObject test;                                                                                 \
            return QTest::qExec(&test, count, values);                                                       \
        });                                                                                                  \
    }
