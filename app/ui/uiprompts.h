// Every modal box and file dialog of the window goes through this table, so
// that tests (and unattended runs) can answer them. The window only ever calls
// uiPrompts().<entry>(...).
#ifndef UIPROMPTS_H
#define UIPROMPTS_H

#include <QString>
#include <functional>

class QWidget;

struct UiPrompts {
    // A box with one OK button; returns when it is closed.
    std::function<void(QWidget *parent, const QString &title, const QString &text)> information;
    std::function<void(QWidget *parent, const QString &title, const QString &text)> warning;
    // File and directory choosers; an empty result means "cancelled".
    std::function<QString(QWidget *parent, const QString &caption, const QString &dir,
                          const QString &filter)>
        openFileName;
    std::function<QString(QWidget *parent, const QString &caption, const QString &proposed)>
        saveFileName;
    std::function<QString(QWidget *parent, const QString &caption)> existingDirectory;
};

// The toolkit's message boxes and file dialogs. With PYREWICK_NONINTERACTIVE=1
// in the environment (unattended runs: the demo, process tests) boxes print
// their text on standard error and return at once, and dialogs answer
// "cancelled".
UiPrompts defaultUiPrompts();

// The table in use; starts as defaultUiPrompts(). Replace entries to answer
// prompts in tests.
UiPrompts &uiPrompts();

#endif
