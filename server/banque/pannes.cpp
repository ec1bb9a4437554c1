#include "server/banque/pannes.h"

#include "server/banque/postgres.h"
#include "server/banque/sqlite.h"

bool refusDEcriture(const QSqlError &erreur, bool postgres)
{
    const QString code = erreur.nativeErrorCode();
    return postgres ? refusDEcriturePostgres(code) : refusDEcritureSqlite(code);
}

PanneBase panneDe(const QSqlError &erreur, bool postgres)
{
    const QString code = erreur.nativeErrorCode();
    if (postgres ? occupeePostgres(code) : occupeeSqlite(code))
        return PanneBase::Occupee;
    return refusDEcriture(erreur, postgres) ? PanneBase::Disque : PanneBase::Injoignable;
}

bool connexionPerdue(const QSqlError &erreur, const QSqlDatabase &base)
{
    if (base.driverName() == QLatin1String("QPSQL"))
        return connexionPerduePostgres(erreur, base);
    return connexionPerdueSqlite(erreur, base);
}

QString surUneLigne(const QSqlError &erreur)
{
    return erreur.text().simplified();
}
