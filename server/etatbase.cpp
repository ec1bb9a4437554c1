#include "server/etatbase.h"

#include <QDebug>

void EtatBase::echec(Operation operation, const QString &erreur)
{
    const bool aggravee = panne && operation == Operation::Ecriture && operationEnPanne == Operation::Lecture;
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
    if (operation == Operation::Ecriture)
        qWarning().noquote() << QStringLiteral("database cannot write, transfers and new accounts are refused "
                                               "until it can: %1")
                                    .arg(erreur);
    else
        qWarning().noquote() << QStringLiteral("database cannot be read, requests are refused until it can: %1")
                                    .arg(erreur);
}

void EtatBase::reussite(Operation operation)
{
    if (!panne || (operationEnPanne == Operation::Ecriture && operation == Operation::Lecture))
        return;
    panne = false;
    if (!actif)
        return;
    qInfo().noquote() << QStringLiteral("database works again after %1 s and %2 failed operations")
                             .arg(double(duree.elapsed()) / 1000, 0, 'f', 1)
                             .arg(refus);
}
