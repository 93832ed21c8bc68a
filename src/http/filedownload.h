#pragma once

#include "http/backgroundmd5.h"

#include <QFile>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;

/// One HTTP GET streamed into one file.
///
/// Data is written to the target file as it arrives and hashed on a worker thread meanwhile, so a
/// large file needs no more memory than a small one and no second pass to verify. Redirects are followed
/// unless they downgrade the scheme. A transfer that fails for any reason (network error, abort, short write,
/// digest mismatch) removes its partial file. The signals mirror those of QNetworkReply: sigNetworkError
/// (only for network failures, including abort) precedes sigFinished, which comes exactly once per start.
class CFileDownload : public QObject
{
    Q_OBJECT
public:
    enum Failure
    {
        NoFailure,
        FolderFailure,  ///< the target's folder could not be created
        OpenFailure,    ///< the target file could not be opened for writing
        NetworkFailure, ///< the server or the connection failed, or the transfer was aborted
        WriteFailure,   ///< a write or the final flush did not store every byte
        DigestFailure,  ///< the content does not have the expected MD5
        SizeFailure     ///< the content is larger than the limit set with setMaximumSize
    };

    static constexpr int DefaultTransferTimeoutMs = 120000;

    /// `manager` must outlive the download.
    explicit CFileDownload(QNetworkAccessManager* manager, QObject* parent = nullptr);
    /// A transfer still running is aborted silently and its partial file removed.
    ~CFileDownload() override;

    /// The lower-case or upper-case hex digest the content must have; unset means no check.
    void setExpectedMd5(const QString& md5);
    void setTransferTimeout(int milliseconds) { m_transferTimeoutMs = milliseconds; }
    /// The transfer is aborted as soon as more than `bytes` arrived; negative means no limit.
    void setMaximumSize(qint64 bytes) { m_maximumSize = bytes; }

    /// Creates the target's folder, opens the target and sends the request. False (with failure()
    /// and errorString() set, no signal) when the target cannot be prepared.
    bool start(const QString& url, const QString& localPath);
    /// Aborts a running transfer; sigNetworkError and sigFinished are emitted before it returns.
    void abort();

    bool isRunning() const { return !m_reply.isNull(); }
    Failure failure() const { return m_failure; }
    QNetworkReply::NetworkError networkError() const { return m_networkError; }
    QString errorString() const { return m_errorString; }
    QUrl url() const { return m_url; }
    QString localPath() const { return m_file.fileName(); }
    QString actualMd5() const { return m_actualMd5; }

signals:
    void sigProgress(qint64 bytesReceived, qint64 bytesTotal);
    void sigNetworkError(QNetworkReply::NetworkError error);
    void sigFinished();

private slots:
    void onReadyRead();
    void onReplyError(QNetworkReply::NetworkError error);
    void onReplyFinished();

private:
    bool receivePiece();
    void failWith(Failure failure, const QString& text);
    void finishFile();

    QNetworkAccessManager* m_manager;
    QPointer<QNetworkReply> m_reply;
    QFile m_file;
    BackgroundMd5 m_hash;
    QUrl m_url;
    QString m_expectedMd5;
    QString m_actualMd5;
    QString m_errorString;
    Failure m_failure = NoFailure;
    QNetworkReply::NetworkError m_networkError = QNetworkReply::NoError;
    int m_transferTimeoutMs = DefaultTransferTimeoutMs;
    qint64 m_maximumSize = -1;
    qint64 m_received = 0;
};
