// How one port row of the table changes in a refresh, decided from the port's
// state and from what its status column showed after the previous refresh.
// The window keeps that previous text per row (untranslated), so the rules
// work the same in every language.
#ifndef ROWLOOK_H
#define ROWLOOK_H

#include <QString>
#include <optional>

namespace RowLook {

// Button style sheets.
extern const char *const kWhite;
extern const char *const kGreen;
extern const char *const kRed;
extern const char *const kGrey;
extern const char *const kBlue;     // odd refresh tick
extern const char *const kDarkBlue; // even refresh tick

// The status texts the rules compare and produce (untranslated).
extern const char *const kConnect;
extern const char *const kSuccess;
extern const char *const kFailed;
extern const char *const kDisconnect;
// Port button text of a port that has a device.
extern const char *const kUsed;

struct PortState {
    int status = 0;
    int lastResult = 0;
    int progress = 0;
    QString message;
    QString portPath;
};

enum class Bar { Keep, Reset, Value };

// What to change; an empty optional leaves that part as it is.
struct Change {
    bool skipped = false;              // idle row already shown idle: nothing else done
    std::optional<QString> statusText; // new status column text (untranslated parts)
    // The status text is kFailed followed by this message (shown translated +
    // message); set only together with statusText.
    bool failedWithMessage = false;
    std::optional<QString> path;
    Bar bar = Bar::Keep;
    int barValue = 0;
    std::optional<QString> buttonText;
    std::optional<QString> buttonStyle;
};

// The rules: `shown` is the status text left by the previous refresh, `tick`
// the refresh counter (its parity sets the blink phase of a burning row).
Change decide(const PortState &port, const QString &shown, int tick);

} // namespace RowLook

#endif
