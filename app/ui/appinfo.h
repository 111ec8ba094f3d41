// The product's name and version texts; the single-device build marks both.
#ifndef APPINFO_H
#define APPINFO_H

#include <QString>

namespace AppInfo {

// "V1.2.8.0817.SP3.life or live " plus ".testnohub" in the single-device build.
QString versionText();
// "Vyrflash  " + versionText(): the window title.
QString productTitle();

} // namespace AppInfo

#endif
