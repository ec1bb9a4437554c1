#include "server/journal/evenements.h"

#include "server/mesures/mesures.h"

#include <QDebug>

namespace {

QString ligne(int connexion, const char *quoi, const QString &adresse, const QString &compte, const QString &detail)
{
    QString texte = QStringLiteral("#%1 %2 from %3 account %4")
                        .arg(connexion)
                        .arg(QLatin1String(quoi), adresse.isEmpty() ? QStringLiteral("-") : adresse,
                             compte.isEmpty() ? QStringLiteral("-") : compte);
    if (!detail.isEmpty())
        texte += QLatin1Char(' ') + detail;
    return texte;
}

} // namespace

QString ligneRefus(int connexion, const char *motif, const QString &adresse, const QString &compte,
                   const QString &detail)
{
    return ligne(connexion, (QByteArrayLiteral("refused ") + motif).constData(), adresse, compte,
                 detail.isEmpty() ? detail : QLatin1Char('(') + detail + QLatin1Char(')'));
}

void journaliserRefus(int connexion, const char *motif, const QString &adresse, const QString &compte,
                      const QString &detail)
{
    compterRefus(motif);
    qInfo().noquote() << ligneRefus(connexion, motif, adresse, compte, detail);
}

QString ligneEvenement(int connexion, const char *evenement, const QString &adresse, const QString &compte,
                       const QString &detail)
{
    return ligne(connexion, evenement, adresse, compte, detail);
}

void journaliserEvenement(int connexion, const char *evenement, const QString &adresse, const QString &compte,
                          const QString &detail)
{
    compterEvenement(evenement);
    qInfo().noquote() << ligneEvenement(connexion, evenement, adresse, compte, detail);
}
