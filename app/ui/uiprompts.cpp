#include "uiprompts.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QtGlobal>
#include <cstdio>

namespace {

bool nonInteractive() {
    return qEnvironmentVariableIntValue("PYREWICK_NONINTERACTIVE") == 1;
}

void printBox(const char *kind, const QString &title, const QString &text) {
    std::fprintf(stderr, "%s: %s%s%s\n", kind, qPrintable(title), title.isEmpty() ? "" : ": ",
                 qPrintable(text));
    std::fflush(stderr);
}

} // namespace

UiPrompts defaultUiPrompts() {
    UiPrompts p;
    p.information = [](QWidget *parent, const QString &title, const QString &text) {
        if (nonInteractive()) return printBox("information", title, text);
        QMessageBox::information(parent, title, text);
    };
    p.warning = [](QWidget *parent, const QString &title, const QString &text) {
        if (nonInteractive()) return printBox("warning", title, text);
        QMessageBox::warning(parent, title, text);
    };
    p.openFileName = [](QWidget *parent, const QString &caption, const QString &dir,
                        const QString &filter) {
        if (nonInteractive()) return QString();
        return QFileDialog::getOpenFileName(parent, caption, dir, filter);
    };
    p.saveFileName = [](QWidget *parent, const QString &caption, const QString &proposed) {
        if (nonInteractive()) return QString();
        return QFileDialog::getSaveFileName(parent, caption, proposed);
    };
    p.existingDirectory = [](QWidget *parent, const QString &caption) {
        if (nonInteractive()) return QString();
        return QFileDialog::getExistingDirectory(parent, caption, QString(),
                                                 QFileDialog::ShowDirsOnly);
    };
    return p;
}

UiPrompts &uiPrompts() {
    static UiPrompts prompts = defaultUiPrompts();
    return prompts;
}
