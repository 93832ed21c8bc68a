#pragma once

#include "formats/releasemanifest.h"
#include "formats/tcpprotocol.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QVector>

#include <memory>

class CConfigManager;
class ArrivedDigests;
class CFileDataWriter;
class QUpdateTcpClient;
class UpdateWidget;

/// The TCP update channel as the update model sees it.
///
/// Asks the service for the version, keeps the list of files it names and downloads them one
/// after another, each with up to three retries one second apart, while a progress window shows
/// what happens. The whole download runs inside startTcpUpdate(), which raises sigUpdateResult
/// with its outcome before it returns, so the receiver may apply the files at once.
///
/// The window is normally the one the controller created (given at construction, not owned);
/// without one the channel shows a window of its own. Its cancel button stops the iteration
/// before the next file or attempt, and closes the window once no download runs.
class CTCPUpdate : public QObject
{
    Q_OBJECT
public:
    enum ErrorClass
    {
        NetworkError = 0,
        FileSystemError = 1,
        TimeoutError = 2,
        CancelledError = 3,
        UnknownError = 4
    };

    static constexpr int MaxRetries = 3;
    static constexpr int VersionCheckTimeoutMs = 1000;

    explicit CTCPUpdate(UpdateWidget* window = nullptr, QObject* parent = nullptr);
    /// A channel over another configuration store and, when `writer` is given, another file
    /// writer than the process-wide ones.
    CTCPUpdate(const CConfigManager& config, CFileDataWriter* writer, UpdateWidget* window,
               QObject* parent = nullptr);
    ~CTCPUpdate() override;

    /// Creates the client and connects it (1000 ms) when the configuration names a usable
    /// service; false, and no client, otherwise.
    bool init();
    /// Checks the version (1000 ms); true when the service offers an update. False with a
    /// checkError() when the check got no answer (no connection, timeout, error reply).
    bool requestVersion();
    QString checkError() const { return m_checkError; }
    /// Why the release was refused as not covered by its signed manifest; empty when it was not.
    QString releaseRefusal() const { return m_releaseRefusal; }
    /// The digests of the files the last download wrote whole (see CFileDataWriter).
    const ArrivedDigests& arrivedDigests() const;
    /// Why the download stopped before its first file for lack of disk space; empty otherwise.
    QString diskSpaceRefusal() const { return m_diskSpaceRefusal; }
    /// Downloads every listed file and raises sigUpdateResult with the outcome. False without an
    /// offered update, and then no signal is raised; an offered update without files succeeds at
    /// once.
    bool startTcpUpdate();
    bool downloadAllFiles();

    /// Stops a running iteration: the file that is arriving is abandoned at once, and nothing
    /// after it is requested.
    void requestCancel();
    bool isCancelRequested() const { return m_cancelRequested; }
    bool isDownloading() const { return m_downloading; }

    VersionInfo versionInfo() const { return m_versionInfo; }
    QVector<FileTransferRequest> downloadList() const { return m_downloadList; }
    int currentIndex() const { return m_currentIndex; }
    UpdateWidget* window() const { return m_window; }
    QUpdateTcpClient* client() const { return m_client; }

    /// A byte count as text in GB, MB or KB with two decimals, or in B (negative counts too). The
    /// windows format sizes too, so the formatting itself lives below them in ui/filesize.h.
    static QString formatFileSize(qint64 bytes);
    /// The class of a failure text, by the first keyword group that occurs in it.
    static ErrorClass classifyError(const QString& message);

signals:
    void sigUpdateResult(bool bSuccess);

public slots:
    void onVersionChecked(const VersionInfo& info);
    void onFileDownloadProgress(const QString& filePath, const QString& fileName, uint32_t downloaded,
                                uint32_t total);
    void onFileDownloadCompleted(const QString& filePath, const QString& fileName);
    void onFileDownloadError(const QString& filePath, const QString& fileName, const QString& error);

private slots:
    void onCancelRequested();

private:
    bool downloadEachFile();
    /// Moves the signed manifest and its signature to the front of the list, so that they are
    /// checked before any other file arrives; returns how many of them are listed.
    int moveReleaseManifestFirst();
    /// Moves the release's md5.txt (at the top) right behind the signed manifest, so that kept
    /// files can be checked against it; returns 1 when it is listed.
    int moveMd5ListNext();
    /// Opens the store of an earlier run over `tempDir`; true when its files are of this release.
    bool openResumeStore(const QString& tempDir);
    /// Once the lists have arrived: takes the kept files that still verify out of the download,
    /// keeps nothing else in the temporary folder and checks the disk space for the rest.
    bool prepareRemainingFiles();
    /// With a release key configured: accepts the downloaded manifest, refuses files it does not
    /// list and caps every file at its listed size.
    bool acceptSignedRelease();
    bool downloadWithRetry();
    bool downloadCurrentFile();
    bool reconnectIfDropped();
    void handleDownloadError();
    void updateOverallProgress();
    QString currentFileName() const;

    const CConfigManager& m_config;
    CFileDataWriter* m_writer;
    QUpdateTcpClient* m_client = nullptr;
    std::unique_ptr<UpdateWidget> m_ownWindow;
    QPointer<UpdateWidget> m_window;
    VersionInfo m_versionInfo;
    QVector<FileTransferRequest> m_downloadList;
    int m_currentIndex = -1;
    bool m_cancelRequested = false;
    bool m_downloading = false;
    /// Why the last attempt failed; what handleDownloadError() classifies.
    QString m_failureText;
    QString m_checkError;
    QString m_releaseRefusal;
    int m_signedFileCount = 0;
    /// The signed manifest, its signature and the MD5 list at the front of the download list.
    int m_listCount = 0;
    ReleaseManifest m_acceptedManifest;
    bool m_manifestAccepted = false;
    /// The store of an earlier run holds files of this release.
    bool m_resuming = false;
    /// Positions in the download list of files taken from the store.
    QSet<int> m_keptFiles;
    QString m_diskSpaceRefusal;
    QString m_host;
    quint16 m_port = 0;
};
