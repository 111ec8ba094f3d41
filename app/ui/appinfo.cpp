#include "appinfo.h"

#include "buildvariant.h"

namespace AppInfo {

QString versionText() {
    QString text = QStringLiteral("V1.2.8.0817.SP3.life or live ");
    if (buildVariant() == BuildVariant::SingleDevice) text += QStringLiteral(".testnohub");
    return text;
}

QString productTitle() {
    return QStringLiteral("Vyrflash  ") + versionText();
}

} // namespace AppInfo
