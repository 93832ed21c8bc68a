#pragma once

#include <QString>

/// The span of one channel's file downloads, for the benchmarks.
///
/// Only when the environment variable UPDATER_BENCH_DOWNLOAD_REPORT names a file: started() notes
/// the time and the process's CPU time as the first file is requested, and finished() writes them
/// as one JSON object ({"channel", "seconds", "cpu_seconds"}) to that file once the last file is in
/// place. The benchmarks measure the download alone with it, apart from the check before and the
/// apply after. Without the variable both calls do nothing.
class DownloadWindow
{
public:
    static constexpr const char* variableName = "UPDATER_BENCH_DOWNLOAD_REPORT";

    static void started();
    static void finished(const QString& channel);
};
