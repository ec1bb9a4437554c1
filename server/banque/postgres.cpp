#include "server/banque/postgres.h"

#include "server/banque/adressepostgres.h"

#include <QStringList>

#include <cstdio>

namespace {

QtMessageHandler gestionnairePrecedent = nullptr;

void filtrerLiberation(QtMsgType genre, const QMessageLogContext &contexte, const QString &message)
{
    if (message.startsWith(QLatin1String("Unable to free statement")))
        return;
    if (gestionnairePrecedent)
        gestionnairePrecedent(genre, contexte, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(genre, contexte, message)));
}

} // namespace

QSqlDatabase basePostgres(const AdressePostgres &adresse, const QString &nom)
{
    QSqlDatabase base = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), nom);
    // libpq reads a comma-separated list of hosts, and of ports when they differ.
    base.setHostName(adresse.hotes.join(QLatin1Char(',')));
    base.setUserName(adresse.utilisateur);
    base.setPassword(adresse.motDePasse);
    base.setDatabaseName(adresse.base);
    QStringList options{QStringLiteral("connect_timeout=10")};
    const QList<quint16> &ports = adresse.ports;
    if (ports.count(ports.value(0)) == ports.size()) {
        base.setPort(ports.value(0));
    } else {
        QStringList liste;
        for (const quint16 port : ports)
            liste.append(QString::number(port));
        options.append(QStringLiteral("port=") + liste.join(QLatin1Char(',')));
    }
    for (const auto &element : adresse.options)
        options.append(element.first + QLatin1Char('=') + element.second);
    base.setConnectOptions(options.join(QLatin1Char(';')));
    return base;
}

bool refusDEcriturePostgres(const QString &code)
{
    // insufficient_resources (disk_full...), read_only_sql_transaction, io_error
    return code.startsWith(QLatin1String("53")) || code == QLatin1String("25006") || code == QLatin1String("58030");
}

bool occupeePostgres(const QString &code)
{
    // too_many_connections, cannot_connect_now, lock_not_available, deadlock_detected
    return code == QLatin1String("53300") || code == QLatin1String("57P03") || code == QLatin1String("55P03")
           || code == QLatin1String("40P01");
}

bool connexionPerduePostgres(const QSqlError &erreur, const QSqlDatabase &base)
{
    const QString code = erreur.nativeErrorCode();
    if (!base.isOpen() || code.isEmpty())
        return true;
    // connection_exception; admin_shutdown, crash_shutdown, cannot_connect_now
    return code.startsWith(QLatin1String("08")) || code == QLatin1String("57P01") || code == QLatin1String("57P02")
           || code == QLatin1String("57P03");
}

SilenceLiberation::SilenceLiberation()
{
    gestionnairePrecedent = qInstallMessageHandler(filtrerLiberation);
}

SilenceLiberation::~SilenceLiberation()
{
    qInstallMessageHandler(gestionnairePrecedent);
    gestionnairePrecedent = nullptr;
}
