// Every encoder and decoder of the wire codec against byte vectors written out by hand from the
// protocol's layout, and the frame extraction over streams that arrive in pieces.
#include "formats/tcpprotocol.h"

#include <QtTest>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text));
}

/// `content` followed by NUL bytes up to `size`.
QByteArray field(const QByteArray& content, int size)
{
    Q_ASSERT(content.size() <= size);
    return content + QByteArray(size - content.size(), '\0');
}

QByteArray zeros(int count)
{
    return QByteArray(count, '\0');
}

QByteArray repeated(char c, int count)
{
    return QByteArray(count, c);
}

const QByteArray chineseVersion = QString::fromUtf8("版本号版本号版本号版本号").toUtf8(); // 36 bytes

/// A 180-byte file record written out field by field.
QByteArray record(const QByteArray& path, const QByteArray& name)
{
    return field(path, 128) + field(name, 32) + zeros(20);
}

/// 57-byte version reply head.
QByteArray replyHead(char needUpdate, const QByteArray& version, const QByteArray& productLe,
                     const QByteArray& countLe)
{
    return QByteArray(1, needUpdate) + field(version, 32) + productLe + zeros(16) + countLe;
}

QByteArray chunkHead(const QByteArray& path, const QByteArray& name, const char* sizeLe, const char* chunkLe,
                     char isLast)
{
    return field(path, 128) + field(name, 32) + hex(sizeLe) + hex(chunkLe) + QByteArray(1, isLast) +
           hex("aabbccdd");
}

QByteArray header(const char* typeLe, const char* lengthLe)
{
    return hex("78563412") + hex(lengthLe) + hex(typeLe) + hex("01000000") + zeros(4);
}

} // namespace

using ByteList = QList<QByteArray>;
using FrameList = QList<QPair<qint32, QByteArray>>;

class TestTcpProtocol : public QObject
{
    Q_OBJECT
private slots:
    void frameHeader_data();
    void frameHeader();
    void heartbeat_data();
    void heartbeat();
    void versionCheckRequest_data();
    void versionCheckRequest();
    void fileDownloadRequest_data();
    void fileDownloadRequest();
    void versionCheckReply_data();
    void versionCheckReply();
    void versionCheckReplyEncoder();
    void fileData_data();
    void fileData();
    void fileDataEncoder_data();
    void fileDataEncoder();
    void productNames_data();
    void productNames();
    void frameExtraction_data();
    void frameExtraction();
    void frameBytesMissing_data();
    void frameBytesMissing();
};

void TestTcpProtocol::frameHeader_data()
{
    QTest::addColumn<qint32>("type");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<qint32>("productType");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("heartbeat") << qint32(Heartbeat) << hex("0102030405060708") << 1
                               << hex("78563412"
                                      "08000000"
                                      "01000000"
                                      "01000000"
                                      "00000000"
                                      "0102030405060708");
    QTest::newRow("version request, product 6") << qint32(VersionCheckRequest) << zeros(84) << 6
                                                << hex("78563412"
                                                       "54000000"
                                                       "02000000"
                                                       "06000000"
                                                       "00000000") +
                                                       zeros(84);
    QTest::newRow("empty heartbeat reply is 20 bytes") << qint32(HeartbeatReply) << QByteArray() << 3
                                                       << hex("78563412"
                                                              "00000000"
                                                              "01800000"
                                                              "03000000"
                                                              "00000000");
    QTest::newRow("error reply") << qint32(ErrorReply) << hex("ff") << 1
                                 << hex("78563412"
                                        "01000000"
                                        "ffff0000"
                                        "01000000"
                                        "00000000"
                                        "ff");
}

void TestTcpProtocol::frameHeader()
{
    QFETCH(qint32, type);
    QFETCH(QByteArray, payload);
    QFETCH(qint32, productType);
    QFETCH(QByteArray, expected);
    QCOMPARE(encodeFrame(type, payload, productType), expected);
    QCOMPARE(encodeFrameHeader(type, quint32(payload.size()), productType) + payload, expected);
}

void TestTcpProtocol::heartbeat_data()
{
    QTest::addColumn<qint64>("timeMs");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("little endian") << Q_INT64_C(0x0102030405060708) << hex("0807060504030201");
    QTest::newRow("a real time") << Q_INT64_C(1700000000000) << hex("0068e5cf8b010000");
    QTest::newRow("negative") << qint64(-1) << hex("ffffffffffffffff");
}

void TestTcpProtocol::heartbeat()
{
    QFETCH(qint64, timeMs);
    QFETCH(QByteArray, expected);
    QCOMPARE(encodeHeartbeat(timeMs), expected);
}

void TestTcpProtocol::versionCheckRequest_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<qint32>("productType");
    QTest::addColumn<QString>("clientName");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("version check of the channel")
        << "1.0.3" << 1 << "1" << field("1.0.3", 32) + field("1", 32) + hex("01000000") + zeros(16);
    QTest::newRow("empty client name")
        << "2.0" << 4 << "" << field("2.0", 32) + field("Pathmender", 32) + hex("04000000") + zeros(16);
    QTest::newRow("40-byte version keeps 31")
        << QString(40, QLatin1Char('v')) << 1 << "1"
        << repeated('v', 31) + zeros(1) + field("1", 32) + hex("01000000") + zeros(16);
    QTest::newRow("31-byte client name arrives whole")
        << "1" << 2 << QString(31, QLatin1Char('n'))
        << field("1", 32) + repeated('n', 31) + zeros(1) + hex("02000000") + zeros(16);
    QTest::newRow("cut inside a multi-byte character")
        << QString::fromUtf8(chineseVersion) << 1 << "1"
        << chineseVersion.left(31) + zeros(1) + field("1", 32) + hex("01000000") + zeros(16);
    QTest::newRow("negative product type")
        << "" << -1 << "1" << zeros(32) + field("1", 32) + hex("ffffffff") + zeros(16);
}

void TestTcpProtocol::versionCheckRequest()
{
    QFETCH(QString, version);
    QFETCH(qint32, productType);
    QFETCH(QString, clientName);
    QFETCH(QByteArray, expected);
    QCOMPARE(expected.size(), 84);
    const QByteArray payload = encodeVersionCheckRequest(version, productType, clientName);
    QCOMPARE(payload, expected);
    QCOMPARE(decodeVersionCheckRequestVersion(payload), QString::fromUtf8(expected.left(32).constData()));
}

void TestTcpProtocol::fileDownloadRequest_data()
{
    QTest::addColumn<QString>("filePath");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("top level file") << ""
                                    << "update.exe" << zeros(128) + field("update.exe", 32) + zeros(16);
    QTest::newRow("folder and name") << "bin/plugins"
                                     << "a.dll" << field("bin/plugins", 128) + field("a.dll", 32) + zeros(16);
    QTest::newRow("127-byte path arrives whole")
        << QString(127, QLatin1Char('p')) << "x"
        << repeated('p', 127) + zeros(1) + field("x", 32) + zeros(16);
    QTest::newRow("128-byte path loses its last byte")
        << QString(128, QLatin1Char('p')) << "x"
        << repeated('p', 127) + zeros(1) + field("x", 32) + zeros(16);
    QTest::newRow("31-byte name arrives whole")
        << "d" << QString(31, QLatin1Char('n')) << field("d", 128) + repeated('n', 31) + zeros(1) + zeros(16);
    QTest::newRow("32-byte name loses its last byte")
        << "d" << QString(32, QLatin1Char('n')) << field("d", 128) + repeated('n', 31) + zeros(1) + zeros(16);
}

void TestTcpProtocol::fileDownloadRequest()
{
    QFETCH(QString, filePath);
    QFETCH(QString, fileName);
    QFETCH(QByteArray, expected);
    QCOMPARE(expected.size(), 176);
    const QByteArray payload = encodeFileDownloadRequest(FileTransferRequest{filePath, fileName});
    QCOMPARE(payload, expected);
    const FileTransferRequest decoded = decodeFileDownloadRequest(payload);
    QCOMPARE(decoded.filePath, filePath.left(127));
    QCOMPARE(decoded.fileName, fileName.left(31));
    // A record carries the same two fields and 20 reserved bytes.
    QCOMPARE(encodeFileRecord(FileTransferRequest{filePath, fileName}), expected.left(160) + zeros(20));
}

void TestTcpProtocol::versionCheckReply_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("needUpdate");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QStringList>("files"); // "path|name" per record

    const QByteArray two = record("bin", "app.exe") + record("", "update.exe");
    QTest::newRow("56 bytes is too short")
        << replyHead(1, "2.0", hex("01000000"), hex("00000000")).left(56) << false << ""
        << "" << QStringList();
    QTest::newRow("exactly 57 bytes, no files, product 7")
        << replyHead(1, "2.0", hex("07000000"), hex("00000000")) << true << "2.0"
        << "Unknown" << QStringList();
    QTest::newRow("no update") << replyHead(0, "1.0", hex("05000000"), hex("00000000")) << false << "1.0"
                               << "Dunmere" << QStringList();
    QTest::newRow("any nonzero byte means update")
        << replyHead(char(0x80), "3", hex("06000000"), hex("00000000")) << true << "3"
        << "Dunmere Lite" << QStringList();
    QTest::newRow("two records in order")
        << replyHead(1, "2.0", hex("01000000"), hex("02000000")) + two << true << "2.0"
        << "Velmora" << QStringList{"bin|app.exe", "|update.exe"};
    QTest::newRow("count above the records present")
        << replyHead(1, "2.0", hex("02000000"), hex("03000000")) + two << true << "2.0"
        << "Velmora-b" << QStringList{"bin|app.exe", "|update.exe"};
    QTest::newRow("huge count, no records")
        << replyHead(1, "2.0", hex("03000000"), hex("ffffffff")) << true << "2.0"
        << "grey trial" << QStringList();
    QTest::newRow("partial record dropped")
        << replyHead(1, "2.0", hex("04000000"), hex("02000000")) + two.left(359) << true << "2.0"
        << "Oskarin" << QStringList{"bin|app.exe"};
    QTest::newRow("count below the records present")
        << replyHead(1, "2.0", hex("01000000"), hex("01000000")) + two << true << "2.0"
        << "Velmora" << QStringList{"bin|app.exe"};
    QTest::newRow("version field without NUL")
        << QByteArray(1, 1) + repeated('9', 32) + hex("01000000") + zeros(16) + hex("00000000") << true
        << QString(32, QLatin1Char('9')) << "Velmora" << QStringList();
    // A name of 32 bytes (or a folder of 128) cannot be sent back in a request: malformed.
    QTest::newRow("record name filling its field")
        << replyHead(1, "2.0", hex("01000000"), hex("01000000")) + repeated('p', 128 - 1) + zeros(1) +
               repeated('n', 32) + zeros(20)
        << false << QString() << QString() << QStringList();
    QTest::newRow("record folder filling its field")
        << replyHead(1, "2.0", hex("01000000"), hex("01000000")) + repeated('p', 128) + field("a", 32) +
               zeros(20)
        << false << QString() << QString() << QStringList();
    QTest::newRow("negative product code")
        << replyHead(1, "2", hex("ffffffff"), hex("00000000")) << true << "2"
        << "Unknown" << QStringList();
}

void TestTcpProtocol::versionCheckReply()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, needUpdate);
    QFETCH(QString, version);
    QFETCH(QString, product);
    QFETCH(QStringList, files);
    const VersionInfo info = decodeVersionCheckReply(payload);
    QCOMPARE(info.needUpdate, needUpdate);
    QCOMPARE(info.version, version);
    QCOMPARE(info.productName, product);
    QStringList decoded;
    for (const FileRecord& file : info.files) {
        QCOMPARE(file.bytes.size(), 180);
        decoded.append(file.filePath() + QLatin1Char('|') + file.fileName());
    }
    QCOMPARE(decoded, files);
}

void TestTcpProtocol::versionCheckReplyEncoder()
{
    const QVector<FileTransferRequest> files{{QStringLiteral("bin"), QStringLiteral("app.exe")},
                                             {QString(), QStringLiteral("update.exe")}};
    QCOMPARE(encodeVersionCheckReply(true, QStringLiteral("2.0"), 4, files),
             replyHead(1, "2.0", hex("04000000"), hex("02000000")) + record("bin", "app.exe") +
                 record("", "update.exe"));
    QCOMPARE(encodeVersionCheckReply(false, QStringLiteral("1.0"), -2, {}),
             replyHead(0, "1.0", hex("feffffff"), hex("00000000")));
}

void TestTcpProtocol::fileData_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("filePath");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<quint32>("fileSize");
    QTest::addColumn<quint32>("chunkSize");
    QTest::addColumn<bool>("isLast");
    QTest::addColumn<QByteArray>("data");

    QTest::newRow("first chunk") << chunkHead("bin", "app.exe", "10270000", "03000000", 0) + "abc" << true
                                 << "bin"
                                 << "app.exe" << quint32(10000) << quint32(3) << false << QByteArray("abc");
    QTest::newRow("173 bytes with isLast is the empty final chunk")
        << chunkHead("", "a.txt", "00000000", "00000000", 1) << true << ""
        << "a.txt" << quint32(0) << quint32(0) << true << QByteArray();
    QTest::newRow("any nonzero isLast") << chunkHead("d", "n", "01000000", "01000000", 2) + "z" << true << "d"
                                        << "n" << quint32(1) << quint32(1) << true << QByteArray("z");
    QTest::newRow("largest sizes") << chunkHead("d", "n", "ffffffff", "ffffffff", 0) + "q" << true << "d"
                                   << "n" << quint32(0xFFFFFFFF) << quint32(0xFFFFFFFF) << false
                                   << QByteArray("q");
    QTest::newRow("172 bytes is no chunk")
        << chunkHead("d", "n", "01000000", "01000000", 1).left(172) << false << ""
        << "" << quint32(0) << quint32(0) << false << QByteArray();
    QTest::newRow("empty payload") << QByteArray() << false << ""
                                   << "" << quint32(0) << quint32(0) << false << QByteArray();
}

void TestTcpProtocol::fileData()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, valid);
    QFETCH(QString, filePath);
    QFETCH(QString, fileName);
    QFETCH(quint32, fileSize);
    QFETCH(quint32, chunkSize);
    QFETCH(bool, isLast);
    QFETCH(QByteArray, data);
    QCOMPARE(isFileDataPayload(payload), valid);
    // The receiver's decoder that leaves the bytes where they are reads the same chunk.
    for (const FileDataChunk& chunk : {decodeFileData(payload), decodeFileDataInPlace(payload)}) {
        QCOMPARE(chunk.filePath, filePath);
        QCOMPARE(chunk.fileName, fileName);
        QCOMPARE(chunk.fileSize, fileSize);
        QCOMPARE(chunk.chunkSize, chunkSize);
        QCOMPARE(chunk.isLast, isLast);
        QCOMPARE(chunk.data, data);
    }
}

void TestTcpProtocol::fileDataEncoder_data()
{
    QTest::addColumn<QString>("filePath");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<quint32>("fileSize");
    QTest::addColumn<bool>("isLast");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("middle chunk") << "bin"
                                  << "app.exe" << quint32(10000) << false << QByteArray("abc")
                                  << field("bin", 128) + field("app.exe", 32) + hex("10270000") +
                                         hex("03000000") + hex("00") + zeros(4) + "abc";
    QTest::newRow("empty final chunk") << ""
                                       << "a.txt" << quint32(0) << true << QByteArray()
                                       << zeros(128) + field("a.txt", 32) + zeros(8) + hex("01") + zeros(4);
}

void TestTcpProtocol::fileDataEncoder()
{
    QFETCH(QString, filePath);
    QFETCH(QString, fileName);
    QFETCH(quint32, fileSize);
    QFETCH(bool, isLast);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, expected);
    const FileTransferRequest file{filePath, fileName};
    QCOMPARE(encodeFileData(file, fileSize, isLast, data), expected);
    // The sender's frame start followed by the data is the whole frame of that payload.
    const quint32 chunkSize = static_cast<quint32>(data.size());
    QCOMPARE(encodeFileDataFrameStart(file, fileSize, chunkSize, isLast, 3) + data,
             encodeFrame(FileData, expected, 3));
}

void TestTcpProtocol::productNames_data()
{
    QTest::addColumn<qint32>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("0") << 0 << "Unknown";
    QTest::newRow("1") << 1 << "Velmora";
    QTest::newRow("2") << 2 << "Velmora-b";
    QTest::newRow("3") << 3 << "grey trial";
    QTest::newRow("4") << 4 << "Oskarin";
    QTest::newRow("5") << 5 << "Dunmere";
    QTest::newRow("6") << 6 << "Dunmere Lite";
    QTest::newRow("7") << 7 << "Unknown";
    QTest::newRow("-1") << -1 << "Unknown";
}

void TestTcpProtocol::productNames()
{
    QFETCH(qint32, code);
    QFETCH(QString, name);
    QCOMPARE(productName(code), name);
}

void TestTcpProtocol::frameExtraction_data()
{
    QTest::addColumn<ByteList>("arrivals");
    QTest::addColumn<FrameList>("expected");
    QTest::addColumn<int>("corruptCount");
    QTest::addColumn<int>("leftOver");

    const QByteArray ping = header("01800000", "00000000");
    const QByteArray error = header("ffff0000", "02000000") + "xy";
    const QByteArray reply =
        header("02800000", "39000000") + replyHead(1, "2", hex("01000000"), hex("00000000"));
    const QByteArray corrupt = hex("78563413") + hex("00000000") + hex("01800000") + zeros(8);
    const QByteArray oversized = hex("78563412") + hex("01000004") + hex("03800000") + zeros(8);
    const QByteArray largestAllowed = hex("78563412") + hex("00000004") + hex("03800000") + zeros(8);
    const QByteArray maximal = hex("78563412") + hex("ffffffff") + hex("03800000") + zeros(8);

    QTest::newRow("fewer than 20 bytes") << ByteList{ping.left(19)} << FrameList{} << 0 << 19;
    QTest::newRow("empty heartbeat reply")
        << ByteList{ping} << FrameList{{HeartbeatReply, QByteArray()}} << 0 << 0;
    QTest::newRow("two frames in one read")
        << ByteList{ping + error} << FrameList{{HeartbeatReply, {}}, {ErrorReply, "xy"}} << 0 << 0;
    QTest::newRow("frame split over three reads") << ByteList{reply.left(7), reply.mid(7, 30), reply.mid(37)}
                                                  << FrameList{{VersionCheckReply, reply.mid(20)}} << 0 << 0;
    QTest::newRow("payload one byte short") << ByteList{error.left(21)} << FrameList{} << 0 << 21;
    QTest::newRow("frame and a half")
        << ByteList{ping + error.left(10)} << FrameList{{HeartbeatReply, {}}} << 0 << 10;
    QTest::newRow("wrong magic discards later frames too")
        << ByteList{corrupt + ping + error} << FrameList{} << 1 << 0;
    QTest::newRow("frame before a wrong magic is dispatched")
        << ByteList{ping + corrupt + error} << FrameList{{HeartbeatReply, {}}} << 1 << 0;
    QTest::newRow("next read after a wrong magic starts afresh")
        << ByteList{corrupt + error.left(5), ping} << FrameList{{HeartbeatReply, {}}} << 1 << 0;
    QTest::newRow("length above 64 MiB is corrupt") << ByteList{oversized + ping} << FrameList{} << 1 << 0;
    QTest::newRow("length of 0xffffffff is corrupt") << ByteList{maximal} << FrameList{} << 1 << 0;
    QTest::newRow("64 MiB waits for more") << ByteList{largestAllowed + ping} << FrameList{} << 0 << 40;
    QTest::newRow("unknown type is still a frame") << ByteList{header("05000000", "01000000") + "k" + ping}
                                                   << FrameList{{5, "k"}, {HeartbeatReply, {}}} << 0 << 0;
}

void TestTcpProtocol::frameExtraction()
{
    QFETCH(ByteList, arrivals);
    QFETCH(FrameList, expected);
    QFETCH(int, corruptCount);
    QFETCH(int, leftOver);

    QByteArray buffer;
    FrameList frames;
    int corrupt = 0;
    for (const QByteArray& bytes : arrivals) {
        buffer.append(bytes);
        Frame frame;
        FrameStatus status;
        while ((status = takeFrame(buffer, frame)) != FrameStatus::NeedMore) {
            if (status == FrameStatus::Corrupt) {
                QVERIFY(buffer.isEmpty());
                ++corrupt;
                break;
            }
            QCOMPARE(frame.productType, 1);
            frames.append({frame.type, frame.payload});
        }
    }
    QCOMPARE(frames, expected);
    QCOMPARE(corrupt, corruptCount);
    QCOMPARE(buffer.size(), leftOver);
}

void TestTcpProtocol::frameBytesMissing_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("missing");

    const QByteArray error = header("ffff0000", "02000000") + "xy";
    const QByteArray largestAllowed = hex("78563412") + hex("00000004") + hex("03800000") + zeros(8);
    const QByteArray oversized = hex("78563412") + hex("01000004") + hex("03800000") + zeros(8);
    const QByteArray corrupt = hex("78563413") + hex("00000000") + hex("01800000") + zeros(8);

    QTest::newRow("empty buffer: a whole header") << QByteArray() << 20;
    QTest::newRow("part of a header: the rest of it") << error.left(7) << 13;
    QTest::newRow("header only: the payload") << error.left(20) << 2;
    QTest::newRow("one payload byte short") << error.left(21) << 1;
    QTest::newRow("complete frame") << error << 0;
    // Never more than the frame at the front, so a reader that follows it holds one frame at most.
    QTest::newRow("frame and more: nothing") << error + error.left(5) << 0;
    QTest::newRow("64 MiB payload announced") << largestAllowed << 64 * 1024 * 1024;
    QTest::newRow("oversized length: nothing, takeFrame discards") << oversized << 0;
    QTest::newRow("wrong magic: nothing, takeFrame discards") << corrupt << 0;
}

void TestTcpProtocol::frameBytesMissing()
{
    QFETCH(QByteArray, buffer);
    QFETCH(int, missing);

    QCOMPARE(::frameBytesMissing(buffer), missing);
    if (missing == 0 && !buffer.isEmpty()) {
        Frame frame;
        QVERIFY(takeFrame(buffer, frame) != FrameStatus::NeedMore);
    }
}

QTEST_GUILESS_MAIN(TestTcpProtocol)
#include "testtcpprotocol.moc"
