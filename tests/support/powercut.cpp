#include "support/powercut.h"

#include "apply/applyjournal.h"
#include "platform/fileplatform.h"
#include "platform/operationrecord.h"
#include "support/applydriver.h"
#include "support/files.h"
#include "support/installsnapshot.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

/// Parts of a scratch installation that no apply writes: left out of the model and laid out by
/// ScratchInstallation and ApplyDriver themselves.
const QStringList NotModelled = {QStringLiteral("logs"), QLatin1String(ApplyDriver::driverName),
                                 QStringLiteral("update.exe"), QStringLiteral("host-started")};

/// One inode: a file's data (flushed or not), a link's target, or a folder's entries as they are
/// now and as its last flush left them on the device.
struct Node
{
    enum Kind
    {
        File,
        Folder,
        Link
    } kind = Folder;
    QByteArray data;
    bool dataFlushed = true;
    QMap<QString, int> entries;
    QMap<QString, int> flushedEntries;
};

/// What a power cut takes of the work that was not flushed: all of it, only the data (every folder
/// entry change made it), or a random part of each.
class Loss
{
public:
    enum Kind
    {
        Everything,
        DataOnly,
        Drawn
    };

    explicit Loss(Kind kind, QRandomGenerator* random = nullptr) : m_kind(kind), m_random(random) {}

    bool keepsEntryChange() const
    {
        return m_kind == DataOnly || (m_kind == Drawn && m_random->bounded(2) == 0);
    }

    QByteArray keptData(const QByteArray& data) const
    {
        if (m_kind != Drawn) {
            return QByteArray();
        }
        // Half of the time the data made it; otherwise some of its start did.
        return m_random->bounded(2) == 0 ? data : data.left(m_random->bounded(data.size() + 1));
    }

private:
    Kind m_kind;
    QRandomGenerator* m_random;
};

/// The disk as the recorded operations change it, with what of it is durable.
class DiskModel
{
public:
    explicit DiskModel(const PowerCut::Disk& before)
    {
        m_nodes.append(Node());
        for (const QString& folder : before.folders) {
            insert(folder, Node{Node::Folder, {}, true, {}, {}}, true);
        }
        for (auto it = before.files.cbegin(); it != before.files.cend(); ++it) {
            insert(it.key(), Node{Node::File, it.value(), true, {}, {}}, true);
        }
        for (auto it = before.links.cbegin(); it != before.links.cend(); ++it) {
            insert(it.key(), Node{Node::Link, it.value().toUtf8(), true, {}, {}}, true);
        }
    }

    /// Replays one line of the record.
    void apply(const QList<QByteArray>& fields)
    {
        const QByteArray operation = fields.value(0);
        const QString path = QString::fromUtf8(fields.value(1));
        const QByteArray field = fields.value(2);
        if (operation == "write") {
            insert(path, Node{Node::File, QByteArray::fromBase64(field), false, {}, {}}, false);
        } else if (operation == "mkdir") {
            insert(path, Node{Node::Folder, {}, true, {}, {}}, false);
        } else if (operation == "link") {
            insert(path, Node{Node::Link, field, true, {}, {}}, false);
        } else if (operation == "rename") {
            const int node = take(path);
            if (node >= 0) {
                link(QString::fromUtf8(field), node);
            }
        } else if (operation == "remove" || operation == "rmdir") {
            take(path);
        } else if (operation == "flush" || operation == "flushdir") {
            const int node = resolve(path);
            if (node >= 0) {
                m_nodes[node].dataFlushed = true;
                m_nodes[node].flushedEntries = m_nodes[node].entries;
            }
        }
    }

    /// What a power cut now could leave.
    PowerCut::Disk cut(const Loss& loss) const
    {
        PowerCut::Disk disk;
        QSet<int> visited;
        walk(0, QString(), loss, disk, visited);
        return disk;
    }

private:
    static bool isOutside(const QString& path)
    {
        return path.isEmpty() || path == QLatin1String("..") || path.startsWith(QLatin1String("../")) ||
               QDir::isAbsolutePath(path);
    }

    static QString nameOf(const QString& path) { return path.section(QLatin1Char('/'), -1); }

    int resolve(const QString& path) const
    {
        if (path == QLatin1String(".")) {
            return 0;
        }
        if (isOutside(path)) {
            return -1;
        }
        int node = 0;
        for (const QString& name : path.split(QLatin1Char('/'))) {
            if (node < 0 || m_nodes.at(node).kind != Node::Folder) {
                return -1;
            }
            node = m_nodes.at(node).entries.value(name, -1);
        }
        return node;
    }

    int parentOf(const QString& path) const
    {
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        return isOutside(path) ? -1 : resolve(slash < 0 ? QStringLiteral(".") : path.left(slash));
    }

    void link(const QString& path, int node)
    {
        const int parent = parentOf(path);
        if (parent >= 0 && m_nodes.at(parent).kind == Node::Folder) {
            m_nodes[parent].entries.insert(nameOf(path), node);
        }
    }

    void insert(const QString& path, const Node& node, bool flushed)
    {
        m_nodes.append(node);
        link(path, m_nodes.size() - 1);
        const int parent = parentOf(path);
        if (flushed && parent >= 0) {
            m_nodes[parent].flushedEntries.insert(nameOf(path), m_nodes.size() - 1);
        }
    }

    /// Unlinks `path`; the node it named, or -1 when it named none.
    int take(const QString& path)
    {
        const int parent = parentOf(path);
        if (parent < 0 || !m_nodes.at(parent).entries.contains(nameOf(path))) {
            return -1;
        }
        return m_nodes[parent].entries.take(nameOf(path));
    }

    void walk(int folder, const QString& prefix, const Loss& loss, PowerCut::Disk& disk,
              QSet<int>& visited) const
    {
        visited.insert(folder);
        const Node& here = m_nodes.at(folder);
        QStringList names = here.entries.keys() + here.flushedEntries.keys();
        names.removeDuplicates();
        names.sort();
        for (const QString& name : qAsConst(names)) {
            const int now = here.entries.value(name, -1);
            const int flushed = here.flushedEntries.value(name, -1);
            const bool keepsChange = now == flushed || loss.keepsEntryChange();
            const int chosen = keepsChange ? now : flushed;
            if (chosen < 0) {
                continue;
            }
            const Node& node = m_nodes.at(chosen);
            const QString path = prefix + name;
            if (node.kind == Node::Folder) {
                if (!visited.contains(chosen)) {
                    disk.folders.append(path);
                    walk(chosen, path + QLatin1Char('/'), loss, disk, visited);
                }
            } else if (node.kind == Node::Link) {
                disk.links.insert(path, QString::fromUtf8(node.data));
            } else {
                disk.files.insert(path, node.dataFlushed ? node.data : loss.keptData(node.data));
            }
        }
    }

    QVector<Node> m_nodes;
};

PowerCut::Disk readDisk(const QString& root)
{
    PowerCut::Disk disk;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        if (NotModelled.contains(relative.section(QLatin1Char('/'), 0, 0))) {
            continue;
        }
        const QFileInfo info = it.fileInfo();
        if (info.isSymLink()) {
            disk.links.insert(relative, FilePlatform::linkTarget(path));
        } else if (info.isDir()) {
            disk.folders.append(relative);
        } else {
            QFile file(path);
            disk.files.insert(relative, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
        }
    }
    disk.folders.sort();
    return disk;
}

void layOut(const PowerCut::Disk& disk, const QString& root)
{
    for (const QString& folder : disk.folders) {
        QDir(root).mkpath(folder);
    }
    for (auto it = disk.files.cbegin(); it != disk.files.cend(); ++it) {
        writeFile(root + QLatin1Char('/') + it.key(), it.value());
    }
    for (auto it = disk.links.cbegin(); it != disk.links.cend(); ++it) {
        QFile::link(it.value(), root + QLatin1Char('/') + it.key());
    }
}

/// A release installed after the recovery: it must go in whatever the power cut left.
void stageLaterRelease(ScratchInstallation& installation)
{
    installation.writeFile(QStringLiteral("temp/a.txt"), "later a");
    installation.writeFile(QStringLiteral("temp/lib/x.dll"), "later x");
    installation.writeFile(QStringLiteral("update/md5Tmp.txt"), "later list");
}

CrashLoop::Snapshot withLaterRelease(CrashLoop::Snapshot state)
{
    state.insert(QStringLiteral("a.txt"), "later a");
    state.insert(QStringLiteral("lib/x.dll"), "later x");
    state.insert(QStringLiteral("md5.txt"), "later list");
    return state;
}

/// update.exe started, as the host starts it, on a fresh installation that holds one disk.
struct StartedRun
{
    std::unique_ptr<ScratchInstallation> installation =
        std::make_unique<ScratchInstallation>(ScratchInstallation::Updater::Linked);
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
};

void startOn(const PowerCut::Disk& disk, StartedRun& run)
{
    layOut(disk, run.installation->path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    run.process->setProcessEnvironment(environment);
    run.process->setWorkingDirectory(run.installation->path());
    run.process->setStandardOutputFile(QProcess::nullDevice());
    run.process->setStandardErrorFile(QProcess::nullDevice());
    run.process->start(run.installation->updaterPath(), {QStringLiteral("console")});
}

bool endedWell(QProcess& process)
{
    constexpr int TimeoutMs = 30000;
    if (!process.waitForFinished(TimeoutMs)) {
        process.kill();
        process.waitForFinished(TimeoutMs);
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

/// Judges what update.exe made of one disk, then runs a later update unless an earlier disk
/// recovered to the same one (in `recovered`); empty when both kept the promise.
QString judge(StartedRun& run, const CrashLoop::Snapshot& oldState, const CrashLoop::Snapshot& newState,
              QSet<QByteArray>& recovered)
{
    ScratchInstallation& installation = *run.installation;
    if (!endedWell(*run.process)) {
        return QStringLiteral("the next run failed");
    }
    const CrashLoop::Snapshot after = CrashLoop::installationState(installation);
    if (after != oldState && after != newState) {
        return QStringLiteral("neither old (%1) nor new (%2)")
            .arg(describeDifference(after, oldState), describeDifference(after, newState));
    }
    if (installation.exists(QLatin1String(CApplyJournal::fileName)) ||
        installation.exists(QStringLiteral("backup"))) {
        return QStringLiteral("the journal or the backup outlived the recovery");
    }
    const QByteArray recoveredDisk = readDisk(installation.path()).key();
    if (recovered.contains(recoveredDisk)) {
        return QString();
    }
    recovered.insert(recoveredDisk);
    stageLaterRelease(installation);
    const ProcessResult later = CrashLoop::runDriver(installation, {});
    const CrashLoop::Snapshot installed = CrashLoop::installationState(installation);
    if (!later.finished || later.exitCode != 0 || installed != withLaterRelease(after)) {
        return QStringLiteral("a later update did not install (%1)")
            .arg(describeDifference(installed, withLaterRelease(after)));
    }
    return QString();
}

/// The record's lines split into fields. Flushes of one kind that follow each other ran at the same
/// time, from the batch's threads, in any order: they are sorted, so that the disks drawn for a
/// record do not depend on how the threads ran.
QVector<QList<QByteArray>> inFlushOrder(const QByteArray& record)
{
    QList<QByteArray> lines = record.split('\n');
    const auto kindOf = [&lines](int line) { return lines.at(line).left(lines.at(line).indexOf('\t')); };
    for (int start = 0; start < lines.size();) {
        const QByteArray kind = kindOf(start);
        int end = start + 1;
        while (kind.startsWith("flush") && end < lines.size() && kindOf(end) == kind) {
            ++end;
        }
        std::sort(lines.begin() + start, lines.begin() + end);
        start = end;
    }
    QVector<QList<QByteArray>> operations;
    for (const QByteArray& line : qAsConst(lines)) {
        operations.append(line.split('\t'));
    }
    return operations;
}

QString describeDisk(const PowerCut::Disk& disk)
{
    QStringList lines;
    for (auto it = disk.files.cbegin(); it != disk.files.cend(); ++it) {
        // The configuration is the same on every disk.
        if (it.key() != QLatin1String("system.cfg")) {
            lines << it.key() + QLatin1Char('=') + QString::fromUtf8(it.value());
        }
    }
    for (auto it = disk.links.cbegin(); it != disk.links.cend(); ++it) {
        lines << it.key() + QStringLiteral("->") + it.value();
    }
    return lines.join(QStringLiteral(", "));
}

} // namespace

namespace PowerCut {

QByteArray Disk::key() const
{
    QByteArray key;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        key += "f " + it.key().toUtf8() + '\0' + it.value().toBase64() + '\n';
    }
    for (auto it = links.cbegin(); it != links.cend(); ++it) {
        key += "l " + it.key().toUtf8() + '\0' + it.value().toUtf8() + '\n';
    }
    for (const QString& folder : folders) {
        key += "d " + folder.toUtf8() + '\n';
    }
    return key;
}

QVector<Disk> disksAfterPowerCuts(const Disk& before, const QByteArray& record, int mixtures, quint32 seed,
                                  int& flushPoints)
{
    DiskModel model(before);
    QVector<Disk> disks;
    QSet<QByteArray> seen;
    const auto keep = [&](const Disk& disk) {
        if (!seen.contains(disk.key())) {
            seen.insert(disk.key());
            disks.append(disk);
        }
    };
    flushPoints = 0;
    const auto cutNow = [&] {
        keep(model.cut(Loss(Loss::Everything)));
        keep(model.cut(Loss(Loss::DataOnly)));
        // Each point draws from its own sequence, so that the draws do not depend on the others.
        QRandomGenerator random(seed + static_cast<quint32>(flushPoints));
        for (int mixture = 0; mixture < mixtures; ++mixture) {
            keep(model.cut(Loss(Loss::Drawn, &random)));
        }
        ++flushPoints;
    };
    for (const QList<QByteArray>& fields : inFlushOrder(record)) {
        // A power cut just before a flush loses the most that this flush would have kept.
        if (fields.value(0).startsWith("flush")) {
            cutNow();
        }
        model.apply(fields);
    }
    cutNow();
    return disks;
}

Outcome checkEveryPowerCut(const CrashLoop::Stage& stage, const CrashLoop::Interrupt& run,
                           const CrashLoop::Snapshot& oldState, const CrashLoop::Snapshot& newState)
{
    Outcome outcome;
    QTemporaryDir recordFolder;
    const QString recordPath = recordFolder.filePath(QStringLiteral("operations"));
    ScratchInstallation recorded;
    recorded.writeConfig(ScratchInstallation::offlineConfig());
    stage(recorded);
    const Disk before = readDisk(recorded.path());
    run(recorded, {{QLatin1String(OperationRecord::variableName), recordPath}});
    QFile recordFile(recordPath);
    if (!recordFile.open(QIODevice::ReadOnly)) {
        qWarning("the run left no operation record");
        outcome.states = -1;
        return outcome;
    }
    constexpr int Mixtures = 2;
    const QVector<Disk> disks =
        disksAfterPowerCuts(before, recordFile.readAll(), Mixtures, 25, outcome.flushPoints);
    QSet<QByteArray> recovered;
    // The runs mostly wait for the disk; a few at a time take a fraction of the time.
    constexpr int RunsAtATime = 4;
    for (int first = 0; first < disks.size(); first += RunsAtATime) {
        std::vector<StartedRun> runs(static_cast<size_t>(qMin(RunsAtATime, disks.size() - first)));
        for (size_t index = 0; index < runs.size(); ++index) {
            startOn(disks.at(first + static_cast<int>(index)), runs[index]);
        }
        for (size_t index = 0; index < runs.size(); ++index) {
            const QString failure = judge(runs[index], oldState, newState, recovered);
            if (!failure.isEmpty()) {
                qWarning("power cut leaving [%s]: %s",
                         qPrintable(describeDisk(disks.at(first + static_cast<int>(index)))),
                         qPrintable(failure));
                outcome.states = -1;
                return outcome;
            }
            ++outcome.states;
        }
    }
    qInfo("%d distinct disks from %d flush points, %d distinct recoveries updated later", outcome.states,
          outcome.flushPoints, int(recovered.size()));
    return outcome;
}

} // namespace PowerCut
