// CPU cost of the progress windows' refreshes: the calls each channel makes for one small file
// (start, one chunk, end), in the offscreen platform, with the windows shown. A download of many
// small files pays this once per file, on top of the transfer.
#include "ui/updatewidget.h"
#include "ui/widget.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>

#include <benchmark/benchmark.h>

namespace {

constexpr int Files = 2000;
constexpr qint64 FileBytes = 32 * 1024;

QString fileName(int index)
{
    return QStringLiteral("file%1.dat").arg(index, 4, 10, QLatin1Char('0'));
}

/// The calls the TCP channel makes for one file that arrives in one chunk.
void BM_TcpWindowFile(benchmark::State& state)
{
    UpdateWidget window;
    window.show();
    QApplication::processEvents();
    int index = 0;
    for (auto _ : state) {
        const QString name = fileName(index % Files);
        const int done = index % Files;
        window.setOverallProgress(QStringLiteral("正在下载: %1 (%2/%3)").arg(name).arg(done + 1).arg(Files),
                                  0);
        window.refreshNow();
        window.setFileProgress(name, FileBytes, FileBytes);
        window.setOverallProgress(QStringLiteral("下载文件: %1 (32.00 KB/32.00 KB)").arg(name), 100);
        window.showStatus(QStringLiteral("文件下载完成: %1").arg(name));
        const int percent = (done + 1) * 100 / Files;
        window.setOverallProgress(
            QStringLiteral("总体进度: %1/%2 (%3%)").arg(done + 1).arg(Files).arg(percent), percent);
        window.refreshNow();
        ++index;
    }
    state.SetItemsProcessed(state.iterations());
}

/// What the HTTP dialog shows for one file: its status and detail lines, the transfer's progress
/// from 0 to 100 and the count of files done, each followed by a turn of the event loop.
void BM_HttpDialogFile(benchmark::State& state)
{
    Widget dialog;
    dialog.show();
    QApplication::processEvents();
    auto* status = dialog.findChild<QLabel*>(QStringLiteral("label_update"));
    auto* detail = dialog.findChild<QLabel*>(QStringLiteral("label_updatefile"));
    auto* overall = dialog.findChild<QProgressBar*>(QStringLiteral("progressBar_update"));
    overall->setRange(0, Files);
    int index = 0;
    for (auto _ : state) {
        const int done = index % Files;
        status->setText(QStringLiteral("正在更新 %1/%2").arg(done + 1).arg(Files));
        detail->setText(fileName(done));
        QApplication::processEvents();
        dialog.onDownloadProgress(0, FileBytes);
        QApplication::processEvents();
        dialog.onDownloadProgress(FileBytes, FileBytes);
        QApplication::processEvents();
        overall->setValue(done + 1);
        QApplication::processEvents();
        ++index;
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_TcpWindowFile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HttpDialogFile)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
