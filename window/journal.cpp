#include "window/journal.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

void ajouterParagrapheTexte(QTextEdit *vue, const QString &ligne)
{
    QScrollBar *defilement = vue->verticalScrollBar();
    const bool enBas = defilement->value() >= defilement->maximum();

    QTextDocument *document = vue->document();
    QTextCursor curseur(document);
    curseur.beginEditBlock();
    curseur.movePosition(QTextCursor::End);
    if (!document->isEmpty())
        curseur.insertBlock(QTextBlockFormat(), QTextCharFormat());
    curseur.insertText(ligne, QTextCharFormat());
    curseur.endEditBlock();

    if (enBas)
        defilement->setValue(defilement->maximum());
}

LotJournal::LotJournal(QTextEdit *vue)
    : vue(vue)
{
    ouvrir();
}

LotJournal::~LotJournal()
{
    fermer();
}

void LotJournal::montrer()
{
    fermer();
    ouvrir();
}

void LotJournal::ouvrir()
{
    const QScrollBar *defilement = vue->verticalScrollBar();
    enBas = defilement->value() >= defilement->maximum();
    QTextCursor(vue->document()).beginEditBlock();
}

void LotJournal::fermer()
{
    // The layout, and with it the scroll range, catches up here.
    QTextCursor(vue->document()).endEditBlock();
    QScrollBar *defilement = vue->verticalScrollBar();
    if (enBas)
        defilement->setValue(defilement->maximum());
}
