// The message log cut back to its last lines: a reader scrolled up keeps the
// very lines in view, one at the end keeps following it.

#include "window/journal.h"

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

namespace {

QString ligne(int rang)
{
    return QStringLiteral("line %1").arg(rang);
}

// The line at the top of the view, and how far its top lies above the view's.
struct Vue
{
    QString ligne;
    int decalage;
};

Vue enHaut(QTextEdit &vue)
{
    const QTextBlock bloc = vue.cursorForPosition(QPoint(0, 0)).block();
    const int haut = qRound(vue.document()->documentLayout()->blockBoundingRect(bloc).top());
    return {bloc.text(), vue.verticalScrollBar()->value() - haut};
}

} // namespace

class TstRognage : public QObject
{
    Q_OBJECT

private slots:
    void lecteurGardeSaPlace_data();
    void lecteurGardeSaPlace();
};

void TstRognage::lecteurGardeSaPlace_data()
{
    QTest::addColumn<int>("rangEnHaut"); // the line at the top of the view; -1: the view is at the end
    QTest::addColumn<QString>("attendue"); // the line at the top once the log is cut

    QTest::newRow("reading kept lines") << 3000 << ligne(3000);
    QTest::newRow("reading lines that go") << 500 << ligne(lotRognage); // the first line kept
    QTest::newRow("following the end") << -1 << QString();
}

void TstRognage::lecteurGardeSaPlace()
{
    QFETCH(int, rangEnHaut);
    QFETCH(QString, attendue);

    QTextEdit vue;
    vue.setReadOnly(true);
    vue.resize(400, 300);
    vue.show();
    QVERIFY(QTest::qWaitForWindowExposed(&vue));
    // One line short of a cut.
    QStringList lignes;
    for (int rang = 0; rang < lignesJournalGardees + lotRognage - 1; ++rang)
        lignes << ligne(rang);
    vue.setPlainText(lignes.join(QLatin1Char('\n')));
    vue.document()->documentLayout()->documentSize(); // laid out whole, as a log that grew line by line
    QScrollBar *defilement = vue.verticalScrollBar();
    if (rangEnHaut < 0) {
        defilement->setValue(defilement->maximum());
    } else {
        const QTextBlock bloc = vue.document()->findBlockByNumber(rangEnHaut);
        // Part of a line above the view's top: the offset must stay too.
        defilement->setValue(qRound(vue.document()->documentLayout()->blockBoundingRect(bloc).top()) + 3);
        QCOMPARE(enHaut(vue).ligne, ligne(rangEnHaut));
    }
    const Vue avant = enHaut(vue);

    ajouterParagrapheTexte(&vue, QStringLiteral("last"));
    rognerJournal(&vue);

    QCOMPARE(vue.document()->blockCount(), lignesJournalGardees);
    QCOMPARE(vue.document()->firstBlock().text(), ligne(lotRognage));
    vue.document()->documentLayout()->documentSize();
    if (rangEnHaut < 0) {
        QCOMPARE(defilement->value(), defilement->maximum());
        return;
    }
    const Vue apres = enHaut(vue);
    QCOMPARE(apres.ligne, attendue);
    if (attendue == avant.ligne)
        QCOMPARE(apres.decalage, avant.decalage);
    else
        QCOMPARE(defilement->value(), 0);
}

QTEST_MAIN(TstRognage)
#include "tst_rognage.moc"
