// Feeds arbitrary bytes, split into pieces of varying size, through the receiver's frame
// extraction and decodes every frame it yields, as the client and the service do.
#include "formats/tcpprotocol.h"

#include <cstddef>
#include <cstdint>

namespace {

void check(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

void decode(const Frame& frame)
{
    switch (frame.type) {
    case VersionCheckReply: {
        const VersionInfo info = decodeVersionCheckReply(frame.payload);
        const int present = frame.payload.size() < TcpProtocol::VersionCheckReplyHeaderSize
                                ? 0
                                : (frame.payload.size() - TcpProtocol::VersionCheckReplyHeaderSize) /
                                      TcpProtocol::FileRecordSize;
        check(info.files.size() <= present);
        for (const FileRecord& record : info.files) {
            check(record.bytes.size() == TcpProtocol::FileRecordSize);
            record.filePath();
            record.fileName();
        }
        break;
    }
    case FileData: {
        const FileDataChunk chunk = decodeFileData(frame.payload);
        check(isFileDataPayload(frame.payload) == (frame.payload.size() >= TcpProtocol::FileDataHeaderSize));
        if (isFileDataPayload(frame.payload)) {
            check(chunk.data.size() == frame.payload.size() - TcpProtocol::FileDataHeaderSize);
        } else {
            check(chunk.data.isEmpty() && chunk.fileName.isEmpty());
        }
        break;
    }
    case FileDownloadRequest:
        decodeFileDownloadRequest(frame.payload);
        break;
    case VersionCheckRequest:
        decodeVersionCheckRequestVersion(frame.payload);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    // The first byte chooses how the rest arrives: all at once or in reads of 1 to 255 bytes.
    const size_t piece = data[0] == 0 ? size : data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const size_t total = size - 1;

    QByteArray buffer;
    for (size_t offset = 0; offset < total; offset += piece) {
        const size_t count = offset + piece > total ? total - offset : piece;
        buffer.append(bytes + offset, static_cast<int>(count));
        for (;;) {
            const int before = buffer.size();
            Frame frame;
            const FrameStatus status = takeFrame(buffer, frame);
            if (status == FrameStatus::NeedMore) {
                check(buffer.size() == before);
                // Never more buffered than one header and the largest payload accepted.
                check(buffer.size() < TcpProtocol::HeaderSize + int(TcpProtocol::MaxPayloadLength));
                break;
            }
            if (status == FrameStatus::Corrupt) {
                check(buffer.isEmpty());
                break;
            }
            check(before - buffer.size() == TcpProtocol::HeaderSize + frame.payload.size());
            decode(frame);
        }
    }
    return 0;
}
