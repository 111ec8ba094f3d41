// Appending to the window's log panel. The texts come from everywhere (the
// engine, the watch thread, the plan's notes, file names, server errors) and
// are plain text, one line per line break.
#ifndef PANELAPPEND_H
#define PANELAPPEND_H

#include <QString>

class QTextEdit;

// Appends `text` as a new paragraph of plain text and keeps the panel at its
// end when it was there. QTextEdit::append would guess the format instead: a
// text whose first line looks like an HTML tag would be read as HTML, the
// tag dropped and every line break folded into a space.
void appendToPanel(QTextEdit *panel, const QString &text);

#endif
