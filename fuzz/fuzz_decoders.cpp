// Hands arbitrary bytes to every payload decoder directly, and encodes what they produced again.
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

/// Whatever texts a decoder produced, encoding them again keeps every field NUL-terminated.
void checkFileRoundTrip(const FileTransferRequest& decoded)
{
    const QByteArray encoded = encodeFileDownloadRequest(decoded);
    check(encoded.size() == TcpProtocol::FileDownloadRequestSize);
    check(encoded.at(TcpProtocol::FilePathFieldSize - 1) == 0);
    check(encoded.at(TcpProtocol::FilePathFieldSize + TcpProtocol::FileNameFieldSize - 1) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray payload(reinterpret_cast<const char*>(data), static_cast<int>(size));

    const VersionInfo info = decodeVersionCheckReply(payload);
    for (const FileRecord& record : info.files) {
        check(record.bytes.size() == TcpProtocol::FileRecordSize);
        checkFileRoundTrip(FileTransferRequest{record.filePath(), record.fileName()});
    }

    const FileDataChunk chunk = decodeFileData(payload);
    if (isFileDataPayload(payload)) {
        check(chunk.data.size() == payload.size() - TcpProtocol::FileDataHeaderSize);
        const QByteArray encoded = encodeFileData(FileTransferRequest{chunk.filePath, chunk.fileName},
                                                  chunk.fileSize, chunk.isLast, chunk.data);
        const FileDataChunk again = decodeFileData(encoded);
        check(again.fileSize == chunk.fileSize && again.isLast == chunk.isLast && again.data == chunk.data);
    }

    checkFileRoundTrip(decodeFileDownloadRequest(payload));
    decodeVersionCheckRequestVersion(payload);
    if (size >= 4) {
        productName(static_cast<qint32>(data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24));
    }
    return 0;
}
