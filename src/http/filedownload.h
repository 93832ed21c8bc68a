#pragma once

#include "http/backgrounddigest.h"

#include <QByteArray>
#include <QFile>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QNetworkAccessManager;

/// One HTTP GET streamed into one file, retried and resumed over a link that breaks.
///
/// Data is written to the target file as it arrives and hashed on a worker thread meanwhile, so a
/// large file needs no more memory than a small one and no second pass to verify. Redirects are followed
/// unless they downgrade the scheme. A transfer that fails for any reason (network error, abort, short write,
/// digest mismatch) removes its partial file. The signals mirror those of QNetworkReply: sigNetworkError
/// (only for network failures, including abort) precedes sigFinished, which comes exactly once per start.
///
/// With setMaximumRetries(n), a transient failure (a dropped or reset connection, a stall past the
/// transfer timeout, a 503) is tried again up to n times after a short pause, continuing from the
/// bytes already written with a `Range` request guarded by `If-Range` (the ETag or Last-Modified of
/// the first response). A server that answers 200 to it sends the whole file again, which then
/// replaces what was kept. The digest and the size limit always cover the whole file. Other
/// failures (404, a digest mismatch, the size limit, a write failure, abort()) end the transfer at
/// once; sigRetrying announces each pause. The retries count failures in a row: an attempt that
/// added bytes a range can continue from starts the count again, so a link that drops every few
/// megabytes still finishes a large file.
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
    /// Further attempts the updater allows a file after a transient failure, as over TCP.
    static constexpr int StandardRetries = 3;
    /// The pause before retry i (counted from 1) is i times this.
    static constexpr int RetryPauseStepMs = 1000;

    /// DefaultTransferTimeoutMs, or the value of UPDATER_TEST_TRANSFER_TIMEOUT_MS when that holds a
    /// positive number: whole-run tests of stalls cannot wait two minutes per attempt.
    static int configuredTransferTimeout();

    /// `manager` must outlive the download.
    explicit CFileDownload(QNetworkAccessManager* manager, QObject* parent = nullptr);
    /// A transfer still running (or pausing before a retry) is aborted silently and its partial file removed.
    ~CFileDownload() override;

    /// The lower-case or upper-case hex digest the content must have; unset means no check.
    void setExpectedMd5(const QString& md5);
    /// Takes the SHA-256 of the content as well, on a worker of its own (see actualSha256()).
    void setComputeSha256(bool compute) { m_computeSha256 = compute; }
    /// How long a request may go without receiving a byte before it counts as stalled.
    void setTransferTimeout(int milliseconds) { m_transferTimeoutMs = milliseconds; }
    /// The transfer is aborted as soon as more than `bytes` arrived; negative means no limit.
    void setMaximumSize(qint64 bytes) { m_maximumSize = bytes; }
    /// Further attempts after a transient failure; 0 (the default) fails at the first.
    void setMaximumRetries(int retries) { m_maximumRetries = retries; }

    /// Creates the target's folder, opens the target and sends the request. False (with failure()
    /// and errorString() set, no signal) when the target cannot be prepared.
    bool start(const QString& url, const QString& localPath);
    /// Aborts a running transfer or a pending retry; sigNetworkError and sigFinished are emitted
    /// before it returns.
    void abort();

    bool isRunning() const { return !m_reply.isNull() || m_retryTimer.isActive(); }
    Failure failure() const { return m_failure; }
    QNetworkReply::NetworkError networkError() const { return m_networkError; }
    QString errorString() const { return m_errorString; }
    QUrl url() const { return m_url; }
    QString localPath() const { return m_file.fileName(); }
    QString actualMd5() const { return m_actualMd5; }
    /// The raw SHA-256 of a finished file when setComputeSha256(true); empty otherwise.
    QByteArray actualSha256() const { return m_actualSha256; }
    /// Attempts since the last one that made progress, the running one included.
    int attempts() const { return m_attempt + 1; }
    /// Requests sent for the file so far.
    int requestCount() const { return m_requestCount; }

signals:
    /// Bytes of the whole file: a resumed request counts from the kept part on.
    void sigProgress(qint64 bytesReceived, qint64 bytesTotal);
    /// A transient failure (`reason`); attempt `retry` (counted from 1) follows after `pauseMs`.
    void sigRetrying(int retry, int pauseMs, const QString& reason);
    void sigNetworkError(QNetworkReply::NetworkError error);
    void sigFinished();

private slots:
    void onReadyRead();
    void onReplyProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReplyError(QNetworkReply::NetworkError error);
    void onReplyFinished();

private:
    void sendRequest();
    /// Checks the status of the running reply once, before its body is stored; false when the
    /// body is not part of the file (an error page, a range that does not continue it).
    bool acceptResponse();
    bool restartFile();
    bool receivePiece();
    bool isTransient(QNetworkReply::NetworkError error) const;
    void failWith(Failure failure, const QString& text);
    /// True when the running attempt added bytes that the next one continues from.
    bool madeProgress() const;
    bool mayRetry() const;
    void failNetwork(QNetworkReply::NetworkError error, const QString& text);
    void finishFile();

    QNetworkAccessManager* m_manager;
    QPointer<QNetworkReply> m_reply;
    QFile m_file;
    BackgroundDigest m_hash;
    BackgroundDigest m_sha256{BackgroundDigest::Sha256, BackgroundDigest::DropBuffers};
    QTimer m_retryTimer;
    QUrl m_url;
    QString m_expectedMd5;
    QString m_actualMd5;
    QByteArray m_actualSha256;
    bool m_computeSha256 = false;
    QString m_errorString;
    /// The first response's ETag or Last-Modified: a resumed range must belong to the same file.
    QByteArray m_validator;
    Failure m_failure = NoFailure;
    QNetworkReply::NetworkError m_networkError = QNetworkReply::NoError;
    int m_transferTimeoutMs = DefaultTransferTimeoutMs;
    int m_maximumRetries = 0;
    /// Failed attempts in a row without progress.
    int m_attempt = 0;
    int m_requestCount = 0;
    qint64 m_maximumSize = -1;
    /// Bytes of the file received (and written) over all attempts since the file was last begun.
    qint64 m_received = 0;
    /// m_received when the running request was sent.
    qint64 m_receivedAtRequest = 0;
    /// The running request's answer started the file again.
    bool m_startedAgain = false;
    /// Where the running request's body starts in the file.
    qint64 m_requestOffset = 0;
    bool m_responseChecked = false;
    bool m_bodyAccepted = false;
    bool m_abortRequested = false;
    bool m_retryPending = false;
};
