#pragma once

#include <QString>
#include <QStringList>

#include <iostream>
#include <sstream>

/// Collects what the updater logs while the object lives, for tests that check log texts.
///
/// Works while Logger is not initialised, when every message goes to standard output (standard
/// error for errors) as "[LEVEL] text"; both streams are redirected into buffers.
class LogCapture
{
public:
    LogCapture() : m_oldOut(std::cout.rdbuf(m_out.rdbuf())), m_oldErr(std::cerr.rdbuf(m_err.rdbuf())) {}
    ~LogCapture()
    {
        std::cout.rdbuf(m_oldOut);
        std::cerr.rdbuf(m_oldErr);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    /// Every line logged so far, "[INFO] text" etc., errors after the others.
    QStringList lines() const
    {
        const QString text = QString::fromStdString(m_out.str()) + QString::fromStdString(m_err.str());
        return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    /// The logged texts of one level ("DEBUG", "INFO", "WARN", "ERROR"), in order.
    QStringList texts(const QString& level) const
    {
        const QString prefix = QLatin1Char('[') + level + QStringLiteral("] ");
        QStringList found;
        for (const QString& line : lines()) {
            if (line.startsWith(prefix)) {
                found.append(line.mid(prefix.size()));
            }
        }
        return found;
    }

private:
    std::ostringstream m_out;
    std::ostringstream m_err;
    std::streambuf* m_oldOut;
    std::streambuf* m_oldErr;
};
