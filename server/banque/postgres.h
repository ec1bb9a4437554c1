#ifndef POSTGRES_H
#define POSTGRES_H

#include <QSqlDatabase>
#include <QSqlError>
#include <QPair>
#include <QString>
#include <QVector>

struct AdressePostgres;

// What only PostgreSQL needs: its address, its SQLSTATE codes, its statements
// left on a dead server. Its lot function is in lotpostgres.h.

// A connection (not yet open) named nom to the database that adresse names, on
// the first of its hosts that suits its options (target_session_attrs...).
QSqlDatabase basePostgres(const AdressePostgres &adresse, const QString &nom);

// The deadlines of every PostgreSQL connection, as libpq's key and value:
// the connection's own time-out, TCP keepalives and user time-out with the
// server's settings, and the statements' time-out.
QVector<QPair<QString, QString>> optionsDelais();
constexpr int delaiConnexionPostgresS = 3;
constexpr int delaiInstructionPostgresMs = 3000;

// A postgresql:// address with those deadlines added, for libpq itself.
QString adresseAvecDelais(const QString &adresse);

// The socket of an open connection, -1 without one.
int prisePostgres(const QSqlDatabase &base);

// code: the SQLSTATE.
bool refusDEcriturePostgres(const QString &code);
bool occupeePostgres(const QString &code);
bool connexionPerduePostgres(const QSqlError &erreur, const QSqlDatabase &base);

// While it lives, Qt's warnings that the statements of a dead PostgreSQL
// connection could not be freed on the server are dropped: there is no
// server to free them on, and one line per statement at each loss is noise.
class SilenceLiberation
{
public:
    SilenceLiberation();
    ~SilenceLiberation();
    SilenceLiberation(const SilenceLiberation &) = delete;
    SilenceLiberation &operator=(const SilenceLiberation &) = delete;
};

#endif
