#ifndef ZUV_TESTS_SKIPSUITE_H
#define ZUV_TESTS_SKIPSUITE_H

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

// The exit code CTest reports as "skipped" (SKIP_RETURN_CODE).
constexpr int SkipSuiteExitCode = 77;

// Ends a suite that cannot run on this machine at all, before it starts
// anything: QtTest counts a skipped initTestCase() as a pass, and a suite
// that ran nothing must never show as passed.
[[noreturn]] inline void skipSuite(const QString &reason)
{
    std::fprintf(stderr, "SKIP   : %s\n", qPrintable(reason));
    std::fflush(stderr);
    std::_Exit(SkipSuiteExitCode);
}

#endif
