#include "packageunpacker.h"

#include "burnplan.h"
#include "upgradepackage.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

// True when `path` names something inside the directory `dir` (both resolved,
// links included).
bool isInside(const QString &path, const QString &dir) {
    const QString canonicalDir = QFileInfo(dir).canonicalFilePath();
    const QString canonicalPath = QFileInfo(path).canonicalFilePath();
    return !canonicalDir.isEmpty() && !canonicalPath.isEmpty() &&
           canonicalPath.startsWith(canonicalDir + QLatin1Char('/'));
}

} // namespace

PackageUnpacker::Result PackageUnpacker::run(const QString &packagePath, int finishLimitMs,
                                             const Progress &progress) {
    Result result;
    const QString tmp = QString::fromLatin1(UpgradePackage::kTmpDir);
    const QString localPath = QDir::fromNativeSeparators(packagePath);

    // Emptying a linked tmp/ would empty whatever directory it points to.
    if (QFileInfo(tmp).isSymLink()) {
        result.outcome = Outcome::TmpIsLink;
        result.detail = QStringLiteral("tmp is a symbolic link");
        return result;
    }
    // The archiver would block on a FIFO, and a directory is no package.
    if (!QFileInfo(localPath).isFile()) {
        result.outcome = Outcome::Refused;
        result.detail = QStringLiteral("%1 is not a regular file").arg(packagePath);
        return result;
    }

    // A package kept inside tmp/ is copied out of the way before tmp/ is
    // emptied, and unpacked from the copy.
    QTemporaryDir aside;
    QString source = localPath;
    if (isInside(localPath, tmp)) {
        const QString copy = aside.filePath(QFileInfo(localPath).fileName());
        if (!aside.isValid() || !QFile::copy(localPath, copy)) {
            result.outcome = Outcome::Refused;
            result.detail =
                QStringLiteral("%1 lies in tmp and could not be copied out of it").arg(packagePath);
            return result;
        }
        qDebug() << "package in tmp copied to" << copy;
        source = copy;
    }

    // From here on tmp/ is not a whole import until the marker is written
    // again at the end.
    UpgradePackage::clearImportComplete(tmp);
    UpgradePackage::deleteDirContents(tmp);
    result.tmpEmptied = true;

    qDebug() << "begin run";
    if (progress) progress(Stage::Unpacking, -1);
    const UpgradePackage::UnpackOutcome unpacked =
        UpgradePackage::unpack(source, finishLimitMs, [&progress](int percent) {
            if (progress) progress(Stage::Unpacking, percent);
        });
    if (unpacked.result == UpgradePackage::UnpackResult::TimedOut) {
        result.outcome = Outcome::TimedOut;
        return result;
    }
    if (unpacked.result == UpgradePackage::UnpackResult::Failed) {
        // Nothing of a damaged unpack may be burnt: a truncated image would
        // be measured and loaded as if it were whole.
        qDebug().noquote() << "unpack failed:" << unpacked.errors;
        UpgradePackage::deleteDirContents(tmp);
        result.outcome = Outcome::Failed;
        result.detail = unpacked.errors;
        return result;
    }
    qDebug() << "end run";

    result.upgradeDir = UpgradePackage::upgradeDirAfterUnpack();
    qDebug() << result.upgradeDir;
    result.planPath = result.upgradeDir + QString::fromLatin1(BurnPlan::DEFAULT_PATH);
    if (!QFile::exists(result.planPath)) {
        result.outcome = Outcome::NoPlan;
        return result;
    }
    qDebug() << "config path is :" << result.planPath;
    if (progress) progress(Stage::ReadingPlan, -1);
    result.plan = std::make_shared<const BurnPlan>(result.planPath);
    result.outcome = Outcome::Ready;
    // The unpacked files on the disk first, then the marker that says so.
    UpgradePackage::syncFiles(tmp);
    if (!UpgradePackage::markImportComplete(tmp, packagePath))
        qWarning().noquote() << "the import could not be marked complete in" << tmp
                             << "; a later start will not burn from it";
    return result;
}
