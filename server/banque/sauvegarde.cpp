#include "server/banque/sauvegarde.h"

#include <QFile>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Closes the handles and removes the unfinished copy unless told it is done.
struct Copie
{
    sqlite3 *source = nullptr;
    sqlite3 *cible = nullptr;
    QByteArray chemin;
    bool gardee = false;

    ~Copie()
    {
        sqlite3_close(source);
        sqlite3_close(cible);
        if (!gardee && !chemin.isEmpty())
            ::unlink(chemin.constData());
    }
};

IssueSauvegarde echec(IssueSauvegarde issue, sqlite3 *connexion, const QString &contexte, QString *erreur)
{
    *erreur = contexte + QStringLiteral(": ") + QString::fromUtf8(sqlite3_errmsg(connexion));
    return issue;
}

IssueSauvegarde issueDe(int code)
{
    switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return IssueSauvegarde::SourceOccupee;
    default:
        return IssueSauvegarde::EcritureImpossible;
    }
}

} // namespace

IssueSauvegarde sauvegarderSqlite(const QString &source, const QString &cible, QString *erreur)
{
    Copie copie;
    const QByteArray nomCible = QFile::encodeName(cible);
    // O_EXCL: never over an existing file, even one that appears meanwhile.
    const int descripteur = ::open(nomCible.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descripteur < 0) {
        const int cause = errno;
        *erreur = QStringLiteral("cannot create %1: %2").arg(cible, QString::fromLocal8Bit(std::strerror(cause)));
        return cause == EEXIST ? IssueSauvegarde::CibleExistante : IssueSauvegarde::CibleImpossible;
    }
    ::close(descripteur);
    copie.chemin = nomCible;

    // Read-write without create: a missing database is an error, and SQLite
    // may make the index of the write-ahead log that reading needs.
    if (sqlite3_open_v2(QFile::encodeName(source).constData(), &copie.source, SQLITE_OPEN_READWRITE, nullptr)
        != SQLITE_OK)
        return echec(IssueSauvegarde::SourceInjoignable, copie.source, QStringLiteral("cannot open %1").arg(source),
                     erreur);
    sqlite3_busy_timeout(copie.source, 5000);
    // As the server does: its write-ahead log stays when this last connection closes.
    int garder = 1;
    sqlite3_file_control(copie.source, "main", SQLITE_FCNTL_PERSIST_WAL, &garder);
    if (sqlite3_open_v2(nomCible.constData(), &copie.cible, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        return echec(IssueSauvegarde::CibleImpossible, copie.cible, QStringLiteral("cannot open %1").arg(cible),
                     erreur);

    sqlite3_backup *sauvegarde = sqlite3_backup_init(copie.cible, "main", copie.source, "main");
    if (!sauvegarde)
        return echec(IssueSauvegarde::EcritureImpossible, copie.cible, QStringLiteral("cannot start the copy"),
                     erreur);
    // All pages in one step: one read snapshot, so the copy is one moment of the database.
    const int pas = sqlite3_backup_step(sauvegarde, -1);
    sqlite3_backup_finish(sauvegarde);
    if (pas != SQLITE_DONE) {
        *erreur = QStringLiteral("the copy failed: %1").arg(QString::fromUtf8(sqlite3_errstr(pas)));
        return issueDe(pas);
    }
    // The copy is one file: no write-ahead log beside it.
    if (sqlite3_exec(copie.cible, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return echec(IssueSauvegarde::EcritureImpossible, copie.cible, QStringLiteral("cannot finish %1").arg(cible),
                     erreur);
    if (sqlite3_close(copie.cible) != SQLITE_OK)
        return echec(IssueSauvegarde::EcritureImpossible, copie.cible, QStringLiteral("cannot close %1").arg(cible),
                     erreur);
    copie.cible = nullptr;
    copie.gardee = true;
    return IssueSauvegarde::Faite;
}
