#include "server/banque/adressebase.h"

#include "server/banque/adressepostgres.h"
#include "server/banque/postgres.h"

#include <QDir>
#include <QStandardPaths>
#include <QUrl>

QString adresseBaseParDefaut()
{
    // Under systemd, the service's own state directory (the first when it names several).
    const QString etat = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!etat.isEmpty())
        return etat + QStringLiteral("/server.sqlite");
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/qovi/server.sqlite");
}

QSqlDatabase connexionBase(const QString &adresse, const QString &nom, QString *erreur)
{
    const QUrl url(adresse);
    const QString schema = adresse.contains(QLatin1String("://")) ? url.scheme() : QString();
    if (estAdressePostgres(adresse)) {
        AdressePostgres lue;
        if (!lireAdressePostgres(adresse, &lue, erreur))
            return QSqlDatabase();
        return basePostgres(lue, nom);
    }

    QString chemin = adresse;
    if (schema == QLatin1String("sqlite")) {
        chemin = url.path();
        if (!url.host().isEmpty() || !QDir::isAbsolutePath(chemin)) {
            *erreur = QStringLiteral("a SQLite address reads sqlite:///absolute/path");
            return QSqlDatabase();
        }
    } else if (!schema.isEmpty()) {
        *erreur = QStringLiteral("unsupported database address scheme %1").arg(schema);
        return QSqlDatabase();
    }
    if (chemin.isEmpty()) {
        *erreur = QStringLiteral("empty database path");
        return QSqlDatabase();
    }
    QSqlDatabase base = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), nom);
    base.setDatabaseName(chemin);
    base.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    return base;
}

bool estAdressePostgres(const QString &adresse)
{
    if (!adresse.contains(QLatin1String("://")))
        return false;
    // Not QUrl's scheme(): QUrl cannot read a list of hosts, and gives none for it.
    const QString schema = adresse.section(QLatin1String("://"), 0, 0);
    return schema == QLatin1String("postgresql") || schema == QLatin1String("postgres");
}
