#include "server/banque/postgres.h"

#include "server/banque/adressepostgres.h"

#include <QSqlDriver>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <libpq-fe.h>

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
    QStringList options;
    for (const auto &delai : optionsDelais())
        options.append(delai.first + QStringLiteral("='") + delai.second + QLatin1Char('\''));
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

QVector<QPair<QString, QString>> optionsDelais()
{
    return {
        {QStringLiteral("connect_timeout"), QString::number(delaiConnexionPostgresS)},
        // A peer gone silent (a cut network, a machine lost) is found out
        // within seconds instead of TCP's two hours, whatever the system says.
        {QStringLiteral("keepalives"), QStringLiteral("1")},
        {QStringLiteral("keepalives_idle"), QStringLiteral("5")},
        {QStringLiteral("keepalives_interval"), QStringLiteral("2")},
        {QStringLiteral("keepalives_count"), QStringLiteral("3")},
        {QStringLiteral("tcp_user_timeout"), QStringLiteral("9000")},
        // A statement that the server runs (or waits for a lock) this long is
        // cancelled there; a server that runs nothing at all is the watchdog's.
        {QStringLiteral("options"), QStringLiteral("-c statement_timeout=%1").arg(delaiInstructionPostgresMs)},
    };
}

QString adresseAvecDelais(const QString &adresse)
{
    QString avecDelais = adresse;
    QChar separateur = adresse.contains(QLatin1Char('?')) ? QLatin1Char('&') : QLatin1Char('?');
    for (const auto &delai : optionsDelais()) {
        // The address's own settings win, as they do on the bank's connection.
        const QString cle = delai.first + QLatin1Char('=');
        if (adresse.contains(QLatin1Char('?') + cle) || adresse.contains(QLatin1Char('&') + cle))
            continue;
        avecDelais += separateur + delai.first + QLatin1Char('=') + QString::fromLatin1(QUrl::toPercentEncoding(delai.second));
        separateur = QLatin1Char('&');
    }
    return avecDelais;
}

int prisePostgres(const QSqlDatabase &base)
{
    if (!base.isValid() || !base.driver())
        return -1;
    const QVariant poignee = base.driver()->handle();
    if (!poignee.isValid() || qstrcmp(poignee.typeName(), "PGconn*") != 0)
        return -1;
    PGconn *connexion = *static_cast<PGconn *const *>(poignee.constData());
    return connexion ? PQsocket(connexion) : -1;
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
