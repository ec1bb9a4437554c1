#include "server/banque/sqlite.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QVariant>

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

namespace {

sqlite3 *poigneeSqlite(const QSqlDatabase &base)
{
    if (!base.isValid() || !base.driver())
        return nullptr;
    const QVariant poignee = base.driver()->handle();
    if (!poignee.isValid() || qstrcmp(poignee.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(poignee.constData());
}

} // namespace

bool creerFichierPrive(const QString &chemin)
{
    if (QFileInfo::exists(chemin))
        return true;
    const int descripteur = ::open(QFile::encodeName(chemin).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (descripteur < 0)
        return false;
    ::close(descripteur);
    return true;
}

bool refusDEcritureSqlite(const QString &code)
{
    switch (code.toInt() & 0xFF) {
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_READONLY:
        return true;
    default:
        return false;
    }
}

bool occupeeSqlite(const QString &code)
{
    const int primaire = code.toInt() & 0xFF;
    return primaire == SQLITE_BUSY || primaire == SQLITE_LOCKED;
}

bool connexionPerdueSqlite(const QSqlError &erreur, const QSqlDatabase &base)
{
    const int numero = erreur.nativeErrorCode().toInt();
    if (numero == SQLITE_READONLY_DBMOVED)
        return true;
    switch (numero & 0xFF) {
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
        return true;
    default:
        return !base.isOpen();
    }
}

bool fichierDeplace(const QSqlDatabase &base)
{
    sqlite3 *connexion = poigneeSqlite(base);
    int deplace = 0;
    if (!connexion || sqlite3_file_control(connexion, "main", SQLITE_FCNTL_HAS_MOVED, &deplace) != SQLITE_OK)
        return false;
    return deplace != 0;
}

bool garderJournalSqlite(const QSqlDatabase &base, QString *erreur)
{
    sqlite3 *connexion = poigneeSqlite(base);
    if (!connexion) {
        *erreur = QStringLiteral("the SQLite driver gives no handle");
        return false;
    }
    int garder = 1;
    if (sqlite3_file_control(connexion, "main", SQLITE_FCNTL_PERSIST_WAL, &garder) == SQLITE_OK)
        return true;
    *erreur = QString::fromUtf8(sqlite3_errmsg(connexion));
    return false;
}
