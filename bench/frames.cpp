// Throughput of the receive path of the TCP wire codec: frames taken off a receive buffer that is
// filled in socket-read-sized pieces, as QUpdateTcpClient::onReadyRead does, and the FileData
// payloads decoded into chunks.
#include "formats/tcpprotocol.h"

#include <benchmark/benchmark.h>

namespace {

constexpr int ChunkBytes = 64 * 1024; // the reference service's default chunk
constexpr int StreamChunks = 128;     // 8 MiB of file data per iteration

QByteArray fileDataStream(int chunkBytes, int chunks)
{
    const FileTransferRequest file{QStringLiteral("/plugins/audio"), QStringLiteral("mixer.dll")};
    const QByteArray data(chunkBytes, 'x');
    QByteArray stream;
    for (int i = 0; i < chunks; ++i) {
        stream += encodeFrame(
            FileData, encodeFileData(file, quint32(chunkBytes) * quint32(chunks), i == chunks - 1, data), 1);
    }
    return stream;
}

/// Arg 0: bytes handed over per socket read. Large reads leave many frames in the buffer at once.
void BM_TakeAndDecodeFrames(benchmark::State& state)
{
    const QByteArray stream = fileDataStream(ChunkBytes, StreamChunks);
    const int readBytes = static_cast<int>(state.range(0));
    qint64 decodedBytes = 0;
    for (auto _ : state) {
        QByteArray buffer;
        Frame frame;
        for (int offset = 0; offset < stream.size(); offset += readBytes) {
            buffer.append(stream.constData() + offset, qMin(readBytes, stream.size() - offset));
            while (takeFrame(buffer, frame) == FrameStatus::Taken) {
                const FileDataChunk chunk = decodeFileData(frame.payload);
                decodedBytes += chunk.data.size();
                benchmark::DoNotOptimize(chunk.data.constData());
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
    state.counters["file_bytes"] = benchmark::Counter(double(decodedBytes), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TakeAndDecodeFrames)
    ->Arg(16 * 1024)
    ->Arg(256 * 1024)
    ->Arg(4 * 1024 * 1024)
    ->Unit(benchmark::kMillisecond);

/// The receiver reads from the socket only what the current frame still misses, so the buffer
/// never holds more than one frame (QUpdateTcpClient::onReadyRead). Arg 0 as above: what one
/// socket notification makes available.
void BM_ReadMissingThenTake(benchmark::State& state)
{
    const QByteArray stream = fileDataStream(ChunkBytes, StreamChunks);
    const int readBytes = static_cast<int>(state.range(0));
    for (auto _ : state) {
        QByteArray buffer;
        Frame frame;
        int offset = 0;
        while (offset < stream.size()) {
            const int available = qMin(offset + readBytes, stream.size());
            while (offset < available) {
                const int missing = frameBytesMissing(buffer);
                const int piece = qMin(missing, available - offset);
                buffer.append(stream.constData() + offset, piece);
                offset += piece;
                if (frameBytesMissing(buffer) == 0 && takeFrame(buffer, frame) == FrameStatus::Taken) {
                    const FileDataChunk chunk = decodeFileData(frame.payload);
                    benchmark::DoNotOptimize(chunk.data.constData());
                }
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * stream.size());
}
BENCHMARK(BM_ReadMissingThenTake)
    ->Arg(16 * 1024)
    ->Arg(256 * 1024)
    ->Arg(4 * 1024 * 1024)
    ->Unit(benchmark::kMillisecond);

/// Decoding alone, on payloads already taken off the stream.
void BM_DecodeFileData(benchmark::State& state)
{
    const FileTransferRequest file{QStringLiteral("/plugins/audio"), QStringLiteral("mixer.dll")};
    const QByteArray payload = encodeFileData(file, ChunkBytes, false, QByteArray(ChunkBytes, 'x'));
    for (auto _ : state) {
        const FileDataChunk chunk = decodeFileData(payload);
        benchmark::DoNotOptimize(chunk.data.constData());
    }
    state.SetBytesProcessed(state.iterations() * payload.size());
}
BENCHMARK(BM_DecodeFileData);

} // namespace

BENCHMARK_MAIN();
