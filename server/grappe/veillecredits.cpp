#include "server/grappe/veillecredits.h"

#include "server/banque/adressebase.h"
#include "server/grappe/avis.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>

VeilleCredits::VeilleCredits(asio::io_context &contexte, const QString &adresse)
    : nomConnexion(QStringLiteral("qovi-veille-credits"))
    , veille(contexte, [this] { veiller(); })
{
    ouverte = ouvrir(adresse);
    if (ouverte)
        veille.demarrer(intervalleVeilleMs);
}

VeilleCredits::~VeilleCredits()
{
    base.close();
    base = QSqlDatabase();
    QSqlDatabase::removeDatabase(nomConnexion);
}

bool VeilleCredits::ouvrir(const QString &adresse)
{
    QString erreur;
    base = connexionBase(adresse, nomConnexion, &erreur);
    if (base.isValid()) {
        // Reads only, and never waits long for a lock: the next round will do.
        base.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=100"));
        if (!base.open())
            erreur = base.lastError().text().simplified();
    }
    QSqlQuery dernier(base);
    if (base.isOpen() && lireVersion(&version) && dernier.exec(QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM credits"))
        && dernier.next()) {
        dernierCredit = dernier.value(0).toLongLong();
        return true;
    }
    qWarning().noquote() << "credits will not be told to connected clients:"
                         << (erreur.isEmpty() ? dernier.lastError().text().simplified() : erreur);
    return false;
}

bool VeilleCredits::lireVersion(qint64 *lue)
{
    QSqlQuery requete(base);
    if (!requete.exec(QStringLiteral("PRAGMA data_version")) || !requete.next())
        return false;
    *lue = requete.value(0).toLongLong();
    return true;
}

void VeilleCredits::veiller()
{
    veille.demarrer(intervalleVeilleMs);
    verifier();
}

// Before a new connection joins: a credit committed before its balance was
// read is told to the others only.
void VeilleCredits::arrivee(const QString &, std::function<void()> suite)
{
    if (ouverte)
        verifier();
    suite();
}

void VeilleCredits::verifier()
{
    qint64 lue = 0;
    if (!lireVersion(&lue) || lue == version)
        return;
    QSqlQuery requete(base);
    requete.prepare(QStringLiteral("SELECT id, account, amount FROM credits WHERE id > ? ORDER BY id"));
    requete.bindValue(0, dernierCredit);
    if (!requete.exec()) {
        if (!echecSignale)
            qWarning().noquote() << "cannot read the new credits:" << requete.lastError().text().simplified();
        echecSignale = true;
        return;  // read again at the next round: the version is kept
    }
    echecSignale = false;
    version = lue;
    while (requete.next()) {
        AvisArgent avis;
        avis.genre = AvisArgent::Genre::Credit;
        dernierCredit = requete.value(0).toLongLong();
        avis.compte = requete.value(1).toString();
        avis.montant = requete.value(2).toLongLong();
        if (distribuer)
            distribuer(avis.compte, reponseAvis(avis));
    }
}
