#include "server/banque/banque.h"

#include "server/banque/postgres.h"
#include "server/banque/schema.h"
#include "server/banque/sqlite.h"
#include "server/reseau/sentinelle.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlQuery>

namespace {

QString nouveauNomConnexion()
{
    static QAtomicInt compteur;
    return QStringLiteral("qovi-banque-%1").arg(compteur.fetchAndAddRelaxed(1));
}

} // namespace

Banque::Banque()
    : nomConnexion(nouveauNomConnexion())
{
}

Banque::~Banque()
{
    clore();
    base = QSqlDatabase();
    QSqlDatabase::removeDatabase(nomConnexion);
}

void Banque::clore()
{
    // The statements first: a connection is removed only once nothing uses it.
    instructions.clear();
    if (base.isValid())
        fermer();
}

bool Banque::ouvrir(const QString &adresse)
{
    return configurer(adresse) && ouvrirConnexion(true);
}

// Without creation (opened again), the accounts must be there: a file put
// back empty, or an empty database in its place, is never served.
bool Banque::ouvrirConnexion(bool creation)
{
    if (!base.open()) {
        derniereErreur = surUneLigne(base.lastError());
        panneOuverture = panneDe(base.lastError(), postgres);
        return false;
    }
    prise = postgres ? prisePostgres(base) : -1;
    surveillerPrise(prise, Attente::Appels);
    if (!postgres && !preparerSqlite())
        return false;
    // Spares stderr the notices about tables that already exist.
    if (postgres && !executer(QStringLiteral("SET client_min_messages TO warning")))
        return false;
    if (!creation && !executer(QStringLiteral("SELECT 1 FROM accounts LIMIT 1")))
        return false;
    // An upgrade of a large database may take longer than a request's deadline.
    if (postgres && !executer(QStringLiteral("SET statement_timeout = 0")))
        return false;
    if (!creerSchema())
        return false;
    if (postgres && !executer(QStringLiteral("RESET statement_timeout")))
        return false;
    return preparerInstructions();
}

bool Banque::rouvrir()
{
    // The statements first: a connection is closed only once nothing uses it.
    {
        const SilenceLiberation silence;
        instructions.clear();
    }
    fermer();
    enEcriture = false;
    // Opening a missing SQLite file would create an empty one.
    if (!postgres && !QFileInfo::exists(base.databaseName())) {
        derniereErreur = QStringLiteral("%1 is missing").arg(base.databaseName());
        return false;
    }
    perdue = false;
    enReouverture = true;
    const bool ouverte = ouvrirConnexion(false);
    enReouverture = false;
    if (!ouverte) {
        instructions.clear();
        fermer();
        perdue = true;
        return false;
    }
    etatBase.reussite(EtatBase::Operation::Connexion);
    return true;
}

void Banque::fermer()
{
    oublierPrise(prise);
    prise = -1;
    base.close();
}

void Banque::signalerPerte(const QString &raison)
{
    derniereErreur = raison;
    perdre(raison);
}

void Banque::perdre(const QString &raison)
{
    etatBase.echec(EtatBase::Operation::Connexion, raison);
    if (perdue)
        return;
    perdue = true;
    if (surPerte && !enReouverture)
        surPerte();
}

// Counted as one more refused operation of the outage, without a word to the database.
bool Banque::refuserPerdue()
{
    derniereErreur = QStringLiteral("the database connection is lost");
    etatBase.echec(EtatBase::Operation::Connexion, derniereErreur);
    return false;
}

bool Banque::signalerEchec(const QSqlError &erreur)
{
    if (connexionPerdue(erreur, base))
        perdre(surUneLigne(erreur));
    return false;
}

bool Banque::configurer(const QString &adresse)
{
    base = connexionBase(adresse, nomConnexion, &derniereErreur);
    if (!base.isValid()) {
        if (derniereErreur.isEmpty())
            derniereErreur = QStringLiteral("the Qt database driver is missing");
        return false;
    }
    postgres = base.driverName() == QLatin1String("QPSQL");
    if (postgres || creerFichierPrive(base.databaseName()))
        return true;
    derniereErreur = QStringLiteral("cannot create %1").arg(base.databaseName());
    return false;
}

// Committed transfers must survive a crash: write-ahead log, synced at every commit.
bool Banque::preparerSqlite()
{
    if (!garderJournalSqlite(base, &derniereErreur))
        return false;
    QSqlQuery mode(base);
    if (!mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !mode.next()) {
        derniereErreur = surUneLigne(mode.lastError());
        panneOuverture = panneDe(mode.lastError(), false);
        // Reading needs the log's index, made on the first start: with no room for it, nothing can be read.
        if (refusDEcriture(mode.lastError(), false))
            derniereErreur += QStringLiteral(" (is the disk full?)");
        return false;
    }
    if (mode.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        derniereErreur = QStringLiteral("the database cannot use write-ahead logging");
        return false;
    }
    // The log is checkpointed every 256 pages (1 MiB) rather than 1000: on a
    // small disk, a log left to grow to 4 MiB takes the room that the
    // checkpoint needs to copy it into the database, and then nothing can be
    // written ever again. A log that a burst made longer shrinks back after it.
    return executer(QStringLiteral("PRAGMA synchronous=FULL")) && executer(QStringLiteral("PRAGMA foreign_keys=ON"))
           && executer(QStringLiteral("PRAGMA wal_autocheckpoint=256"))
           && executer(QStringLiteral("PRAGMA journal_size_limit=1048576"));
}

// Brought up to this server's schema version, or refused when a newer
// server has upgraded it.
bool Banque::creerSchema()
{
    const EtatSchema etat = preparerSchema(base, postgres);
    if (etat.issue == IssueSchema::AJour)
        return true;
    derniereErreur = etat.erreur;
    if (etat.issue == IssueSchema::TropRecent)
        panneOuverture = Panne::SchemaTropRecent;
    else
        panneOuverture = panneDe(etat.erreurSql, postgres);
    return false;
}
