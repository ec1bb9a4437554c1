#ifndef ADRESSEPOSTGRES_H
#define ADRESSEPOSTGRES_H

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// A postgresql:// URL taken apart as libpq takes it, hosts included: a URL may
// name a primary and its standbys, postgresql://user@host1:port1,host2:port2/db,
// and libpq connects to the first that suits target_session_attrs.
struct AdressePostgres
{
    // In the URL's order; an IPv6 address without its brackets; empty for the local socket.
    QStringList hotes;
    // One per host: 5432 where the URL gives none.
    QList<quint16> ports;
    QString utilisateur;
    QString motDePasse;
    QString base;
    // The query's key=value pairs, decoded, in order.
    QList<QPair<QString, QString>> options;
};

// False, with erreur set, for an address libpq would refuse or that names no database.
bool lireAdressePostgres(const QString &adresse, AdressePostgres *lue, QString *erreur);

// The same address with the option cle set to valeur (replaced if present),
// the rest left as written.
QString adresseAvecOption(const QString &adresse, const QString &cle, const QString &valeur);

#endif
