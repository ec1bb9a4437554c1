#ifndef JOURNAL_H
#define JOURNAL_H

#include <QString>

class QTextEdit;

// Appends ligne to vue as a new paragraph of plain text, exactly as typed:
// nothing in it is taken as markup. Like QTextEdit::append, it keeps the view
// scrolled to the bottom when it was there.
void ajouterParagrapheTexte(QTextEdit *vue, const QString &ligne);

// Adds suite as plain text at the very end of vue, in its last paragraph: a
// text appended in pieces reads as if it had been appended at once.
void prolongerParagrapheTexte(QTextEdit *vue, const QString &suite);

// Appends a server's notice to vue as a new paragraph, with the markup it holds
// rendered as QTextEdit::append renders it, but only its formatting kept: bold,
// italic, underline, strike-out, fixed pitch, relative size, raised or lowered
// text and a plain colour. Nothing it names is ever loaded (no image, style sheet,
// background, file or URL) and no image, link or other object reaches the view.
void ajouterParagrapheMisEnForme(QTextEdit *vue, const QString &balisage);

// The message log keeps its last lignesJournalGardees paragraphs. It is cut
// back to them once it has grown by lotRognage more: removing lines from the
// top moves every line below, so it is done in lots, not for each line.
constexpr int lignesJournalGardees = 5000;
constexpr int lotRognage = 1000;

// Cuts the log vue back to its last lignesJournalGardees paragraphs once it
// holds lotRognage more. A reader scrolled up keeps the lines in view.
void rognerJournal(QTextEdit *vue);

// Gathers the paragraphs appended to vue while it lives into one change of the
// document, laid out once instead of once per line: a burst of replies would
// otherwise hold the window for seconds. Like append, the view then follows
// the end if it was there when the lot began. The log is then cut back
// (rognerJournal).
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
