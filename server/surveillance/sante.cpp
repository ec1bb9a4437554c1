#include "server/surveillance/sante.h"

#include "server/banque/banque.h"
#include "server/banque/guichet.h"
#include "server/service/serveur.h"

#include <QSqlError>
#include <QSqlQuery>

namespace {

// On the bank's thread. A failure goes to the bank, which finds a lost
// connection by it and has it opened again.
QString sonder(Banque &banque)
{
    if (banque.estPerdue())
        return QStringLiteral("database connection lost");
    QSqlQuery requete(banque.connexion());
    if (requete.exec(QStringLiteral("SELECT 1")) && requete.next())
        return QString();
    const QSqlError erreur = requete.lastError();
    banque.signalerEchec(erreur);
    if (banque.estPerdue())
        return QStringLiteral("database connection lost");
    return QStringLiteral("database does not answer: ") + erreur.text().simplified();
}

} // namespace

Sante::Sante(Guichet &guichet, const Serveur &serveur)
    : guichet(guichet)
    , serveur(serveur)
{
}

QString Sante::raisonIndisponible()
{
    if (guichet.constat().perdue)
        return QStringLiteral("database connection lost");
    if (!serveur.accepte())
        return QStringLiteral("not accepting connections");
    if (sondeEnCours) {
        if (derniereSonde.hasExpired(attenteSondeMs))
            return QStringLiteral("database does not answer within %1 ms").arg(attenteSondeMs);
        return raisonSonde;
    }
    if (!derniereSonde.isValid() || derniereSonde.hasExpired(intervalleSondeMs))
        sonderBase();
    return raisonSonde;
}

void Sante::sonderBase()
{
    derniereSonde.start();
    sondeEnCours = true;
    guichet.confier([](Banque &banque) { return sonder(banque); },
                    [this](const QString &raison) {
                        sondeEnCours = false;
                        raisonSonde = raison;
                    });
}
