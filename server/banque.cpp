#include "server/banque.h"

#include "server/empreinte.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

#include <fcntl.h>
#include <unistd.h>

namespace {

const char *const tables[] = {
    "CREATE TABLE IF NOT EXISTS accounts ("
    " account TEXT PRIMARY KEY CHECK (length(account) = 12),"
    " key_hash TEXT NOT NULL,"
    " balance BIGINT NOT NULL DEFAULT 0 CHECK (balance BETWEEN 0 AND 2147483647),"
    " created_at TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS credits ("
    " id %1,"
    " account TEXT NOT NULL REFERENCES accounts (account),"
    " amount BIGINT NOT NULL CHECK (amount > 0),"
    " created_at TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS transfers ("
    " id %1,"
    " sender TEXT NOT NULL REFERENCES accounts (account),"
    " recipient TEXT NOT NULL REFERENCES accounts (account),"
    " amount BIGINT NOT NULL CHECK (amount > 0),"
    " created_at TEXT NOT NULL)",
};

QString maintenant()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QString surUneLigne(const QSqlError &erreur)
{
    return erreur.text().simplified();
}

QString nouveauNomConnexion()
{
    static QAtomicInt compteur;
    return QStringLiteral("qovi-banque-%1").arg(compteur.fetchAndAddRelaxed(1));
}

// Created before SQLite sees it, so that the file (and its -wal and -shm
// companions, which take its mode) is readable by the owner only.
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

QSqlDatabase basePostgres(const QUrl &url, const QString &nom)
{
    QSqlDatabase base = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), nom);
    base.setHostName(url.host());
    base.setPort(url.port(5432));
    base.setUserName(url.userName());
    base.setPassword(url.password());
    base.setDatabaseName(url.path().mid(1));
    QStringList options{QStringLiteral("connect_timeout=10")};
    const auto elements = QUrlQuery(url).queryItems(QUrl::FullyDecoded);
    for (const auto &element : elements)
        options.append(element.first + QLatin1Char('=') + element.second);
    base.setConnectOptions(options.join(QLatin1Char(';')));
    return base;
}

} // namespace

QString adresseBaseParDefaut()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/qovi/server.sqlite");
}

QSqlDatabase connexionBase(const QString &adresse, const QString &nom, QString *erreur)
{
    const QUrl url(adresse);
    const QString schema = adresse.contains(QLatin1String("://")) ? url.scheme() : QString();
    if (schema == QLatin1String("postgresql") || schema == QLatin1String("postgres")) {
        if (!url.isValid() || url.path().size() < 2) {
            *erreur = QStringLiteral("a PostgreSQL address reads postgresql://user@host[:port]/database");
            return QSqlDatabase();
        }
        return basePostgres(url, nom);
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

Banque::Banque()
    : nomConnexion(nouveauNomConnexion())
{
}

Banque::~Banque()
{
    if (base.isValid())
        base.close();
    base = QSqlDatabase();
    QSqlDatabase::removeDatabase(nomConnexion);
}

bool Banque::ouvrir(const QString &adresse)
{
    if (!configurer(adresse))
        return false;
    if (!base.open()) {
        derniereErreur = surUneLigne(base.lastError());
        return false;
    }
    if (!postgres && !preparerSqlite())
        return false;
    // Spares stderr the notices about tables that already exist.
    if (postgres && !executer(QStringLiteral("SET client_min_messages TO warning")))
        return false;
    return creerSchema();
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
    QSqlQuery mode(base);
    if (!mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !mode.next()) {
        derniereErreur = surUneLigne(mode.lastError());
        return false;
    }
    if (mode.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        derniereErreur = QStringLiteral("the database cannot use write-ahead logging");
        return false;
    }
    return executer(QStringLiteral("PRAGMA synchronous=FULL")) && executer(QStringLiteral("PRAGMA foreign_keys=ON"));
}

bool Banque::creerSchema()
{
    if (!commencer())
        return false;
    // Several servers may start on one PostgreSQL database at once.
    if (postgres && !executer(QStringLiteral("SELECT pg_advisory_xact_lock(50885)"))) {
        annuler();
        return false;
    }
    const QString identifiant = postgres ? QStringLiteral("BIGSERIAL PRIMARY KEY") : QStringLiteral("INTEGER PRIMARY KEY");
    for (const char *table : tables) {
        if (!executer(QString::fromLatin1(table).replace(QLatin1String("%1"), identifiant))) {
            annuler();
            return false;
        }
    }
    return valider();
}

bool Banque::executer(const QString &sql, const QVariantList &valeurs, int *lignes)
{
    // PostgreSQL prepares only queries, not BEGIN, COMMIT or CREATE TABLE.
    QSqlQuery requete(base);
    bool fait = false;
    if (valeurs.isEmpty()) {
        fait = requete.exec(sql);
    } else if (requete.prepare(sql)) {
        for (const QVariant &valeur : valeurs)
            requete.addBindValue(valeur);
        fait = requete.exec();
    }
    if (!fait) {
        derniereErreur = surUneLigne(requete.lastError());
        return false;
    }
    if (lignes)
        *lignes = requete.numRowsAffected();
    return true;
}

bool Banque::lireCompte(const QString &compte, QString *empreinte, qint64 *solde, bool *trouve)
{
    QSqlQuery requete(base);
    requete.prepare(QStringLiteral("SELECT key_hash, balance FROM accounts WHERE account = ?"));
    requete.addBindValue(compte);
    if (!requete.exec()) {
        derniereErreur = surUneLigne(requete.lastError());
        return false;
    }
    *trouve = requete.next();
    if (*trouve) {
        *empreinte = requete.value(0).toString();
        *solde = requete.value(1).toLongLong();
    }
    return true;
}

bool Banque::commencer()
{
    // IMMEDIATE takes SQLite's write lock at once, so that two writers never
    // both read and then fail to upgrade.
    return executer(postgres ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"));
}

bool Banque::valider()
{
    if (executer(QStringLiteral("COMMIT")))
        return true;
    annuler();
    return false;
}

void Banque::annuler()
{
    const QString erreur = derniereErreur;
    executer(QStringLiteral("ROLLBACK"));
    derniereErreur = erreur;
}

Banque::Issue Banque::echec()
{
    annuler();
    return Issue::Erreur;
}

Banque::Issue Banque::identifier(const QString &compte, const QString &cle, qint64 *solde)
{
    QString empreinte;
    bool trouve = false;
    if (!lireCompte(compte, &empreinte, solde, &trouve))
        return Issue::Erreur;
    if (trouve)
        return verifierCle(cle, empreinte) ? Issue::Accepte : Issue::Refuse;

    int lignes = 0;
    if (!executer(QStringLiteral("INSERT INTO accounts (account, key_hash, balance, created_at) VALUES (?, ?, 0, ?)"
                                 " ON CONFLICT (account) DO NOTHING"),
                  {compte, empreinteCle(cle), maintenant()}, &lignes))
        return Issue::Erreur;
    if (lignes == 1) {
        *solde = 0;
        return Issue::Cree;
    }
    // Another server created it in the meantime.
    if (!lireCompte(compte, &empreinte, solde, &trouve) || !trouve)
        return Issue::Erreur;
    return verifierCle(cle, empreinte) ? Issue::Accepte : Issue::Refuse;
}

Banque::Issue Banque::existe(const QString &compte)
{
    QString empreinte;
    qint64 solde = 0;
    bool trouve = false;
    if (!lireCompte(compte, &empreinte, &solde, &trouve))
        return Issue::Erreur;
    return trouve ? Issue::Fait : Issue::CompteInconnu;
}

Banque::Issue Banque::crediter(const QString &compte, qint64 montant, qint64 *solde)
{
    if (montant < 1 || montant > soldeMax)
        return Issue::Plafond;
    if (!commencer())
        return Issue::Erreur;
    int lignes = 0;
    if (!executer(QStringLiteral("UPDATE accounts SET balance = balance + ? WHERE account = ? AND balance <= ?"),
                  {montant, compte, soldeMax - montant}, &lignes))
        return echec();
    if (lignes != 1) {
        annuler();
        const Issue presence = existe(compte);
        return presence == Issue::Fait ? Issue::Plafond : presence;
    }
    if (!executer(QStringLiteral("INSERT INTO credits (account, amount, created_at) VALUES (?, ?, ?)"),
                  {compte, montant, maintenant()}))
        return echec();
    QString empreinte;
    bool trouve = false;
    if (!lireCompte(compte, &empreinte, solde, &trouve) || !trouve)
        return echec();
    return valider() ? Issue::Fait : Issue::Erreur;
}

Banque::Issue Banque::transferer(const QString &source, const QString &destinataire, qint64 montant)
{
    if (!commencer())
        return Issue::Erreur;
    // Rows locked in one order: two opposite transfers on two servers never deadlock.
    if (postgres
        && !executer(QStringLiteral("SELECT account FROM accounts WHERE account IN (?, ?) ORDER BY account FOR UPDATE"),
                     {source, destinataire}))
        return echec();

    int lignes = 0;
    if (!executer(QStringLiteral("UPDATE accounts SET balance = balance - ? WHERE account = ? AND balance >= ?"),
                  {montant, source, montant}, &lignes))
        return echec();
    if (lignes != 1) {
        annuler();
        return Issue::SoldeInsuffisant;
    }
    if (!executer(QStringLiteral("UPDATE accounts SET balance = balance + ? WHERE account = ? AND balance <= ?"),
                  {montant, destinataire, soldeMax - montant}, &lignes))
        return echec();
    if (lignes != 1) {
        annuler();
        const Issue presence = existe(destinataire);
        return presence == Issue::Fait ? Issue::Plafond : presence;
    }
    if (!executer(QStringLiteral("INSERT INTO transfers (sender, recipient, amount, created_at) VALUES (?, ?, ?, ?)"),
                  {source, destinataire, montant, maintenant()}))
        return echec();
    return valider() ? Issue::Fait : Issue::Erreur;
}

bool Banque::comptes(QVector<Compte> *liste)
{
    QSqlQuery requete(base);
    if (!requete.exec(QStringLiteral("SELECT account, balance FROM accounts ORDER BY account"))) {
        derniereErreur = surUneLigne(requete.lastError());
        return false;
    }
    liste->clear();
    while (requete.next())
        liste->append(Compte{requete.value(0).toString(), requete.value(1).toLongLong()});
    return true;
}
