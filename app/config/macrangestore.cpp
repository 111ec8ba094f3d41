#include "macrangestore.h"

MacRangeStore &MacRangeStore::instance() {
    static MacRangeStore store;
    return store;
}

QString MacRangeStore::rangeFileName(int kind) {
    switch (kind) {
    case KIND_ETHER:
        return QStringLiteral("mac_ether.ini");
    case KIND_BT:
        return QStringLiteral("mac_bt.ini");
    case KIND_WIFI:
        return QStringLiteral("mac_wifi.ini");
    default:
        return QString();
    }
}

void MacRangeStore::setFile(int kind, const QString &path) {
    if (kind >= 0 && kind < KIND_COUNT) mFiles[kind] = path;
}

QString MacRangeStore::file(int kind) const {
    return (kind >= 0 && kind < KIND_COUNT) ? mFiles[kind] : QString();
}
