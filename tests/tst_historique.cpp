#include "history/historique.h"

#include "dossiertemporaire.h"

#include <QtTest>

#include <memory>

namespace {

const QString compte = QStringLiteral("0A1B2C3D4E5F");
const QString fichierHistorique = compte + QStringLiteral(".log");

QByteArray contenu(const QString &nom)
{
    QFile fichier(nom);
    return fichier.open(QIODevice::ReadOnly) ? fichier.readAll() : QByteArray();
}

QString horodatage(const QByteArray &ligne)
{
    return QString::fromLatin1(ligne.left(19));
}

} // namespace

// Records are appended in the working directory: every test runs in a fresh one.
class TstHistorique : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void ligneHistorique_data();
    void ligneHistorique();
    void horodatageDe19Caracteres();
    void premierEnregistrementPuisAjout();
    void champsVides();
    void fichierImpossibleAOuvrir();
    void fichierAbsent();
    void nomDeFichierSimple_data();
    void nomDeFichierSimple();

private:
    std::unique_ptr<DossierTemporaire> dossier;
};

void TstHistorique::init()
{
    dossier = std::make_unique<DossierTemporaire>();
}

void TstHistorique::cleanup()
{
    dossier.reset();
}

void TstHistorique::ligneHistorique_data()
{
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QString>("corps");
    QTest::addColumn<QString>("ligne");

    const QDate jour(2016, 5, 3);
    QTest::newRow("9 o'clock") << QDateTime(jour, QTime(9, 7, 9)) << "-received-250-from-X"
                               << "2016-05-03 09-07-09-received-250-from-X\n";
    QTest::newRow("midnight") << QDateTime(jour, QTime(0, 0, 0)) << "-sent-40-to-1F2E3D4C5B6A"
                              << "2016-05-03 00-00-00-sent-40-to-1F2E3D4C5B6A\n";
    QTest::newRow("afternoon") << QDateTime(jour, QTime(14, 7, 9)) << "-account creation-0A1B2C3D4E5F"
                               << "2016-05-03 14-07-09-account creation-0A1B2C3D4E5F\n";
    QTest::newRow("empty fields") << QDateTime(QDate(2017, 12, 31), QTime(23, 59, 59)) << "-received--from-"
                                  << "2017-12-31 23-59-59-received--from-\n";
    QTest::newRow("hyphen in a field") << QDateTime(jour, QTime(14, 12, 41)) << "-received-2-5-from-A-B"
                                       << "2016-05-03 14-12-41-received-2-5-from-A-B\n";

    // A server's field never ends the record: each line break becomes a space,
    // and nothing else is changed (a tab, for one, stays).
    const struct
    {
        const char *nom;
        QString brisure;
    } brisures[] = {
        {"LF", QStringLiteral("\n")},           {"CR", QStringLiteral("\r")},
        {"CR LF", QStringLiteral("\r\n")},      {"vertical tab", QStringLiteral("\v")},
        {"form feed", QStringLiteral("\f")},    {"next line", QString(QChar(0x0085))},
        {"line separator", QString(QChar(0x2028))}, {"paragraph separator", QString(QChar(0x2029))},
    };
    for (const auto &brisure : brisures) {
        QTest::addRow("%s in a field", brisure.nom)
            << QDateTime(jour, QTime(14, 12, 41)) << "-received-1" + brisure.brisure + "2-from-X" + brisure.brisure
            << "2016-05-03 14-12-41-received-1" + QString(brisure.brisure.size(), QLatin1Char(' ')) + "2-from-X"
                + QString(brisure.brisure.size(), QLatin1Char(' ')) + "\n";
    }
    const QString controles = QStringLiteral("1\t2\x1b") + QChar(0) + QChar(0x200B);
    QTest::newRow("tab and other controls kept")
        << QDateTime(jour, QTime(14, 12, 41)) << "-received-" + controles + "-from-X"
        << "2016-05-03 14-12-41-received-" + controles + "-from-X\n";
}

void TstHistorique::ligneHistorique()
{
    QFETCH(QDateTime, moment);
    QFETCH(QString, corps);
    QFETCH(QString, ligne);

    QCOMPARE(::ligneHistorique(moment, corps), ligne);
}

void TstHistorique::horodatageDe19Caracteres()
{
    const QString ligne = ::ligneHistorique(QDateTime::currentDateTime(), QStringLiteral("-x"));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d-x\\n$")).match(ligne).hasMatch(),
             qPrintable(ligne));
}

void TstHistorique::premierEnregistrementPuisAjout()
{
    const QDateTime avant = QDateTime::currentDateTime().addMSecs(-1000);
    ajouterHistorique(compte, QStringLiteral("-received-250-from-1F2E3D4C5B6A"));
    const QDateTime apres = QDateTime::currentDateTime();

    const QByteArray premier = contenu(fichierHistorique);
    QCOMPARE(premier.count('\n'), 1);
    QVERIFY(premier.endsWith("-received-250-from-1F2E3D4C5B6A\n"));
    QCOMPARE(premier.size(), 19 + 32);
    // The timestamp is the local time at which the record was written.
    const QDateTime moment = QDateTime::fromString(horodatage(premier), QStringLiteral("yyyy-MM-dd hh-mm-ss"));
    QVERIFY2(moment >= avant && moment <= apres, qPrintable(horodatage(premier)));
    QCOMPARE(lireHistorique(compte), QString::fromLatin1(premier));

    ajouterHistorique(compte, QStringLiteral("-sent-40-to-1F2E3D4C5B6A"));
    const QByteArray deux = contenu(fichierHistorique);
    QVERIFY(deux.startsWith(premier));
    QCOMPARE(deux.count('\n'), 2);
    QVERIFY(deux.endsWith("-sent-40-to-1F2E3D4C5B6A\n"));
    QCOMPARE(lireHistorique(compte), QString::fromLatin1(deux));
}

void TstHistorique::champsVides()
{
    ajouterHistorique(compte, QStringLiteral("-received--from-"));

    const QByteArray ligne = contenu(fichierHistorique);
    QCOMPARE(ligne.size(), 19 + 17);
    QVERIFY(ligne.endsWith("-received--from-\n"));
}

void TstHistorique::fichierImpossibleAOuvrir()
{
    QVERIFY(QDir().mkdir(fichierHistorique));

    ajouterHistorique(compte, QStringLiteral("-received-250-from-1F2E3D4C5B6A"));
    QVERIFY(QFileInfo(fichierHistorique).isDir());
    QVERIFY(QDir(fichierHistorique).isEmpty());
    QVERIFY(lireHistorique(compte).isNull());
}

void TstHistorique::fichierAbsent()
{
    QVERIFY(lireHistorique(compte).isNull());
    QVERIFY(!QFile::exists(fichierHistorique)); // reading creates nothing
}

void TstHistorique::nomDeFichierSimple_data()
{
    QTest::addColumn<QString>("nom");
    QTest::addColumn<bool>("simple");

    QTest::newRow("account number") << "0A1B2C3D4E5F" << true;
    QTest::newRow("dots inside") << "a.b" << true;
    QTest::newRow("three dots") << "..." << true;
    QTest::newRow("hyphen") << "x-y" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("parent path") << "../x" << false;
    QTest::newRow("slash") << "a/b" << false;
    QTest::newRow("absolute") << "/etc/x" << false;
    QTest::newRow("backslash") << "a\\b" << false;
}

void TstHistorique::nomDeFichierSimple()
{
    QFETCH(QString, nom);
    QFETCH(bool, simple);

    QCOMPARE(::nomDeFichierSimple(nom), simple);
}

QTEST_GUILESS_MAIN(TstHistorique)
#include "tst_historique.moc"
