#ifndef JOURNAL_H
#define JOURNAL_H

#include <QString>

class QTextEdit;

// Appends ligne to vue as a new paragraph of plain text, exactly as typed:
// nothing in it is taken as markup. Like QTextEdit::append, it keeps the view
// scrolled to the bottom when it was there.
void ajouterParagrapheTexte(QTextEdit *vue, const QString &ligne);

#endif
