#include "server/surveillance/sante.h"

#include "server/banque/banque.h"
#include "server/service/serveur.h"

#include <QSqlError>
#include <QSqlQuery>

Sante::Sante(Banque &banque, const Serveur &serveur)
    : banque(banque)
    , serveur(serveur)
{
}

QString Sante::raisonIndisponible()
{
    if (banque.estPerdue())
        return QStringLiteral("database connection lost");
    if (!serveur.accepte())
        return QStringLiteral("not accepting connections");
    if (!derniereSonde.isValid() || derniereSonde.hasExpired(intervalleSondeMs)) {
        derniereSonde.start();
        raisonSonde = sonderBase();
    }
    return raisonSonde;
}

// A failure goes to the bank, which finds a lost connection by it and has it opened again.
QString Sante::sonderBase()
{
    QSqlQuery requete(banque.connexion());
    if (requete.exec(QStringLiteral("SELECT 1")) && requete.next())
        return QString();
    const QSqlError erreur = requete.lastError();
    banque.signalerEchec(erreur);
    if (banque.estPerdue())
        return QStringLiteral("database connection lost");
    return QStringLiteral("database does not answer: ") + erreur.text().simplified();
}
