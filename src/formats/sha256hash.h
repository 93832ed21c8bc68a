#pragma once

#include <QByteArray>
#include <QCryptographicHash>

#include <array>
#include <cstdint>

class QIODevice;
class QString;

/// SHA-256 that uses the processor's SHA instructions where it has them (x86-64 with SHA-NI),
/// and Qt's portable code elsewhere.
///
/// Qt's own SHA-256 runs at a fraction of the speed of the download it checks; with the SHA
/// instructions the digest of a file costs less than its MD5, so a signed release is not held up
/// by its checks. Both paths give the same digest; the choice is made once per process.
class Sha256Hash
{
public:
    Sha256Hash();

    /// Starts a new digest.
    void reset();
    void addData(const char* data, qint64 length);
    void addData(const QByteArray& data) { addData(data.constData(), data.size()); }
    /// Reads `device` to its end; false when a read fails.
    bool addData(QIODevice& device);
    /// The 32-byte digest of everything added so far.
    QByteArray result() const;

    /// The digest of a whole file, or an empty array when it cannot be opened or read.
    static QByteArray ofFile(const QString& path);
    /// True when this process computes with the SHA instructions.
    static bool usesProcessorInstructions();

private:
    bool m_native;
    QCryptographicHash m_portable{QCryptographicHash::Sha256};
    std::array<std::uint32_t, 8> m_state{};
    std::array<unsigned char, 64> m_block{};
    int m_blockFill = 0;
    std::uint64_t m_totalBytes = 0;
};
