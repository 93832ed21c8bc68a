#include "formats/tcpprotocol.h"

#include <QtEndian>

#include <cstring>

namespace {

// Offsets inside the fixed-size payloads.
constexpr int VersionRequestNameOffset = 32;
constexpr int VersionRequestProductOffset = 64;
constexpr int FileNameOffset = 128; // in requests, records and file data alike
constexpr int ReplyVersionOffset = 1;
constexpr int ReplyProductOffset = 33;
constexpr int ReplyFileCountOffset = 53;
constexpr int ChunkFileSizeOffset = 160;
constexpr int ChunkSizeOffset = 164;
constexpr int ChunkIsLastOffset = 168;

void putUInt32(QByteArray& buffer, int offset, quint32 value)
{
    qToLittleEndian<quint32>(value, buffer.data() + offset);
}

quint32 getUInt32(const QByteArray& buffer, int offset)
{
    return qFromLittleEndian<quint32>(buffer.constData() + offset);
}

void writeFileFields(QByteArray& buffer, const FileTransferRequest& file)
{
    writeTextField(buffer, 0, TcpProtocol::FilePathFieldSize, file.filePath);
    writeTextField(buffer, FileNameOffset, TcpProtocol::FileNameFieldSize, file.fileName);
}

} // namespace

QString FileRecord::filePath() const
{
    return readTextField(bytes, 0, TcpProtocol::FilePathFieldSize);
}

QString FileRecord::fileName() const
{
    return readTextField(bytes, FileNameOffset, TcpProtocol::FileNameFieldSize);
}

bool FileRecord::isRequestable() const
{
    const auto endsInField = [this](int offset, int fieldSize) {
        return bytes.size() >= offset + fieldSize &&
               std::memchr(bytes.constData() + offset, 0, static_cast<size_t>(fieldSize)) != nullptr;
    };
    return endsInField(0, TcpProtocol::FilePathFieldSize) &&
           endsInField(FileNameOffset, TcpProtocol::FileNameFieldSize);
}

void writeTextField(QByteArray& buffer, int offset, int fieldSize, const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    const int count = qMin(utf8.size(), fieldSize - 1);
    std::memset(buffer.data() + offset, 0, static_cast<size_t>(fieldSize));
    std::memcpy(buffer.data() + offset, utf8.constData(), static_cast<size_t>(count));
}

QString readTextField(const QByteArray& buffer, int offset, int fieldSize)
{
    if (offset < 0 || offset >= buffer.size()) {
        return QString();
    }
    const int available = qMin(fieldSize, buffer.size() - offset);
    const char* start = buffer.constData() + offset;
    const void* nul = std::memchr(start, 0, static_cast<size_t>(available));
    const int length = nul ? static_cast<int>(static_cast<const char*>(nul) - start) : available;
    return QString::fromUtf8(start, length);
}

QByteArray encodeFrameHeader(qint32 type, quint32 length, qint32 productType)
{
    QByteArray header(TcpProtocol::HeaderSize, '\0');
    putUInt32(header, 0, TcpProtocol::Magic);
    putUInt32(header, 4, length);
    putUInt32(header, 8, static_cast<quint32>(type));
    putUInt32(header, 12, static_cast<quint32>(productType));
    return header;
}

QByteArray encodeFrame(qint32 type, const QByteArray& payload, qint32 productType)
{
    return encodeFrameHeader(type, static_cast<quint32>(payload.size()), productType) + payload;
}

QByteArray encodeHeartbeat(qint64 currentTimeMs)
{
    QByteArray payload(TcpProtocol::HeartbeatSize, '\0');
    qToLittleEndian<qint64>(currentTimeMs, payload.data());
    return payload;
}

QByteArray encodeVersionCheckRequest(const QString& currentVersion, qint32 productType,
                                     const QString& clientName)
{
    QByteArray payload(TcpProtocol::VersionCheckRequestSize, '\0');
    writeTextField(payload, 0, TcpProtocol::VersionFieldSize, currentVersion);
    const QString name =
        clientName.isEmpty() ? QString::fromLatin1(TcpProtocol::defaultClientName()) : clientName;
    writeTextField(payload, VersionRequestNameOffset, TcpProtocol::ClientNameFieldSize, name);
    putUInt32(payload, VersionRequestProductOffset, static_cast<quint32>(productType));
    return payload;
}

QByteArray encodeFileDownloadRequest(const FileTransferRequest& request)
{
    QByteArray payload(TcpProtocol::FileDownloadRequestSize, '\0');
    writeFileFields(payload, request);
    return payload;
}

QByteArray encodeFileRecord(const FileTransferRequest& file)
{
    QByteArray record(TcpProtocol::FileRecordSize, '\0');
    writeFileFields(record, file);
    return record;
}

QByteArray encodeVersionCheckReply(bool needUpdate, const QString& latestVersion, qint32 productCode,
                                   const QVector<FileTransferRequest>& files)
{
    QByteArray payload(TcpProtocol::VersionCheckReplyHeaderSize, '\0');
    payload[0] = needUpdate ? 1 : 0;
    writeTextField(payload, ReplyVersionOffset, TcpProtocol::VersionFieldSize, latestVersion);
    putUInt32(payload, ReplyProductOffset, static_cast<quint32>(productCode));
    putUInt32(payload, ReplyFileCountOffset, static_cast<quint32>(files.size()));
    for (const FileTransferRequest& file : files) {
        payload += encodeFileRecord(file);
    }
    return payload;
}

namespace {

QByteArray encodeFileDataHeader(const FileTransferRequest& file, quint32 fileSize, quint32 chunkSize,
                                bool isLast)
{
    QByteArray header(TcpProtocol::FileDataHeaderSize, '\0');
    writeFileFields(header, file);
    putUInt32(header, ChunkFileSizeOffset, fileSize);
    putUInt32(header, ChunkSizeOffset, chunkSize);
    header[ChunkIsLastOffset] = isLast ? 1 : 0;
    return header;
}

} // namespace

QByteArray encodeFileData(const FileTransferRequest& file, quint32 fileSize, bool isLast,
                          const QByteArray& data)
{
    return encodeFileDataHeader(file, fileSize, static_cast<quint32>(data.size()), isLast) + data;
}

QByteArray encodeFileDataFrameStart(const FileTransferRequest& file, quint32 fileSize, quint32 chunkSize,
                                    bool isLast, qint32 productType)
{
    return encodeFrameHeader(FileData, TcpProtocol::FileDataHeaderSize + chunkSize, productType) +
           encodeFileDataHeader(file, fileSize, chunkSize, isLast);
}

VersionInfo decodeVersionCheckReply(const QByteArray& payload)
{
    VersionInfo info;
    if (payload.size() < TcpProtocol::VersionCheckReplyHeaderSize) {
        return info;
    }
    info.needUpdate = payload.at(0) != 0;
    info.version = readTextField(payload, ReplyVersionOffset, TcpProtocol::VersionFieldSize);
    info.productName = productName(static_cast<qint32>(getUInt32(payload, ReplyProductOffset)));
    const quint32 fileCount = getUInt32(payload, ReplyFileCountOffset);
    // Only whole records that are really present are taken: the count alone is not trusted.
    const quint32 present = static_cast<quint32>(payload.size() - TcpProtocol::VersionCheckReplyHeaderSize) /
                            TcpProtocol::FileRecordSize;
    const int count = static_cast<int>(qMin(fileCount, present));
    info.files.reserve(count);
    for (int i = 0; i < count; ++i) {
        const int offset = TcpProtocol::VersionCheckReplyHeaderSize + TcpProtocol::FileRecordSize * i;
        const FileRecord record{payload.mid(offset, TcpProtocol::FileRecordSize)};
        // A file that cannot be asked for would stall every attempt: the reply is malformed.
        if (!record.isRequestable()) {
            return VersionInfo();
        }
        info.files.append(record);
    }
    return info;
}

bool isFileDataPayload(const QByteArray& payload)
{
    return payload.size() >= TcpProtocol::FileDataHeaderSize;
}

FileDataChunk decodeFileDataInPlace(const QByteArray& payload)
{
    FileDataChunk chunk;
    if (!isFileDataPayload(payload)) {
        return chunk;
    }
    chunk.filePath = readTextField(payload, 0, TcpProtocol::FilePathFieldSize);
    chunk.fileName = readTextField(payload, FileNameOffset, TcpProtocol::FileNameFieldSize);
    chunk.fileSize = getUInt32(payload, ChunkFileSizeOffset);
    chunk.chunkSize = getUInt32(payload, ChunkSizeOffset);
    chunk.isLast = payload.at(ChunkIsLastOffset) != 0;
    chunk.data = QByteArray::fromRawData(payload.constData() + TcpProtocol::FileDataHeaderSize,
                                         payload.size() - TcpProtocol::FileDataHeaderSize);
    return chunk;
}

FileDataChunk decodeFileData(const QByteArray& payload)
{
    FileDataChunk chunk = decodeFileDataInPlace(payload);
    chunk.data = QByteArray(chunk.data.constData(), chunk.data.size());
    return chunk;
}

FileTransferRequest decodeFileDownloadRequest(const QByteArray& payload)
{
    return FileTransferRequest{readTextField(payload, 0, TcpProtocol::FilePathFieldSize),
                               readTextField(payload, FileNameOffset, TcpProtocol::FileNameFieldSize)};
}

QString decodeVersionCheckRequestVersion(const QByteArray& payload)
{
    return readTextField(payload, 0, TcpProtocol::VersionFieldSize);
}

QString productName(qint32 productCode)
{
    switch (productCode) {
    case 1:
        return QStringLiteral("Velmora");
    case 2:
        return QStringLiteral("Velmora-b");
    case 3:
        return QStringLiteral("grey trial");
    case 4:
        return QStringLiteral("Oskarin");
    case 5:
        return QStringLiteral("Dunmere");
    case 6:
        return QStringLiteral("Dunmere Lite");
    default:
        return QStringLiteral("Unknown");
    }
}

bool isCorruptHeader(const QByteArray& buffer)
{
    return buffer.size() >= TcpProtocol::HeaderSize && (getUInt32(buffer, 0) != TcpProtocol::Magic ||
                                                        getUInt32(buffer, 4) > TcpProtocol::MaxPayloadLength);
}

int frameBytesMissing(const QByteArray& buffer)
{
    if (buffer.size() < TcpProtocol::HeaderSize) {
        return TcpProtocol::HeaderSize - buffer.size();
    }
    if (isCorruptHeader(buffer)) {
        return 0;
    }
    const quint32 length = getUInt32(buffer, 4);
    return qMax(0, TcpProtocol::HeaderSize + static_cast<int>(length) - buffer.size());
}

void readFrameHeader(const QByteArray& buffer, Frame& frame)
{
    frame.type = static_cast<qint32>(getUInt32(buffer, 8));
    frame.productType = static_cast<qint32>(getUInt32(buffer, 12));
}

FrameStatus takeFrame(QByteArray& buffer, Frame& frame)
{
    if (buffer.size() < TcpProtocol::HeaderSize) {
        return FrameStatus::NeedMore;
    }
    if (isCorruptHeader(buffer)) {
        buffer.clear();
        return FrameStatus::Corrupt;
    }
    const quint32 length = getUInt32(buffer, 4);
    // The bound above keeps this sum far inside a signed 32-bit size.
    const int frameSize = TcpProtocol::HeaderSize + static_cast<int>(length);
    if (buffer.size() < frameSize) {
        return FrameStatus::NeedMore;
    }
    readFrameHeader(buffer, frame);
    frame.payload = buffer.mid(TcpProtocol::HeaderSize, static_cast<int>(length));
    buffer.remove(0, frameSize);
    return FrameStatus::Taken;
}
