#pragma once

#include "apply/arriveddigests.h"

#include <QDeadlineTimer>
#include <QDialog>
#include <QHash>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPixmap>
#include <QString>
#include <QVector>

class CFileDownload;
class CPatchPlanner;
class ReleaseManifest;
class QProgressBar;
class RefreshThrottle;
class QTimer;

namespace Ui {
class Widget;
}

/// One file of a running HTTP update.
struct DownloadTask
{
    QString url;          ///< full download address
    QString localPath;    ///< target in the temporary folder
    QString md5;          ///< digest that the server's list gives for this file
    qint64 maxBytes = -1; ///< the transfer is cut off beyond this size; no limit when negative
    qint64 received = 0;  ///< bytes of the file received so far, for the overall bar
    qint64 size = -1;     ///< the file's size once known (the listed size or the server's), else -1
    bool done = false;    ///< downloaded and verified
};

/// The HTTP update dialog and the HTTP update worker.
///
/// The check (checkUpdateVersion, compareMd5List) runs synchronously in nested event loops while
/// the dialog is hidden; the download (startDownload) then fetches the changed files into the
/// temporary folder, up to [Update] MaxConnections of them at once, each verified against its
/// listed MD5, and ends with sigUpdateResult; the first failure stops every transfer. The transfers
/// themselves are CFileDownload's; the dialog keeps the state of the run, the texts and the user's
/// cancellation. The destructor emits sigUpdateResult(false).
///
/// One class is both the dialog and the HTTP worker, so it spans two folders: the form half is in
/// ui/widget.cpp, everything that touches the network in http/widgethttp.cpp.
class Widget : public QDialog
{
    Q_OBJECT
public:
    explicit Widget(QWidget* parent = nullptr);
    ~Widget() override;

    /// The whole check (manifest and list) must end within this time; a server that trickles
    /// its answer cannot keep it going.
    static constexpr int CheckTimeLimitMs = 30000;

    /// 0: same version, 1: update needed, 2: manifest not fetched, 3: manifest unreadable,
    /// refused (too large, not text, typed values) or the check ran out of time. Starts the
    /// check's time limit.
    int checkUpdateVersion();
    /// 0: no file differs, 1: at least one differs (see changedFiles()), 2: list not fetched,
    /// 3: list refused (larger than Md5ListMaxBytes), an entry of it has no digest, or the check
    /// ran out of time.
    int compareMd5List();
    /// Why the last check step failed (the network error or the fault in the server's lists).
    QString checkError() const { return m_checkError; }
    bool parseServerVersion();
    /// Downloads `url` into `savePath`, waiting in a nested event loop, within what is left of
    /// the check's time limit and aborted beyond `maxBytes` (no limit when negative). False
    /// leaves the reason in detailText() and no file behind.
    bool fetchFile(const QString& url, const QString& savePath, QProgressBar* progressBar,
                   qint64 maxBytes = -1);

    void startDownload();
    void beginUpdate(const QMap<QString, QString>& changedFiles);
    void downloadNext();
    /// Removes the list files fetched by the check and everything in the manifest folder except
    /// the installed update.ini.
    void cleanupTempFiles();
    /// Removes the list files fetched by the check (update/updateTmp.ini, update/md5Tmp.txt).
    void removeStagedFiles();
    /// Puts the status and detail texts into their labels and paints them at once.
    void refreshLabels();
    /// Puts the status and detail texts into their labels; the caller decides when they paint.
    void setLabelTexts();
    /// Shows that the downloaded update could not be installed; the cancel button then closes
    /// the dialog.
    void showInstallFailure(const QString& text);

    QMap<QString, QString> changedFiles() const { return m_changedFiles; }
    QString statusText() const { return m_statusText; }
    QString detailText() const { return m_detailText; }
    /// The version in the server's update.ini, once the check has read it.
    QString serverVersion() const { return m_serverVersion; }
    /// Why the download was refused as not covered by the release's signed manifest.
    QString releaseRefusal() const { return m_releaseRefusal; }
    /// Why the download did not start: the installation's volume has no room for it.
    QString diskSpaceRefusal() const { return m_diskSpaceRefusal; }
    /// The digests of the files this run downloaded whole (patches and kept files excluded).
    const ArrivedDigests& arrivedDigests() const { return m_arrivedDigests; }
    bool isUpdating() const { return m_isUpdating; }
    bool isCancelRequested() const { return m_cancelRequested; }
    /// The per-request transfer timeout, 120000 ms unless changed (tests shorten it, here or for
    /// whole runs through UPDATER_TEST_TRANSFER_TIMEOUT_MS).
    void setTransferTimeout(int milliseconds) { m_transferTimeoutMs = milliseconds; }

    void reject() override;

signals:
    void sigUpdateResult(bool bSuccess);

public slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onDownloadFinished();
    void onDownloadError(QNetworkReply::NetworkError error);
    void onUpdateCompleted(bool success);
    void onCancelUpdate();
    void onCheckCancelRequest();

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void applyAppearance();
    bool confirmCancel();
    void cleanupIfLeftRunning();
    void failTask(const QString& text);
    /// Names `task`'s file in the file line.
    void showFileLine(const DownloadTask& task);
    /// Keeps the digests of a file downloaded whole for the release check.
    void recordArrival(const DownloadTask& task, const CFileDownload& download);
    /// Starts task `index`; false (after failing the update) when its target cannot be prepared.
    bool startTask(int index);
    /// The running transfer that sent the current signal, or null when it is no longer running.
    CFileDownload* signallingDownload() const;
    void releaseDownload(CFileDownload* download);
    /// Once the file shown has arrived while others are still on their way: shows the one of them
    /// that started last.
    void showLatestRunning();
    void onDownloadRetrying(CFileDownload* download, int retry, const QString& reason);
    void beginOverallProgress();
    /// What task `task` adds to m_overallDone.
    double overallShare(const DownloadTask& task) const;
    /// Records the progress of task `index` and shows it in progressBar_update.
    void updateOverallProgress(int index, qint64 received, bool done);
    /// Aborts one running transfer, which reports it as failed, and discards the others.
    void abortDownload();
    /// Deletes the running transfers, if any, without a report.
    void discardDownload();
    static int defaultTransferTimeout();
    QString baseAddress() const;
    QString fetchFailureText(const QString& address) const;
    /// With a release key configured: fetches the signed manifest before any other file,
    /// accepts it, refuses changed files it does not list and caps each at its listed size.
    bool acceptSignedRelease(ReleaseManifest& accepted);
    /// Fetches the release's patch list (the signed one when `accepted` is the accepted signed
    /// manifest, delta.txt without a key) so that changed files can come as patches.
    void loadPatchIndex(const ReleaseManifest* accepted);
    /// The transfer for `task`: its patch when one fits the installed copy, else the file itself.
    DownloadTask transferFor(const DownloadTask& task);
    /// After the patch transfer of task `index`: true when the file is in place, false when the
    /// whole file has been started instead (or could not be).
    bool finishPatch(int index, const CFileDownload& download);
    /// The store of an earlier run's downloads for this release; true when it may be used.
    bool openResumeStore();
    /// Takes the kept files of `files` that still verify out of the list to fetch.
    QMap<QString, QString> filesStillToFetch(const QMap<QString, QString>& files);
    /// False (with the reason in diskSpaceRefusal()) when the volume cannot take the update of
    /// `changedFiles`, of which `toFetch` are still to be downloaded.
    bool hasRoomFor(const QMap<QString, QString>& changedFiles, const QMap<QString, QString>& toFetch);
    QString manifestFolder() const;
    /// After a failed fetch: the step's result when the check must fail as a whole (3) with the
    /// reason in the texts, or 2 for an ordinary fetch failure.
    int refusedOrNotFetched(const QString& refusalForSize);

    Ui::Widget* ui;
    /// Progress repaints at most about 60 times a second; status texts at once.
    RefreshThrottle* m_refresh = nullptr;
    QString m_appDir;
    QString m_serverFolder;
    QString m_serverVersion;
    QVector<QString> m_tempFiles;
    /// Built at the first request: a run over TCP never needs it.
    QNetworkAccessManager* networkManager();
    QNetworkAccessManager* m_manager = nullptr;
    /// The running per-file transfers, each with the index of its task; empty between transfers.
    QHash<CFileDownload*, int> m_downloads;
    /// The transfer started last, which the file line and the file bar show.
    CFileDownload* m_shownDownload = nullptr;
    CPatchPlanner* m_patches = nullptr; ///< set once the download started with a patch list
    QVector<DownloadTask> m_tasks;
    int m_currentIndex = 0; ///< the next task to start
    int m_totalCount = 0;
    int m_doneCount = 0;
    int m_maxConnections = 1;
    /// The overall bar: what is done and the whole, in bytes when every file's size is listed,
    /// otherwise in files (each counting by its share received).
    bool m_progressInBytes = false;
    double m_overallDone = 0;
    double m_overallTotal = 0;
    bool m_isUpdating = false;
    bool m_cancelRequested = false;
    bool m_installFailed = false;
    QString m_statusText;
    QString m_detailText;
    QString m_checkError;
    QTimer* m_cancelTimer = nullptr;
    QMap<QString, QString> m_changedFiles;
    QHash<QString, qint64> m_sizeLimits;
    QString m_releaseRefusal;
    QString m_diskSpaceRefusal;
    QPixmap m_background;
    int m_transferTimeoutMs;
    QDeadlineTimer m_checkDeadline{QDeadlineTimer::Forever};
    bool m_fetchTooLarge = false;
    bool m_fetchOutOfTime = false;
    bool m_resuming = false;
    /// A key is configured: downloads take the SHA-256 that the release check needs as they arrive.
    bool m_signedRelease = false;
    ArrivedDigests m_arrivedDigests;
};
