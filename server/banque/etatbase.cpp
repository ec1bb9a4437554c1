#include "server/banque/etatbase.h"

#include "server/mesures/mesures.h"

#include <QDebug>

void EtatBase::echec(Operation operation, const QString &erreur)
{
    const bool aggravee = panne && operation > operationEnPanne;
    if (panne && !aggravee) {
        ++refus;
        return;
    }
    if (!panne) {
        refus = 1;
        duree.start();
    }
    panne = true;
    operationEnPanne = operation;
    if (!actif)
        return;
    noterBase(false);
    if (operation == Operation::Connexion)
        qWarning().noquote() << QStringLiteral("database connection lost, requests are refused until it is back: %1")
                                    .arg(erreur);
    else if (operation == Operation::Ecriture)
        qWarning().noquote() << QStringLiteral("database cannot write, transfers and new accounts are refused "
                                               "until it can: %1")
                                    .arg(erreur);
    else
        qWarning().noquote() << QStringLiteral("database cannot be read, requests are refused until it can: %1")
                                    .arg(erreur);
}

void EtatBase::reussite(Operation operation)
{
    if (!panne || operation < operationEnPanne)
        return;
    panne = false;
    if (!actif)
        return;
    noterBase(true);
    if (operationEnPanne == Operation::Connexion)
        compterReconnexionBase();
    qInfo().noquote() << QStringLiteral("database works again after %1 s and %2 failed operations")
                             .arg(double(duree.elapsed()) / 1000, 0, 'f', 1)
                             .arg(refus);
}
