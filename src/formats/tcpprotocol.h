#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QVector>

/// Byte layout of the conversation between the updater and its TCP update service.
///
/// Every frame is a 20-byte little-endian header followed by `length` payload bytes. Texts travel
/// as UTF-8 in zero-filled fixed-size fields that always end with at least one NUL byte. All
/// functions here are pure so that the client, the reference service, the tests and the fuzzers
/// share one codec (the framing with the configured product type is tcp/configuredframe.h).

/// Value of the header's `type` field.
enum MessageType : qint32
{
    Heartbeat = 1,
    VersionCheckRequest = 2,
    FileDownloadRequest = 3,
    HeartbeatReply = 0x8001,
    VersionCheckReply = 0x8002,
    FileData = 0x8003,
    ErrorReply = 0xFFFF
};

namespace TcpProtocol {
constexpr quint32 Magic = 0x12345678;
constexpr int HeaderSize = 20;
constexpr int HeartbeatSize = 8;
constexpr int VersionCheckRequestSize = 84;
constexpr int FileDownloadRequestSize = 176;
constexpr int VersionCheckReplyHeaderSize = 57;
constexpr int FileRecordSize = 180;
constexpr int FileDataHeaderSize = 173;

constexpr int VersionFieldSize = 32;
constexpr int ClientNameFieldSize = 32;
constexpr int FilePathFieldSize = 128;
constexpr int FileNameFieldSize = 32;

/// Largest payload accepted from the wire. Far above any sane chunk; a larger `length` can only
/// come from a broken or hostile peer and is treated like a wrong magic, so that a receiver never
/// buffers without bound.
constexpr quint32 MaxPayloadLength = 64u * 1024u * 1024u;

/// Client name written when the caller passes an empty one.
inline const char* defaultClientName()
{
    return "Pathmender";
}
} // namespace TcpProtocol

/// One entry of a version check reply, kept as the raw 180 bytes received.
struct FileRecord
{
    QByteArray bytes;

    QString filePath() const;
    QString fileName() const;
    /// True when both texts end within their fields, so that a FileDownloadRequest, whose fields
    /// hold one byte less, can name the file exactly.
    bool isRequestable() const;
};

/// Decoded version check reply; a default value means "no update available".
struct VersionInfo
{
    bool needUpdate = false;
    QString version;
    QString productName;
    QVector<FileRecord> files;
};

/// One decoded FileData payload: a chunk of one file.
struct FileDataChunk
{
    QString filePath;
    QString fileName;
    quint32 fileSize = 0;
    quint32 chunkSize = 0;
    bool isLast = false;
    QByteArray data;
};

/// One file to download: the folder part and the name exactly as the service listed them.
struct FileTransferRequest
{
    QString filePath;
    QString fileName;

    /// The file's path below the release folder: "folder/name", or "name" without a folder.
    QString relativePath() const
    {
        return filePath.isEmpty() ? fileName : filePath + QLatin1Char('/') + fileName;
    }
};

/// What the receiver learned from the decoded 20-byte header of a frame.
struct Frame
{
    qint32 type = 0;
    qint32 productType = 0;
    QByteArray payload;
};

/// Result of one `takeFrame` step.
enum class FrameStatus
{
    NeedMore, ///< no complete frame at the front of the buffer; the buffer is unchanged
    Taken,    ///< one frame was removed from the front of the buffer into `frame`
    Corrupt   ///< wrong magic or oversized length: the whole buffer was discarded
};

// Encoders (payloads have their fixed size, texts cut at field size - 1 bytes).
QByteArray encodeFrameHeader(qint32 type, quint32 length, qint32 productType);
QByteArray encodeFrame(qint32 type, const QByteArray& payload, qint32 productType);
QByteArray encodeHeartbeat(qint64 currentTimeMs);
QByteArray encodeVersionCheckRequest(const QString& currentVersion, qint32 productType,
                                     const QString& clientName);
QByteArray encodeFileDownloadRequest(const FileTransferRequest& request);

// Encoders of the service side.
QByteArray encodeFileRecord(const FileTransferRequest& file);
QByteArray encodeVersionCheckReply(bool needUpdate, const QString& latestVersion, qint32 productCode,
                                   const QVector<FileTransferRequest>& files);
QByteArray encodeFileData(const FileTransferRequest& file, quint32 fileSize, bool isLast,
                          const QByteArray& data);
/// The frame header and the chunk header of a FileData frame whose `chunkSize` data bytes follow:
/// a sender appends the data itself and so copies it only once.
QByteArray encodeFileDataFrameStart(const FileTransferRequest& file, quint32 fileSize, quint32 chunkSize,
                                    bool isLast, qint32 productType);

// Decoders. They never read past the payload; malformed input gives default values.
/// Records beyond the whole 180-byte records present are dropped.
VersionInfo decodeVersionCheckReply(const QByteArray& payload);
/// A payload shorter than the 173-byte chunk header gives a default chunk (see isFileDataPayload).
FileDataChunk decodeFileData(const QByteArray& payload);
/// decodeFileData without copying the chunk's bytes: `data` refers to the payload's own bytes, so
/// it is valid only while `payload` lives unchanged.
FileDataChunk decodeFileDataInPlace(const QByteArray& payload);
bool isFileDataPayload(const QByteArray& payload);
/// Service side. Short payloads give empty texts.
FileTransferRequest decodeFileDownloadRequest(const QByteArray& payload);
QString decodeVersionCheckRequestVersion(const QByteArray& payload);

QString productName(qint32 productCode);

// Fixed-size text fields.
void writeTextField(QByteArray& buffer, int offset, int fieldSize, const QString& text);
QString readTextField(const QByteArray& buffer, int offset, int fieldSize);

/// How many more bytes the frame at the front of `buffer` needs before takeFrame can take it: the
/// rest of the header, then the rest of the payload. 0 when the frame is complete or its header is
/// corrupt (takeFrame then discards the buffer). A receiver that reads no more than this keeps at
/// most one frame buffered, so taking a frame never moves the bytes of the frames behind it.
int frameBytesMissing(const QByteArray& buffer);
/// True when `buffer` starts with a whole header that names no frame: wrong magic or a length
/// beyond MaxPayloadLength.
bool isCorruptHeader(const QByteArray& buffer);
/// The type and product type of the header at the front of `buffer` (at least 20 bytes).
void readFrameHeader(const QByteArray& buffer, Frame& frame);

/// Takes the first complete frame off the front of `buffer`. See FrameStatus. The stream is never
/// searched for the next magic after a corrupt header.
FrameStatus takeFrame(QByteArray& buffer, Frame& frame);

Q_DECLARE_METATYPE(VersionInfo)
