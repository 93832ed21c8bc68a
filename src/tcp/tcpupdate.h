#pragma once

#include <QObject>
#include <QString>

/// The TCP update channel as the update model sees it.
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

    explicit CTCPUpdate(QObject* parent = nullptr);

    /// A byte count as text in GB, MB or KB with two decimals, or in B (negative counts too).
    static QString formatFileSize(qint64 bytes);
    /// The class of a failure text, by the first keyword group that occurs in it.
    static ErrorClass classifyError(const QString& message);

signals:
    void sigUpdateResult(bool bSuccess);
};
