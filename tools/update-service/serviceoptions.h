#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

/// Command line of the reference update service, including the switches meant for tests.
struct ServiceOptions
{
    QString root;
    QString version;
    QHostAddress host = QHostAddress::LocalHost;
    quint16 port = 0;
    int chunkSize = 64 * 1024;
    qint32 productCode = 1;

    // Misbehaviour on request, for testing clients.
    QStringList errorFiles;       ///< release-relative paths (or bare names) answered with an error reply
    bool errorVersion = false;    ///< answer version checks with an error reply
    qint64 dropAfter = -1;        ///< close a connection after this many bytes of file data frames
    int dropTimes = 1;            ///< how many connections are dropped that way
    int delayMs = 0;              ///< wait before answering a version check or a file request
    int chunkDelayMs = 0;         ///< pause between the chunks of a file
    qint64 announceSize = -1;     ///< file size written into chunks instead of the real one
    bool corrupt = false;         ///< put a frame with a wrong magic before each answer
    QString prependFile;          ///< stream this release file before every requested one
    bool emptyFinalChunk = false; ///< end every file with a separate empty final chunk
    QStringList extraRecords;     ///< "folder|name" records listed in addition to the release
    QString answerAs;             ///< "folder|name" written into every chunk instead of the request's

    /// Parses `arguments` (with the program name first); false with `error` set on bad input.
    bool parse(const QStringList& arguments, QString& error);
};
