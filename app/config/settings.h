// The settings that survive a restart, kept in configure.ini (INI format) in
// the working directory. Each call opens the file, reads or writes one key and
// closes it; a missing file or key gives the default.
#ifndef SETTINGS_H
#define SETTINGS_H

#include <QString>

namespace Settings {

constexpr const char *FILE_NAME = "configure.ini";

// "Erase/enable", default true: whether the operator may choose erasing.
bool eraseEnabled();
// "Erase/erasecmd", default "nand_erase": the erase command for the boot loader.
QString eraseCommand();
// "lanuage" (spelled so in the file), default "cn"; "cn" or "en".
QString language();
// Writes "lanuage". An unwritable file just forgets the choice.
void setLanguage(const QString &language);

// "Log/panel_lines", default 20000: the log panel holds at most this many
// lines; past them it is saved automatically and emptied. A value below 1
// gives the default.
int panelLines();

// Where burn records are forwarded: the environment variable
// PYREWICK_RECORDS when set, else "records" (a postgresql:// address);
// empty: they stay in the station's own store.
QString recordsUrl();
// "station", default the host name: the station field of burn records (set
// it when one host runs several stations).
QString stationName();

} // namespace Settings

#endif
