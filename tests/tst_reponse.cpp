#include "conversation/reponse.h"

#include <QtTest>

#include <limits>

Q_DECLARE_METATYPE(EffetReponse::Genre)

namespace {
const QString compteInstalle = QStringLiteral("112233445566");
const QString soldeInitial = QStringLiteral("- - - - - -");
} // namespace

class TstReponse : public QObject
{
    Q_OBJECT

private slots:
    void analyserReponse_data();
    void analyserReponse();
    void lireNombre_data();
    void lireNombre();
};

void TstReponse::analyserReponse_data()
{
    using G = EffetReponse::Genre;
    QTest::addColumn<QString>("reponse");
    QTest::addColumn<QString>("soldeAvant");
    QTest::addColumn<EffetReponse::Genre>("genre");
    QTest::addColumn<QString>("ligne");
    QTest::addColumn<bool>("riche");
    QTest::addColumn<QString>("soldeApres");
    QTest::addColumn<QString>("compteCree");
    QTest::addColumn<QString>("fichier"); // names the history file; empty: no record
    QTest::addColumn<QString>("corps");

    const QString moi = compteInstalle;
    // The three examples, one after the other.
    QTest::newRow("m:1500") << "m:1500" << soldeInitial << G::Solde << "Welcome, your balance is 1500 qovi$" << false
                     << "1500" << "" << "" << "";
    QTest::newRow("r: received") << "r:250:0A1B2C3D4E5F" << "1500" << G::Recu
                          << "0A1B2C3D4E5F  has sent you an amount of 250 qovi$" << false << "1750" << "" << moi
                          << "-received-250-from-0A1B2C3D4E5F";
    QTest::newRow("s: sent") << "s:1F2E3D4C5B6A:40" << "1750" << G::Envoye
                      << "The transfer of 40 qovi$ to 1F2E3D4C5B6A is made" << false << "1710" << "" << moi
                      << "-sent-40-to-1F2E3D4C5B6A";

    // Missing and odd fields.
    QTest::newRow("m: empty") << "m:" << "1500" << G::Solde << "Welcome, your balance is  qovi$" << false << "" << ""
                       << "" << "";
    QTest::newRow("m: last field") << "m:1:2" << "1500" << G::Solde << "Welcome, your balance is 2 qovi$" << false << "2"
                            << "" << "" << "";
    QTest::newRow("m: not a number, shown as is") << "m:abc" << "1500" << G::Solde << "Welcome, your balance is abc qovi$"
                                           << false << "abc" << "" << "" << "";
    QTest::newRow("m: markup stays literal") << "m:<b>x</b>" << "1500" << G::Solde
                                      << "Welcome, your balance is <b>x</b> qovi$" << false << "<b>x</b>" << ""
                                      << "" << "";
    QTest::newRow("r: alone") << "r:" << soldeInitial << G::Recu << "  has sent you an amount of  qovi$" << false << "0"
                       << "" << moi << "-received--from-";
    QTest::newRow("r: before any m:") << "r:250:0A1B2C3D4E5F" << soldeInitial << G::Recu
                               << "0A1B2C3D4E5F  has sent you an amount of 250 qovi$" << false << "250" << ""
                               << moi << "-received-250-from-0A1B2C3D4E5F";
    QTest::newRow("r: amount not a number") << "r:12abc:S" << "100" << G::Recu << "S  has sent you an amount of 12abc qovi$"
                                     << false << "100" << "" << moi << "-received-12abc-from-S";
    QTest::newRow("r: amount with blanks") << "r: 12 :S" << "100" << G::Recu << "S  has sent you an amount of  12  qovi$"
                                    << false << "112" << "" << moi << "-received- 12 -from-S";
    QTest::newRow("r: extra fields ignored") << "r:5:S:extra" << "100" << G::Recu << "S  has sent you an amount of 5 qovi$"
                                      << false << "105" << "" << moi << "-received-5-from-S";
    QTest::newRow("s: above the balance") << "s:1F2E3D4C5B6A:150" << "100" << G::Envoye
                                   << "The transfer of 150 qovi$ to 1F2E3D4C5B6A is made" << false << "-50" << ""
                                   << moi << "-sent-150-to-1F2E3D4C5B6A";
    QTest::newRow("s: alone") << "s:" << "100" << G::Envoye << "The transfer of  qovi$ to  is made" << false << "100" << ""
                       << moi << "-sent--to-";

    // The balance stays within 32 bits.
    const QString max = QString::number(std::numeric_limits<qint32>::max());
    const QString min = QString::number(std::numeric_limits<qint32>::min());
    QTest::newRow("r: clamps at the maximum") << "r:1:S" << max << G::Recu << "S  has sent you an amount of 1 qovi$" << false
                                       << max << "" << moi << "-received-1-from-S";
    QTest::newRow("r: max + max") << "r:" + max + ":S" << max << G::Recu
                           << "S  has sent you an amount of " + max + " qovi$" << false << max << "" << moi
                           << "-received-" + max + "-from-S";
    QTest::newRow("s: clamps at the minimum") << "s:R:1" << min << G::Envoye << "The transfer of 1 qovi$ to R is made"
                                       << false << min << "" << moi << "-sent-1-to-R";
    QTest::newRow("s: minus the minimum") << "s:R:" + min << "0" << G::Envoye
                                   << "The transfer of " + min + " qovi$ to R is made" << false << max << "" << moi
                                   << "-sent-" + min + "-to-R";

    // Ignored replies change nothing.
    for (const char *texte : {"x:1", "A:", " a:", "", "m", "a"})
        QTest::addRow("ignored '%s'", texte)
            << texte << "1500" << G::Ignoree << QString() << false << "1500" << "" << "" << "";

    // Notices and refusals.
    QTest::newRow("i: with colons") << "i:a:b:<b>c</b>" << "1500" << G::Information << "<b>c</b>" << true << "1500" << ""
                             << "" << "";
    QTest::newRow("e:") << "e:X" << "1500" << G::Echec << "failure of the transaction: X is not connected" << false
                 << "1500" << "" << "" << "";
    QTest::newRow("e: last field") << "e:a:X" << "1500" << G::Echec << "failure of the transaction: X is not connected"
                            << false << "1500" << "" << "" << "";
    QTest::newRow("a:") << "a:" << "1500" << G::Refus << "Failed Authentication" << false << "1500" << "" << "" << "";
    QTest::newRow("a: with text") << "a:nope" << "1500" << G::Refus << "Failed Authentication" << false << "1500" << ""
                           << "" << "";

    // Account creation: the record goes to the announced account's file,
    // unless that name would lead outside the working directory.
    const QString creation = QStringLiteral("Welcome, your account has just been created; your account number is : ");
    QTest::newRow("n:") << "n:0A1B2C3D4E5F" << soldeInitial << G::NouveauCompte << creation + "0A1B2C3D4E5F" << false << "0"
                 << "0A1B2C3D4E5F" << "0A1B2C3D4E5F" << "-account creation-0A1B2C3D4E5F";
    for (const char *compte : {"../x", "a/b", "a\\b", "..", "."})
        QTest::addRow("n:%s", compte)
            << QStringLiteral("n:") + compte << "1500" << G::NouveauCompte << creation + compte << false << "0"
            << compte << moi << QStringLiteral("-account creation-") + compte;
    QTest::newRow("n: empty") << "n:" << "1500" << G::NouveauCompte << creation << false << "0" << "" << moi
                       << "-account creation-";
}

void TstReponse::analyserReponse()
{
    QFETCH(QString, reponse);
    QFETCH(QString, soldeAvant);
    QFETCH(EffetReponse::Genre, genre);
    QFETCH(QString, ligne);
    QFETCH(bool, riche);
    QFETCH(QString, soldeApres);
    QFETCH(QString, compteCree);
    QFETCH(QString, fichier);
    QFETCH(QString, corps);

    const EffetReponse effet = ::analyserReponse(reponse, soldeAvant, compteInstalle);
    QCOMPARE(effet.genre, genre);
    QCOMPARE(effet.ligne, ligne);
    QCOMPARE(effet.ligneEnTexteRiche, riche);
    QCOMPARE(effet.changeSolde ? effet.solde : soldeAvant, soldeApres);
    QCOMPARE(effet.compteCree, compteCree);
    QCOMPARE(effet.corpsHistorique, corps);
    if (!corps.isEmpty())
        QCOMPARE(effet.compteHistorique, fichier);
}

void TstReponse::lireNombre_data()
{
    QTest::addColumn<QString>("texte");
    QTest::addColumn<int>("nombre");

    QTest::newRow("blanks around") << " 12 " << 12;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("digits then letters") << "12abc" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("placeholder") << soldeInitial << 0;
    QTest::newRow("negative") << "-5" << -5;
    QTest::newRow("plus sign") << "+7" << 7;
    QTest::newRow("above 32 bits") << "2147483648" << 0;
    QTest::newRow("largest") << "2147483647" << 2147483647;
    QTest::newRow("smallest") << "-2147483648" << std::numeric_limits<int>::min();
    QTest::newRow("hexadecimal") << "0x10" << 0;
}

void TstReponse::lireNombre()
{
    QFETCH(QString, texte);
    QFETCH(int, nombre);

    QCOMPARE(::lireNombre(texte), nombre);
}

QTEST_GUILESS_MAIN(TstReponse)
#include "tst_reponse.moc"
