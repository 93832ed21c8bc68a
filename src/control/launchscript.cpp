#include "control/launchscript.h"

#include <QFileInfo>

namespace {

QString withBackslashes(QString path)
{
    return path.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

/// The private folder that holds the script, removed with it.
QString folderOf(const QString& scriptPath)
{
    return QFileInfo(scriptPath).path();
}

} // namespace

namespace LaunchScript {

QString windowsBatch(const QString& program, const QStringList& arguments, const QString& batchPath)
{
    QString command = QLatin1Char('"') + withBackslashes(program) + QLatin1Char('"');
    for (const QString& argument : arguments) {
        command += QStringLiteral(" \"") + argument + QLatin1Char('"');
    }
    const QStringList lines = {
        QStringLiteral("@echo off"),
        QStringLiteral("echo Starting in 1 second..."),
        QStringLiteral("timeout /t 1 /nobreak >nul"),
        command,
        // One line: cmd reads the batch file line by line, so nothing after the line that deletes
        // it would run; the line is read whole before its commands run.
        QStringLiteral("del \"") + withBackslashes(batchPath) + QStringLiteral("\" & rmdir \"") +
            withBackslashes(folderOf(batchPath)) + QLatin1Char('"'),
    };
    QString text;
    for (const QString& line : lines) {
        text += line + QStringLiteral("\r\n");
    }
    return text;
}

QString shellQuote(const QString& text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString posixShell(const QString& program, const QStringList& arguments, const QString& scriptPath)
{
    QString command = shellQuote(program);
    for (const QString& argument : arguments) {
        command += QLatin1Char(' ') + shellQuote(argument);
    }
    return QStringLiteral("#!/bin/sh\n"
                          "echo 'Starting in 1 second...'\n"
                          "sleep 1\n") +
           command + QStringLiteral("\nrm -f ") + shellQuote(scriptPath) + QStringLiteral("\nrmdir ") +
           shellQuote(folderOf(scriptPath)) + QLatin1Char('\n');
}

} // namespace LaunchScript
