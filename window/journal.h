#ifndef JOURNAL_H
#define JOURNAL_H

#include <QString>

class QTextEdit;

// Appends ligne to vue as a new paragraph of plain text, exactly as typed:
// nothing in it is taken as markup. Like QTextEdit::append, it keeps the view
// scrolled to the bottom when it was there.
void ajouterParagrapheTexte(QTextEdit *vue, const QString &ligne);

// Gathers the paragraphs appended to vue while it lives into one change of the
// document, laid out once instead of once per line: a burst of replies would
// otherwise hold the window for seconds. Like append, the view then follows
// the end if it was there when the lot began.
class LotJournal
{
public:
    explicit LotJournal(QTextEdit *vue);
    ~LotJournal();
    LotJournal(const LotJournal &) = delete;
    LotJournal &operator=(const LotJournal &) = delete;

    // Shows the lines gathered so far, then gathers on. Needed before anything
    // that runs the event loop, such as a modal box.
    void montrer();

private:
    void ouvrir();
    void fermer();

    QTextEdit *vue;
    bool enBas = false;
};

#endif
