#include "server/banque/adressepostgres.h"

#include <QUrl>
#include <QUrlQuery>

namespace {

constexpr quint16 portParDefaut = 5432;

QString decode(const QString &texte)
{
    return QUrl::fromPercentEncoding(texte.toUtf8());
}

bool lirePort(const QString &texte, quint16 *port)
{
    bool nombre = false;
    const uint valeur = texte.toUInt(&nombre);
    if (!nombre || valeur == 0 || valeur > 65535 || texte.startsWith(QLatin1Char('+')))
        return false;
    *port = quint16(valeur);
    return true;
}

// host, host:port, [ipv6] or [ipv6]:port.
bool lireHote(const QString &texte, AdressePostgres *lue, QString *erreur)
{
    QString hote = texte;
    QString apresHote;
    if (texte.startsWith(QLatin1Char('['))) {
        const int fin = texte.indexOf(QLatin1Char(']'));
        apresHote = fin < 0 ? QString() : texte.mid(fin + 1);
        if (fin < 0 || (!apresHote.isEmpty() && !apresHote.startsWith(QLatin1Char(':')))) {
            *erreur = QStringLiteral("an IPv6 host reads [address] or [address]:port, not %1").arg(texte);
            return false;
        }
        hote = texte.mid(1, fin - 1);
    } else if (texte.contains(QLatin1Char(':'))) {
        hote = texte.section(QLatin1Char(':'), 0, 0);
        apresHote = texte.mid(hote.size());
    }
    quint16 port = portParDefaut;
    if (!apresHote.isEmpty() && !lirePort(apresHote.mid(1), &port)) {
        *erreur = QStringLiteral("invalid port in %1").arg(texte);
        return false;
    }
    lue->hotes.append(decode(hote));
    lue->ports.append(port);
    return true;
}

bool lireOptions(const QString &requete, AdressePostgres *lue, QString *erreur)
{
    const auto paires = requete.split(QLatin1Char('&'), Qt::SkipEmptyParts);
    for (const QString &paire : paires) {
        const int egal = paire.indexOf(QLatin1Char('='));
        if (egal <= 0) {
            *erreur = QStringLiteral("an option reads key=value, not %1").arg(paire);
            return false;
        }
        lue->options.append({decode(paire.left(egal)), decode(paire.mid(egal + 1))});
    }
    return true;
}

} // namespace

bool lireAdressePostgres(const QString &adresse, AdressePostgres *lue, QString *erreur)
{
    *lue = AdressePostgres();
    const int schema = adresse.indexOf(QLatin1String("://"));
    const QString apresSchema = adresse.mid(schema + 3);
    // The authority ends at the database's slash or the query; a slash or
    // question mark in a password is percent-encoded, as in any URL.
    int finAutorite = apresSchema.indexOf(QLatin1Char('/'));
    const int debutRequete = apresSchema.indexOf(QLatin1Char('?'));
    if (finAutorite < 0 || (debutRequete >= 0 && debutRequete < finAutorite)) {
        *erreur = QStringLiteral("a PostgreSQL address reads postgresql://user@host[:port][,host[:port]...]/database");
        return false;
    }
    QString autorite = apresSchema.left(finAutorite);
    const int arobase = autorite.lastIndexOf(QLatin1Char('@'));
    if (arobase >= 0) {
        const QString utilisateur = autorite.left(arobase);
        lue->utilisateur = decode(utilisateur.section(QLatin1Char(':'), 0, 0));
        if (utilisateur.contains(QLatin1Char(':')))
            lue->motDePasse = decode(utilisateur.section(QLatin1Char(':'), 1));
        autorite = autorite.mid(arobase + 1);
    }
    const auto hotes = autorite.split(QLatin1Char(','));
    for (const QString &hote : hotes) {
        if (!lireHote(hote, lue, erreur))
            return false;
    }
    const QString reste = apresSchema.mid(finAutorite + 1);
    lue->base = decode(reste.section(QLatin1Char('?'), 0, 0));
    if (lue->base.isEmpty()) {
        *erreur = QStringLiteral("a PostgreSQL address names its database: postgresql://user@host[:port]/database");
        return false;
    }
    return lireOptions(reste.section(QLatin1Char('?'), 1), lue, erreur);
}

QString adresseAvecOption(const QString &adresse, const QString &cle, const QString &valeur)
{
    // The hosts are left as written: QUrl cannot read a list of them.
    const int debutRequete = adresse.indexOf(QLatin1Char('?'));
    QUrlQuery elements(debutRequete < 0 ? QString() : adresse.mid(debutRequete + 1));
    elements.removeAllQueryItems(cle);
    elements.addQueryItem(cle, valeur);
    return adresse.left(debutRequete < 0 ? adresse.size() : debutRequete) + QLatin1Char('?')
           + elements.toString(QUrl::FullyEncoded);
}
