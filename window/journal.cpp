#include "window/journal.h"

#include <QAbstractTextDocumentLayout>
#include <QImage>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

namespace {

// Where a notice's markup is read: a document that loads nothing it names. An
// image gets a blank stand-in, so that not even the image handler's fallback
// opens the name as a file.
class DocumentSansRessources : public QTextDocument
{
protected:
    QVariant loadResource(int type, const QUrl &) override
    {
        if (type == QTextDocument::ImageResource)
            return QImage(1, 1, QImage::Format_ARGB32_Premultiplied);
        return QVariant();
    }
};

// The character properties a notice may set; sizes in points or pixels are left
// out, so that a notice cannot blow up the log's layout.
const QTextFormat::Property proprietesPermises[] = {
    QTextFormat::FontWeight,         QTextFormat::FontItalic,        QTextFormat::FontUnderline,
    QTextFormat::TextUnderlineStyle, QTextFormat::FontStrikeOut,     QTextFormat::FontFixedPitch,
    QTextFormat::FontSizeAdjustment, QTextFormat::TextVerticalAlignment,
};

QTextCharFormat formatPermis(const QTextCharFormat &source)
{
    QTextCharFormat format;
    for (const QTextFormat::Property propriete : proprietesPermises) {
        if (source.hasProperty(propriete))
            format.setProperty(propriete, source.property(propriete));
    }
    if (source.hasProperty(QTextFormat::ForegroundBrush) && source.foreground().style() == Qt::SolidPattern)
        format.setForeground(source.foreground().color());
    return format;
}

QString sansObjets(QString texte)
{
    return texte.remove(QChar::ObjectReplacementCharacter);
}

// The text of a paragraph without its images.
QString texteVisible(const QTextBlock &bloc)
{
    return sansObjets(bloc.text());
}

bool suitLaFin(const QTextEdit *vue)
{
    const QScrollBar *defilement = vue->verticalScrollBar();
    return defilement->value() >= defilement->maximum();
}

void allerALaFin(QTextEdit *vue)
{
    QScrollBar *defilement = vue->verticalScrollBar();
    defilement->setValue(defilement->maximum());
}

} // namespace

void ajouterParagrapheTexte(QTextEdit *vue, const QString &ligne)
{
    const bool enBas = suitLaFin(vue);

    QTextDocument *document = vue->document();
    QTextCursor curseur(document);
    curseur.beginEditBlock();
    curseur.movePosition(QTextCursor::End);
    if (!document->isEmpty())
        curseur.insertBlock(QTextBlockFormat(), QTextCharFormat());
    curseur.insertText(ligne, QTextCharFormat());
    curseur.endEditBlock();

    if (enBas)
        allerALaFin(vue);
}

void prolongerParagrapheTexte(QTextEdit *vue, const QString &suite)
{
    const bool enBas = suitLaFin(vue);
    QTextCursor curseur(vue->document());
    curseur.movePosition(QTextCursor::End);
    curseur.insertText(suite, QTextCharFormat());
    if (enBas)
        allerALaFin(vue);
}

void ajouterParagrapheMisEnForme(QTextEdit *vue, const QString &balisage)
{
    if (!Qt::mightBeRichText(balisage)) {
        ajouterParagrapheTexte(vue, balisage); // as append shows it
        return;
    }
    DocumentSansRessources lu;
    lu.setHtml(balisage);

    // Tables and frames leave empty paragraphs around the text: they are not the notice's.
    QTextBlock premier = lu.begin();
    QTextBlock dernier = lu.lastBlock();
    while (premier != dernier && texteVisible(premier).isEmpty())
        premier = premier.next();
    while (dernier != premier && texteVisible(dernier).isEmpty())
        dernier = dernier.previous();

    const bool enBas = suitLaFin(vue);
    QTextDocument *document = vue->document();
    QTextCursor curseur(document);
    curseur.beginEditBlock();
    curseur.movePosition(QTextCursor::End);
    for (QTextBlock bloc = premier; bloc.isValid(); bloc = bloc.next()) {
        if (bloc != premier || !document->isEmpty())
            curseur.insertBlock(QTextBlockFormat(), QTextCharFormat());
        for (QTextBlock::iterator morceau = bloc.begin(); !morceau.atEnd(); ++morceau) {
            const QTextFragment fragment = morceau.fragment();
            if (!fragment.charFormat().isImageFormat())
                curseur.insertText(sansObjets(fragment.text()), formatPermis(fragment.charFormat()));
        }
        if (bloc == dernier)
            break;
    }
    curseur.endEditBlock();

    if (enBas)
        allerALaFin(vue);
}

void rognerJournal(QTextEdit *vue)
{
    QTextDocument *document = vue->document();
    const int enTrop = document->blockCount() - lignesJournalGardees;
    if (enTrop < lotRognage)
        return;

    const QTextBlock premierGarde = document->findBlockByNumber(enTrop);
    // Measured from the first line, not from the document's top: the margin above it stays.
    const QAbstractTextDocumentLayout *miseEnPage = document->documentLayout();
    const int hauteurOtee = qRound(miseEnPage->blockBoundingRect(premierGarde).top()
                                   - miseEnPage->blockBoundingRect(document->firstBlock()).top());
    const bool enBas = suitLaFin(vue);
    QScrollBar *defilement = vue->verticalScrollBar();
    const int position = defilement->value();

    QTextCursor curseur(document);
    curseur.setPosition(premierGarde.position(), QTextCursor::KeepAnchor);
    curseur.removeSelectedText();

    if (enBas)
        allerALaFin(vue);
    else
        defilement->setValue(qMax(0, position - hauteurOtee));
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
    enBas = suitLaFin(vue);
    QTextCursor(vue->document()).beginEditBlock();
}

void LotJournal::fermer()
{
    // The layout, and with it the scroll range, catches up here.
    QTextCursor(vue->document()).endEditBlock();
    if (enBas)
        allerALaFin(vue);
    // Apart from the lot: one change from the top to the end would lay out every line again.
    rognerJournal(vue);
}
