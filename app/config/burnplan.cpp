#include "burnplan.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QXmlStreamReader>
#include <QtEndian>

#include <cstring>
#include <vector>

namespace {

// Plans written on Windows use backslashes; here both are separators.
QString nativePath(QString path) {
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QDir::toNativeSeparators(path);
}

// Everything before the last separator; empty when there is none.
QString directoryOf(const QString &path) {
    const int cut = int(path.lastIndexOf(QDir::separator()));
    return cut < 0 ? QString() : path.left(cut);
}

// The sn attribute: missing or not a number counts as 0. A number that does
// not fit an int is kept out of range (so the element is skipped) instead of
// silently landing in record 0.
int parseSn(const QString &text) {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok);
    if (ok)
        return value < -1 ? -1
                          : (value > BurnPlan::MAX_COMMANDS ? BurnPlan::MAX_COMMANDS : int(value));
    static const QRegularExpression digits(QStringLiteral("^\\s*([+-]?)[0-9]+\\s*$"));
    const QRegularExpressionMatch m = digits.match(text);
    if (m.hasMatch()) return m.captured(1) == QLatin1String("-") ? -1 : BurnPlan::MAX_COMMANDS;
    return 0;
}

// A decimal number of any size (a too large sn is a number, only out of range).
bool isDecimal(const QString &text) {
    static const QRegularExpression digits(QStringLiteral("^\\s*[+-]?[0-9]+\\s*$"));
    return digits.match(text).hasMatch();
}

// Image size as the low 32 bits of the file length, read as a signed value.
qint32 fileSize32(const QString &path) {
    return qint32(quint32(quint64(QFileInfo(path).size())));
}

// A plan step names a file that exists only when it is a regular file:
// a directory or a device node is treated as missing.
bool isImageFile(const QString &path) {
    return QFileInfo(path).isFile();
}

// Measured image: size (-1 until found) and word sum.
struct Image {
    qint32 size = -1;
    quint32 sum = 0;
};

// The device takes image sizes as 32-bit signed numbers.
constexpr qint64 kLargestImage = 0x7fffffff;

bool measure(const QString &path, Image &image) {
    if (!isImageFile(path)) {
        qDebug().nospace().noquote() << "cannot find " << path;
        return false;
    }
    image.size = fileSize32(path);
    // An image too large for the device is refused by the reader; summing
    // gigabytes for it would only delay that.
    image.sum = QFileInfo(path).size() > kLargestImage ? 0 : BurnPlan::checkSum(path);
    return true;
}

// Replaces every size placeholder ":<digits>#" with ":<size>#".
QString fillPlaceholders(QString text, qint32 size) {
    static const QRegularExpression placeholder(QStringLiteral(":[0-9]*#"));
    return text.replace(placeholder, QStringLiteral(":%1#").arg(size));
}

// Sum of n little-endian 32-bit words, modulo 2^32. Lanes of 32-bit adds wrap
// exactly like the scalar sum, so the lanes are added up at the end; several
// vectors in flight keep the adders busy while the block streams through.
// On x86-64 a second copy for AVX2 is picked at load time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) &&                             \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
quint32
sumWords(const unsigned char *p, size_t n) {
    typedef quint32 Lanes __attribute__((vector_size(32)));
    constexpr size_t perLanes = sizeof(Lanes) / 4;
    constexpr size_t unroll = 4;
    Lanes acc[unroll] = {};
    size_t w = 0;
    if (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        for (; w + unroll * perLanes <= n; w += unroll * perLanes) {
            for (size_t k = 0; k < unroll; ++k) {
                Lanes v;
                std::memcpy(&v, p + 4 * (w + k * perLanes), sizeof v);
                acc[k] += v;
            }
        }
    }
    quint32 sum = 0;
    for (size_t k = 0; k < unroll; ++k)
        for (size_t lane = 0; lane < perLanes; ++lane)
            sum += acc[k][lane];
    for (; w < n; ++w)
        sum += qFromLittleEndian<quint32>(p + 4 * w);
    return sum;
}

} // namespace

BurnPlan::BurnPlan(const QString &planPath)
    : mPlanPath(planPath.isEmpty() ? QString::fromLatin1(DEFAULT_PATH) : nativePath(planPath)) {
    qDebug().noquote() << "BurnPlan" << mPlanPath;
    mPlanDir = directoryOf(mPlanPath);
    mLoaded = readConfig();
}

const BurnCommand &BurnPlan::command(int i) const {
    static const BurnCommand none;
    return (i >= 0 && i < MAX_COMMANDS) ? mCommands[i] : none;
}

QString BurnPlan::getResourcePath() const {
    qDebug().nospace().noquote() << "getResourcePath  " << mResourceDir;
    if (!mResourceDir.isEmpty() && QFileInfo::exists(mResourceDir)) return mResourceDir;
    return QString();
}

// A record's file: the plan directory, a separator and the attribute. A plan
// given without a directory resolves its files against the working directory.
bool BurnPlan::staysInPlanDir(const QString &attr) {
    QString path = attr;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/'))) return false;
    // A drive name ("C:...") is absolute on the systems the plans come from.
    if (path.size() >= 2 && path[1] == QLatin1Char(':') && path[0].isLetter()) return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    return !parts.contains(QStringLiteral(".."));
}

void BurnPlan::note(const QString &line) {
    qDebug().noquote() << line;
    mNotes << line;
}

// The first reason is kept; the plan keeps no command.
void BurnPlan::refuse(const QString &why) {
    if (mRefusal.isEmpty()) mRefusal = why;
    note(why);
}

QString BurnPlan::recordPath(const QString &attr) const {
    const QString rel = nativePath(attr);
    return mPlanDir.isEmpty() ? rel : mPlanDir + QDir::separator() + rel;
}

bool BurnPlan::readConfig() {
    qDebug().noquote() << "--readConfig---" << mPlanPath;
    if (!QFileInfo(mPlanPath).isFile()) return false;
    QFile file(mPlanPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;

    Image upgrade, patch, uImage, spl, uboot;
    bool ok = false;
    // Every image a step loads: one that is empty is burnt as nothing, one
    // of 2 GiB or more cannot be described to the device, and anything but a
    // regular file would block the burn in open().
    auto checkImage = [this](const QString &path, int sn) {
        const QFileInfo info(path);
        if (!info.exists()) return;
        if (!info.isFile()) {
            note(QStringLiteral("plan: %1 of command sn %2 is not a regular file")
                     .arg(path)
                     .arg(sn));
        } else if (info.size() > kLargestImage) {
            refuse(QStringLiteral("plan refused: image %1 of command sn %2 is %3 bytes; the device "
                                  "takes sizes below 2 GiB")
                       .arg(path)
                       .arg(sn)
                       .arg(info.size()));
        } else if (info.size() == 0) {
            note(QStringLiteral("plan: image %1 of command sn %2 is empty (0 bytes)")
                     .arg(path)
                     .arg(sn));
        }
    };
    bool patchFlag = false;
    int loadAddrIndex = -1;
    int elements = 0;

    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement ||
            xml.name() != QLatin1String("command"))
            continue;
        const QXmlStreamAttributes attrs = xml.attributes();
        const QString snText = attrs.value(QLatin1String("sn")).toString();
        const int sn = parseSn(snText);
        if (sn < 0 || sn >= MAX_COMMANDS) {
            note(QStringLiteral("plan: command with sn \"%1\" skipped: sn must be 0 to 31")
                     .arg(snText));
            continue;
        }
        if (snText.trimmed().isEmpty())
            note(QStringLiteral("plan: command without sn taken as sn 0"));
        else if (!isDecimal(snText))
            note(QStringLiteral("plan: command sn \"%1\" is not a number: taken as sn 0")
                     .arg(snText));

        BurnCommand &rec = mCommands[sn];
        if (rec.sn >= 0)
            note(QStringLiteral("plan: a second command with sn %1 replaces \"%2\"")
                     .arg(sn)
                     .arg(rec.command.trimmed()));
        rec.sn = sn;
        rec.parameters[BurnCommand::PARAM_PATH] =
            recordPath(attrs.value(QLatin1String("path")).toString());
        static const char *const names[] = {nullptr,    "device", "address", "offset",
                                            "filesize", "run",    "count",   "cmd"};
        for (int p = BurnCommand::PARAM_DEVICE; p <= BurnCommand::PARAM_CMD; ++p)
            rec.parameters[p] = attrs.value(QLatin1String(names[p])).toString();
        rec.command = xml.readElementText();
        ++elements;

        const QString pathAttr = attrs.value(QLatin1String("path")).toString();
        if (!pathAttr.isEmpty() && !staysInPlanDir(pathAttr))
            refuse(QStringLiteral("plan refused: the path \"%1\" of command sn %2 leaves the "
                                  "plan's directory")
                       .arg(pathAttr)
                       .arg(sn));
        const QString &count = rec.count();
        if (!count.isEmpty() && !(count.toInt(&ok), ok))
            note(QStringLiteral("plan: count \"%1\" of command sn %2 is not a number")
                     .arg(count)
                     .arg(sn));
        const QString &address = rec.address();
        if (!address.trimmed().isEmpty() && !(address.trimmed().toUInt(&ok, 16), ok))
            note(QStringLiteral("plan: address \"%1\" of command sn %2 is not a hexadecimal "
                                "number")
                     .arg(address)
                     .arg(sn));

        const QString kind = rec.command.trimmed();
        const QString &path = rec.path();
        if (kind == QLatin1String("load to ram") || kind == QLatin1String("load uimage") ||
            kind == QLatin1String("load spl") || kind == QLatin1String("load uboot"))
            checkImage(path, sn);
        if (kind == QLatin1String("load to ram")) {
            if (upgrade.size < 0) {
                if (measure(path, upgrade))
                    qDebug().nospace().noquote()
                        << path << " modify upgrade size is :" << upgrade.size;
            } else if (path.contains(QLatin1String("patch"))) {
                patchFlag = true;
                if (measure(path, patch))
                    qDebug().nospace().noquote() << path << " modify patch size is :" << patch.size;
            }
            mResourceDir = directoryOf(path);
        } else if (kind == QLatin1String("load addr")) {
            loadAddrIndex = sn;
        } else if (kind == QLatin1String("load uimage")) {
            if (measure(path, uImage))
                qDebug().nospace().noquote() << path << " modify uImage size is :" << uImage.size;
        } else if (kind == QLatin1String("load spl")) {
            measure(path, spl);
        } else if (kind == QLatin1String("load uboot")) {
            measure(path, uboot);
        }

        // A check command carries the size and sum of the image loaded by the
        // record just before it (by index). Record 0 has none: left as written.
        if (sn > 0 && kind.startsWith(QLatin1String("crc")) &&
            kind.contains(QLatin1String("size")) && kind.contains(QLatin1String("value"))) {
            const BurnCommand &prev = mCommands[sn - 1];
            const QString prevKind = prev.command.trimmed();
            const Image *image = &upgrade;
            if (prevKind == QLatin1String("load uimage"))
                image = &uImage;
            else if (prev.path().contains(QLatin1String("patch")))
                image = &patch;
            else if (prevKind == QLatin1String("load spl"))
                image = &spl;
            else if (prevKind == QLatin1String("load uboot"))
                image = &uboot;
            QString text = rec.command;
            text.replace(QLatin1String("size"), QString::number(image->size));
            text.replace(QLatin1String("value"), QString::number(image->sum, 16));
            qDebug().noquote() << "--------------" << text;
            rec.command = text;
            qDebug().nospace().noquote() << "crc cmd: " << text;
        }
    }
    // A plan cut short or damaged anywhere is not burnt at all: the steps
    // before the damage alone would load some images and report success.
    if (xml.hasError())
        refuse(QStringLiteral("plan refused: %1 is not a well-formed plan (line %2: %3)")
                   .arg(mPlanPath)
                   .arg(xml.lineNumber())
                   .arg(xml.errorString()));
    file.close();
    mCommandCount = elements;
    if (!mRefusal.isEmpty()) {
        // Nothing of a refused plan may be walked.
        mCommandCount = 0;
        for (BurnCommand &rec : mCommands)
            rec = BurnCommand();
        mResourceDir.clear();
        return true;
    }

    // The "load addr" text carries the image sizes in ":<digits>#"
    // placeholders: all of them the upgrade size, or with a patch image
    // exactly two, split 12 characters after the first placeholder.
    if (loadAddrIndex > 0 && upgrade.size > 0) {
        QString &cmd = mCommands[loadAddrIndex].parameters[BurnCommand::PARAM_CMD];
        qDebug().noquote() << "From String:" << cmd;
        static const QRegularExpression placeholder(QStringLiteral(":[0-9]*#"));
        bool changed = false;
        QString text;
        if (!patchFlag) {
            text = fillPlaceholders(cmd, upgrade.size);
            changed = true;
        } else {
            QRegularExpressionMatchIterator it = placeholder.globalMatch(cmd);
            int matches = 0;
            qsizetype first = -1;
            while (it.hasNext()) {
                const QRegularExpressionMatch m = it.next();
                if (matches++ == 0) first = m.capturedStart();
            }
            if (matches == 2) {
                const qsizetype split = first + 12;
                text = fillPlaceholders(cmd.left(split), upgrade.size) +
                       fillPlaceholders(cmd.mid(split), patch.size);
                changed = true;
            }
        }
        if (changed) {
            qDebug().noquote() << "Changed to:" << text;
            cmd = text;
        }
    }
    return true;
}

quint32 BurnPlan::checkSum(const QString &path) {
    quint32 sum = 0;
    QFile file(path);
    if (QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        // Blocks of 256 KiB: few system calls, and a block is still in the
        // cache when it is summed right after the copy. A partial word at the
        // end of one read is carried to the front of the next.
        constexpr qint64 block = qint64(256) * 1024;
        std::vector<unsigned char> buf(block + 4);
        qint64 carry = 0;
        for (;;) {
            const qint64 got = file.read(reinterpret_cast<char *>(buf.data()) + carry, block);
            if (got <= 0) break;
            const qint64 have = carry + got;
            const qint64 words = have / 4;
            const unsigned char *p = buf.data();
            sum += sumWords(p, size_t(words));
            carry = have - words * 4;
            std::memmove(buf.data(), p + words * 4, size_t(carry));
        }
        if (carry > 0) {
            std::memset(buf.data() + carry, 0, size_t(4 - carry));
            sum += qFromLittleEndian<quint32>(buf.data());
        }
    }
    qDebug().nospace().noquote() << "checkSum  " << path << " value: " << QString::number(sum, 16);
    return sum;
}
