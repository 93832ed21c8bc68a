#include "platform/platform.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>

#include <spdlog/sinks/wincolor_sink.h>

#include <windows.h>

#include <sddl.h>

#include <string>

namespace {

/// 128 random bits from the system's cryptographic source, as hexadecimal text.
QString unguessableName()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    QString name;
    for (const quint32 word : words) {
        name += QStringLiteral("%1").arg(word, 8, 16, QLatin1Char('0'));
    }
    return name;
}

} // namespace

namespace Platform {

QString delayedStartScriptName(qint64 msecsSinceEpoch)
{
    return QStringLiteral("delay_start_%1.bat").arg(msecsSinceEpoch);
}

ScriptShell scriptShell()
{
    return ScriptShell::WindowsBatch;
}

bool encodeScriptText(const QString& text, QByteArray& encoded)
{
    // cmd.exe reads a batch file in the console code page, not in the ANSI one and not as UTF-8.
    const UINT codePage = ::GetOEMCP();
    if (codePage == CP_UTF8) {
        encoded = text.toUtf8();
        return true;
    }
    encoded.clear();
    if (text.isEmpty()) {
        return true;
    }
    const auto wide = reinterpret_cast<LPCWCH>(text.utf16());
    BOOL lossy = FALSE;
    const int size =
        ::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, text.size(), nullptr, 0, nullptr, &lossy);
    if (size <= 0 || lossy) {
        return false;
    }
    encoded.resize(size);
    ::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, text.size(), encoded.data(), size, nullptr,
                          &lossy);
    return !lossy;
}

QString scriptSafePath(const QString& path)
{
    QByteArray unused;
    if (encodeScriptText(path, unused)) {
        return path;
    }
    const std::wstring longPath = QDir::toNativeSeparators(path).toStdWString();
    const DWORD size = ::GetShortPathNameW(longPath.c_str(), nullptr, 0);
    if (size == 0) {
        return path;
    }
    std::wstring shortPath(size, L'\0');
    const DWORD written = ::GetShortPathNameW(longPath.c_str(), shortPath.data(), size);
    if (written == 0 || written >= size) {
        return path;
    }
    shortPath.resize(written);
    return QDir::fromNativeSeparators(QString::fromStdWString(shortPath));
}

QString createPrivateFolder(const QString& parent)
{
    // Full control for the owner, SYSTEM and the administrators only; not inherited from the
    // parent, which may be a temporary folder that every user can write.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
        return QString();
    }
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    QString created;
    for (int attempt = 0; attempt < 8 && created.isEmpty(); ++attempt) {
        const QString candidate = parent + QStringLiteral("/update-launch-") + unguessableName();
        // CreateDirectory fails when anything, a link included, already has that name.
        if (::CreateDirectoryW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(candidate).utf16()),
                               &attributes)) {
            created = candidate;
        }
    }
    ::LocalFree(descriptor);
    return created;
}

bool writeNewFile(const QString& path, const QByteArray& content)
{
    // CREATE_NEW never opens what exists at the name; OPEN_REPARSE_POINT keeps a link from being
    // followed should one appear.
    const HANDLE file =
        ::CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()), GENERIC_WRITE, 0,
                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok =
        ::WriteFile(file, content.constData(), static_cast<DWORD>(content.size()), &written, nullptr) &&
        written == static_cast<DWORD>(content.size()) && ::FlushFileBuffers(file);
    ::CloseHandle(file);
    return ok;
}

bool startScript(const QString& scriptPath)
{
    return QProcess::startDetached(QStringLiteral("cmd.exe"),
                                   {QStringLiteral("/c"), QDir::toNativeSeparators(scriptPath)});
}

QString nativeProgramPath(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

spdlog::filename_t logFileName(const std::string& utf8Path)
{
    const QString path = QString::fromStdString(utf8Path);
#ifdef SPDLOG_WCHAR_FILENAMES
    return path.toStdWString();
#else
    // A logging library built for narrow names opens them in the ANSI code page.
    return path.toLocal8Bit().toStdString();
#endif
}

std::shared_ptr<spdlog::sinks::sink> createConsoleSink()
{
    return std::make_shared<spdlog::sinks::wincolor_stdout_sink_mt>();
}

void prepareProcess()
{
    // Windows always has a desktop to draw on.
}

} // namespace Platform
