// Replies as they come off a real connection: frames in pieces or together,
// malformed bodies, the refusal, the account-creation box and the history
// records that replies write.

#include "outils.h"

#include "identity/compte.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QLabel>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QAbstractTextDocumentLayout>
#include <QTextBlock>
#include <QtTest>

#include <sys/inotify.h>
#include <unistd.h>

namespace {

const int attente = 10000;

const QString creation = QStringLiteral("Welcome, your account has just been created; your account number is : ");

// One history line: the timestamp "yyyy-MM-dd hh-mm-ss", then the body.
QRegularExpression ligneHistorique(const QString &corps)
{
    return QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d")
                              + QRegularExpression::escape(corps) + QStringLiteral("\\n$"));
}

// The names of the files of a folder that were opened or read while it lived.
class LecturesDuDossier
{
public:
    explicit LecturesDuDossier(const QString &dossier)
        : descripteur(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        inotify_add_watch(descripteur, QFile::encodeName(dossier).constData(), IN_OPEN | IN_ACCESS);
    }
    ~LecturesDuDossier() { close(descripteur); }

    QStringList noms()
    {
        alignas(inotify_event) char tampon[4096];
        ssize_t lus;
        while ((lus = read(descripteur, tampon, sizeof tampon)) > 0) {
            for (char *p = tampon; p < tampon + lus;) {
                const auto *evenement = reinterpret_cast<const inotify_event *>(p);
                if (evenement->len > 0 && !vus.contains(QFile::decodeName(evenement->name)))
                    vus << QFile::decodeName(evenement->name);
                p += sizeof(inotify_event) + evenement->len;
            }
        }
        return vus;
    }

private:
    int descripteur;
    QStringList vus;
};

} // namespace

class TstReception : public QObject
{
    Q_OBJECT

private slots:
    void trameEnMorceaux_data();
    void trameEnMorceaux();
    void plusieursTramesEnUneFois();
    void corpsMalforme_data();
    void corpsMalforme();
    void refusAuthentification();
    void reponsePendantLaBoiteNouveauCompte();
    void nouveauCompte_data();
    void nouveauCompte();
    void premierVersementRecu();
    void historiqueUneLigneParReponse_data();
    void historiqueUneLigneParReponse();
    void champsDuServeur_data();
    void champsDuServeur();
    void noticeNeChargeRien_data();
    void noticeNeChargeRien();
};

void TstReception::trameEnMorceaux_data()
{
    QTest::addColumn<QList<int>>("coupures");

    QTest::newRow("header, part of the body, rest") << QList<int>{2, 9};
    QTest::newRow("header cut in two") << QList<int>{1, 2};
    QTest::newRow("header with the start of the body") << QList<int>{5};
}

void TstReception::trameEnMorceaux()
{
    QFETCH(QList<int>, coupures);

    SessionBoucle session;
    QVERIFY(session.connecter());
    QSignalSpy arrivees(socketFenetre(session.fenetre), &QTcpSocket::readyRead);
    const QByteArray trame = trameReponse(QStringLiteral("m:1500"));

    int debut = 0;
    for (const int coupure : coupures) {
        const int dejaVues = arrivees.count();
        session.serveur.envoyer(trame.mid(debut, coupure - debut));
        QTRY_VERIFY_WITH_TIMEOUT(arrivees.count() > dejaVues, attente);
        QCOMPARE(lignesJournal(session.fenetre), QStringList({tentative, reussite}));
        debut = coupure;
    }
    session.serveur.envoyer(trame.mid(debut));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 3, attente);
    QCOMPARE(session.solde(), QStringLiteral("1500"));

    // Handled once: the next reply follows it directly.
    session.serveur.envoyer(trameReponse(QStringLiteral("i:end")));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 4, attente);
    QCOMPARE(lignesJournal(session.fenetre), QStringList({tentative, reussite, bienvenue("1500"), "end"}));
}

void TstReception::plusieursTramesEnUneFois()
{
    SessionBoucle session;
    QVERIFY(session.connecter());
    const QByteArray troisieme = trameReponse(QStringLiteral("i:end"));

    // Two whole frames and the start of a third, in one piece: both whole
    // frames are handled without waiting for more data.
    session.serveur.envoyer(trameReponse(QStringLiteral("m:1500"))
                            + trameReponse(QStringLiteral("r:250:0A1B2C3D4E5F")) + troisieme.left(3));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 4, attente);
    QCOMPARE(lignesJournal(session.fenetre).mid(2),
             QStringList({bienvenue("1500"), "0A1B2C3D4E5F  has sent you an amount of 250 qovi$"}));
    QCOMPARE(session.solde(), QStringLiteral("1750"));

    session.serveur.envoyer(troisieme.mid(3));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 5, attente);
    QCOMPARE(lignesJournal(session.fenetre).last(), QStringLiteral("end"));
}

void TstReception::corpsMalforme_data()
{
    QTest::addColumn<QByteArray>("trame");

    // Each would swallow or shift the frame behind it if the announced length were not the rule.
    QTest::newRow("text longer than its frame") << trameBrute(QByteArray::fromHex("000000104141"));
    QTest::newRow("bytes after the text")
        << trameBrute(trameReponse(QStringLiteral("m:5")).mid(2) + QByteArray::fromHex("00000000"));
    QTest::newRow("odd text size") << trameBrute(QByteArray::fromHex("00000003414243"));
    QTest::newRow("empty body") << trameBrute(QByteArray());
    QTest::newRow("null text") << trameBrute(QByteArray::fromHex("ffffffff"));
}

void TstReception::corpsMalforme()
{
    QFETCH(QByteArray, trame);

    SessionBoucle session;
    QVERIFY(session.connecter());
    session.serveur.envoyer(trame + trameReponse(QStringLiteral("m:42")));

    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 3, attente);
    QCOMPARE(lignesJournal(session.fenetre).last(), bienvenue("42"));
    QCOMPARE(session.solde(), QStringLiteral("42"));
}

void TstReception::refusAuthentification()
{
    SessionBoucle session;
    QVERIFY(session.connecter());

    // What follows the refusal on the same connection is dropped with it.
    session.serveur.envoyer(trameReponse(QStringLiteral("a:")) + trameReponse(QStringLiteral("m:99")));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 4, attente);
    QCOMPARE(lignesJournal(session.fenetre),
             QStringList({tentative, reussite, QStringLiteral("Failed Authentication"), deconnexion}));
    QCOMPARE(socketFenetre(session.fenetre)->state(), QAbstractSocket::UnconnectedState);

    connecterFenetre(session.fenetre, session.serveur.port());
    QTRY_COMPARE_WITH_TIMEOUT(session.serveur.requetes.size(), 2, attente);
    session.serveur.envoyer(trameReponse(QStringLiteral("m:7")));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 7, attente);
    QCOMPARE(lignesJournal(session.fenetre).mid(4), QStringList({tentative, reussite, bienvenue("7")}));
    QCOMPARE(session.solde(), QStringLiteral("7"));
}

void TstReception::reponsePendantLaBoiteNouveauCompte()
{
    SessionBoucle session;
    QVERIFY(session.connecter());
    RepondeurBoites boites;
    const QByteArray suivante = trameReponse(QStringLiteral("m:55"));
    QStringList journalBoiteOuverte;
    QTcpSocket *socket = socketFenetre(session.fenetre);
    BoiteTenueOuverte tenue(boites,
                            {[&] { session.serveur.envoyer(suivante); },
                             [&] { return socket->bytesAvailable() == suivante.size(); },
                             [&] { journalBoiteOuverte = lignesJournal(session.fenetre) << session.solde(); }},
                            attente);

    session.serveur.envoyer(trameReponse(QStringLiteral("n:0A1B2C3D4E5F")));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 4, attente);

    // The second reply arrived while the box was open and waited for it.
    QCOMPARE(journalBoiteOuverte, QStringList({tentative, reussite, creation + "0A1B2C3D4E5F", "0"}));
    QCOMPARE(lignesJournal(session.fenetre).last(), bienvenue("55"));
    QCOMPARE(session.solde(), QStringLiteral("55"));
    QCOMPARE(boites.vues.size(), 1);
    QVERIFY(QFile::exists(QStringLiteral("0A1B2C3D4E5F.log")));
}

void TstReception::nouveauCompte_data()
{
    QTest::addColumn<QString>("numero");
    QTest::addColumn<QString>("fichier");    // the history file that gets the record
    QTest::addColumn<QString>("fichierCle"); // the key file that the box names

    const QString installation = identifiantCompte();
    QTest::newRow("another account") << QStringLiteral("0A1B2C3D4E5F") << QStringLiteral("0A1B2C3D4E5F.log")
                                     << QStringLiteral("0A1B2C3D4E5F.key");
    QTest::newRow("this installation") << installation << installation + ".log" << installation + ".key";
    // A name that is no plain file name: the box names the file that holds the key.
    QTest::newRow("path out of the folder") << QStringLiteral("../../x") << installation + ".log"
                                            << installation + ".key";
    QTest::newRow("absolute path") << QStringLiteral("/tmp/x") << installation + ".log" << installation + ".key";
    QTest::newRow("no name") << QString() << installation + ".log" << installation + ".key";
}

void TstReception::nouveauCompte()
{
    QFETCH(QString, numero);
    QFETCH(QString, fichier);
    QFETCH(QString, fichierCle);

    SessionBoucle session;
    QVERIFY(session.connecter());
    RepondeurBoites boites;
    session.serveur.envoyer(trameReponse(QStringLiteral("n:") + numero));
    QTRY_VERIFY_WITH_TIMEOUT(!lireFichierTexte(fichier).isEmpty(), attente);

    QCOMPARE(lignesJournal(session.fenetre).last(), creation + numero);
    QCOMPARE(session.solde(), QStringLiteral("0"));
    QCOMPARE(boites.vues.size(), 1);
    QCOMPARE(boites.vues.first().titre, QStringLiteral("To remember absolutely"));
    QCOMPARE(boites.vues.first().texte,
             QStringLiteral("A file ") + fichierCle
                 + QStringLiteral(" has been created. Above all, do not modify it and do not erase it; "
                                  "otherwise you will not be able to authenticate yourself"));
    QCOMPARE(boites.vues.first().icone, QMessageBox::Information);

    const QString contenu = lireFichierTexte(fichier);
    QVERIFY2(ligneHistorique(QStringLiteral("-account creation-") + numero).match(contenu).hasMatch(),
             qPrintable(contenu));
    QVERIFY(QFile::exists(fichierCle) || fichierCle == numero + QStringLiteral(".key"));
    QStringList attendus = {identifiantCompte() + QStringLiteral(".key"), fichier};
    attendus.sort();
    QCOMPARE(QDir(session.dossier.chemin()).entryList(QDir::Files), attendus);
    QCOMPARE(QDir(session.dossier.parent()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({QStringLiteral("travail")}));
}

void TstReception::premierVersementRecu()
{
    SessionBoucle session;
    QVERIFY(session.connecter());
    const QString fichier = identifiantCompte() + QStringLiteral(".log");
    QVERIFY(!QFile::exists(fichier));
    const QDateTime avant = QDateTime::currentDateTime().addMSecs(-1000);

    session.serveur.envoyer(trameReponse(QStringLiteral("r:250:0A1B2C3D4E5F")));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 3, attente);
    const QDateTime apres = QDateTime::currentDateTime();

    const QString contenu = lireFichierTexte(fichier);
    QVERIFY2(ligneHistorique(QStringLiteral("-received-250-from-0A1B2C3D4E5F")).match(contenu).hasMatch(),
             qPrintable(contenu));
    // The local time of the record.
    const QDateTime moment = QDateTime::fromString(contenu.left(19), QStringLiteral("yyyy-MM-dd hh-mm-ss"));
    QVERIFY2(moment >= avant && moment <= apres, qPrintable(contenu));
    // The history view shows what the file held at start only.
    QVERIFY(session.fenetre.findChild<QTextEdit *>(QStringLiteral("historique"))->toPlainText().isEmpty());
}

void TstReception::historiqueUneLigneParReponse_data()
{
    QTest::addColumn<QString>("reponse");
    QTest::addColumn<QString>("compteFichier"); // names the history file; null: this installation
    QTest::addColumn<QString>("corps");         // the one record's body

    // A hostile server tries to add a record of its own through each field that
    // reaches the history file.
    const QString faux = QStringLiteral("2026-01-01 00-00-00-received-999999-from-BANK");
    const QString nl = QStringLiteral("\n");
    QTest::newRow("r: sender") << "r:1:X" + nl + faux << QString() << "-received-1-from-X " + faux;
    QTest::newRow("r: amount") << "r:1\r\n" + faux + ":X" << QString() << "-received-1  " + faux + "-from-X";
    // The codec carries units up to U+00FF only: next line is the widest break that gets through.
    QTest::newRow("s: recipient") << "s:R" + QString(QChar(0x0085)) + faux + ":3" << QString()
                                  << "-sent-3-to-R " + faux;
    QTest::newRow("s: amount") << "s:R:3\f" + faux << QString() << "-sent-3 " + faux + "-to-R";
    const QString numero = QStringLiteral("0A1B2C3D4E5F\v") + faux;
    QTest::newRow("n: account") << "n:" + numero << numero << "-account creation-0A1B2C3D4E5F " + faux;
}

void TstReception::historiqueUneLigneParReponse()
{
    QFETCH(QString, reponse);
    QFETCH(QString, compteFichier);
    QFETCH(QString, corps);

    SessionBoucle session;
    QVERIFY(session.connecter());
    const QString propre = session.compte() + QStringLiteral(".log");
    const QString fichier = compteFichier.isNull() ? propre : compteFichier + QStringLiteral(".log");
    RepondeurBoites boites;
    // A reply after it shows when the first has been handled whole.
    session.serveur.envoyer(trameReponse(reponse) + trameReponse(QStringLiteral("r:7:END")));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).last(),
                              QStringLiteral("END  has sent you an amount of 7 qovi$"), attente);

    QStringList attendus = {corps};
    if (fichier == propre)
        attendus << QStringLiteral("-received-7-from-END");
    QFile lu(fichier);
    QVERIFY(lu.open(QIODevice::ReadOnly)); // not in text mode: a carriage return would be dropped
    const QStringList lignes = QString::fromUtf8(lu.readAll()).split(QLatin1Char('\n'));
    QCOMPARE(lignes.size(), attendus.size() + 1); // each record ends with its line feed
    QCOMPARE(lignes.last(), QString());
    for (int i = 0; i < attendus.size(); ++i) {
        const QRegularExpression ligne(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d")
                                       + QRegularExpression::escape(attendus.at(i)) + QLatin1Char('$'));
        QVERIFY2(ligne.match(lignes.at(i)).hasMatch(), qPrintable(lignes.at(i)));
    }
}

void TstReception::champsDuServeur_data()
{
    QTest::addColumn<QString>("reponse");
    QTest::addColumn<QString>("ligne");

    // What the server puts in the client's own lines is text, never markup.
    QTest::newRow("balance") << QStringLiteral("m:<b>x</b>") << bienvenue("<b>x</b>");
    QTest::newRow("entity") << QStringLiteral("m:&amp;") << bienvenue("&amp;");
    QTest::newRow("failure") << QStringLiteral("e:<i>0A1B2C3D4E5F</i>")
                             << QStringLiteral("failure of the transaction: <i>0A1B2C3D4E5F</i> is not connected");
    QTest::newRow("received") << QStringLiteral("r:5:<u>S</u>")
                              << QStringLiteral("<u>S</u>  has sent you an amount of 5 qovi$");
    QTest::newRow("sent") << QStringLiteral("s:<b>R</b>:3")
                          << QStringLiteral("The transfer of 3 qovi$ to <b>R</b> is made");
    // A notice is the server's own message and keeps its markup.
    QTest::newRow("notice") << QStringLiteral("i:<b>bold</b> and <i>slanted</i>")
                            << QStringLiteral("bold and slanted");
}

void TstReception::champsDuServeur()
{
    QFETCH(QString, reponse);
    QFETCH(QString, ligne);

    SessionBoucle session;
    QVERIFY(session.connecter());
    session.serveur.envoyer(trameReponse(reponse));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 3, attente);
    QCOMPARE(lignesJournal(session.fenetre).last(), ligne);
    // The balance label shows the field as text too.
    QCOMPARE(session.fenetre.findChild<QLabel *>(QStringLiteral("solde"))->textFormat(), Qt::PlainText);
}

void TstReception::noticeNeChargeRien_data()
{
    QTest::addColumn<QString>("notice");
    QTest::addColumn<QString>("ligne");

    // image.png, fond.png and style.css lie in the working folder; %1 is its
    // path. A notice is the text after the reply's last colon, so no URL with
    // a scheme or port and no style property ever reaches the log.
    QTest::newRow("image from a device") << "<b>a</b><img src=/dev/zero>b" << "ab";
    QTest::newRow("image file") << "<img src=image.png>x" << "x";
    QTest::newRow("image by its full path") << "<img src=\"%1/image.png\">x" << "x";
    QTest::newRow("image on no host") << "<img src=//127.0.0.1/image.png>x" << "x";
    QTest::newRow("sized image") << "<img src=image.png width=100000 height=100000>x" << "x";
    QTest::newRow("table background") << "<table background=fond.png><tr><td>x</td></tr></table>" << "x";
    QTest::newRow("cell background") << "<table><tr><td background=fond.png>x</td></tr></table>" << "x";
    QTest::newRow("body background") << "<body background=\"%1/fond.png\">x</body>" << "x";
    QTest::newRow("style sheet") << "<head><link rel=stylesheet href=style.css></head><body>x</body>" << "x";
    QTest::newRow("link") << "<a href=image.png>x</a>" << "x";
}

// A notice keeps its formatting, but what it names is never loaded: the
// window opens no file, and no image or link reaches the log.
void TstReception::noticeNeChargeRien()
{
    QFETCH(QString, notice);
    QFETCH(QString, ligne);

    SessionBoucle session;
    const QString source = qEnvironmentVariable("QOVI_SOURCE_DIR") + QStringLiteral("/window/coin.jpg");
    QVERIFY(QImage(source).save(QStringLiteral("image.png")));
    QVERIFY(QFile::copy(QStringLiteral("image.png"), QStringLiteral("fond.png")));
    {
        QFile feuille(QStringLiteral("style.css"));
        QVERIFY(feuille.open(QIODevice::WriteOnly));
        feuille.write("p { background-image: url(fond.png) }");
    }
    session.fenetre.show();
    QVERIFY(session.connecter());
    LecturesDuDossier lectures(session.dossier.chemin());

    notice.replace(QStringLiteral("%1"), session.dossier.chemin());
    session.serveur.envoyer(trameReponse(QStringLiteral("i:") + notice) + trameReponse(QStringLiteral("i:<i>end</i>")));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 4, attente);
    QTextEdit *journal = session.fenetre.findChild<QTextEdit *>(QStringLiteral("listeMessages"));
    journal->document()->documentLayout()->documentSize(); // laid out
    session.fenetre.grab();                                // and painted

    QCOMPARE(lignesJournal(session.fenetre).mid(2), QStringList({ligne, QStringLiteral("end")}));
    QCOMPARE(lectures.noms(), QStringList());
    for (QTextBlock bloc = journal->document()->begin(); bloc.isValid(); bloc = bloc.next()) {
        for (QTextBlock::iterator morceau = bloc.begin(); !morceau.atEnd(); ++morceau) {
            const QTextCharFormat format = morceau.fragment().charFormat();
            QVERIFY(!format.isImageFormat());
            QVERIFY(!format.isAnchor());
            QCOMPARE(format.background().style(), Qt::NoBrush);
        }
    }
    // The formatting stays.
    QVERIFY(journal->document()->lastBlock().begin().fragment().charFormat().fontItalic());
}

QTEST_MAIN(TstReception)
#include "tst_reception.moc"
