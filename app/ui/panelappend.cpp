#include "panelappend.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

void appendToPanel(QTextEdit *panel, const QString &text) {
    QScrollBar *bar = panel->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    QTextCursor cursor(panel->document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    if (!panel->document()->isEmpty()) cursor.insertBlock();
    cursor.insertText(text);
    cursor.endEditBlock();
    if (atEnd) bar->setValue(bar->maximum());
}
