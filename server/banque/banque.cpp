#include "server/banque/banque.h"

#include "server/banque/lotpostgres.h"
#include "server/banque/reprise.h"
#include "server/banque/schema.h"
#include "server/banque/empreinte.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

namespace {

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

// The database refuses to write, but can still be read: a full disk, or a
// database made read-only.
bool refusDEcriture(const QSqlError &erreur, bool postgres)
{
    const QString code = erreur.nativeErrorCode();
    if (postgres) {
        // insufficient_resources (disk_full...), read_only_sql_transaction, io_error
        return code.startsWith(QLatin1String("53")) || code == QLatin1String("25006")
               || code == QLatin1String("58030");
    }
    switch (code.toInt() & 0xFF) {
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_READONLY:
        return true;
    default:
        return false;
    }
}

Banque::Panne panneDe(const QSqlError &erreur, bool postgres)
{
    const QString code = erreur.nativeErrorCode();
    if (postgres) {
        // too_many_connections, cannot_connect_now, lock_not_available, deadlock_detected
        if (code == QLatin1String("53300") || code == QLatin1String("57P03") || code == QLatin1String("55P03")
            || code == QLatin1String("40P01"))
            return Banque::Panne::Occupee;
    } else {
        const int primaire = code.toInt() & 0xFF;
        if (primaire == SQLITE_BUSY || primaire == SQLITE_LOCKED)
            return Banque::Panne::Occupee;
    }
    return refusDEcriture(erreur, postgres) ? Banque::Panne::Disque : Banque::Panne::Injoignable;
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
    // The statements first: a connection is removed only once nothing uses it.
    instructions.clear();
    if (base.isValid())
        base.close();
    base = QSqlDatabase();
    QSqlDatabase::removeDatabase(nomConnexion);
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
    if (!postgres && !preparerSqlite())
        return false;
    // Spares stderr the notices about tables that already exist.
    if (postgres && !executer(QStringLiteral("SET client_min_messages TO warning")))
        return false;
    if (!creation && !executer(QStringLiteral("SELECT 1 FROM accounts LIMIT 1")))
        return false;
    return creerSchema() && preparerInstructions();
}

bool Banque::rouvrir()
{
    // The statements first: a connection is closed only once nothing uses it.
    {
        const SilenceLiberation silence;
        instructions.clear();
    }
    base.close();
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
        base.close();
        perdue = true;
        return false;
    }
    etatBase.reussite(EtatBase::Operation::Connexion);
    return true;
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
    if (!garderJournal())
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

// The write-ahead log and its index stay on disk when the last connection
// closes. A server started again on a full disk then finds them: the index
// could not be created without room, and without it nothing can be read.
bool Banque::garderJournal()
{
    const QVariant poignee = base.driver()->handle();
    if (!poignee.isValid() || qstrcmp(poignee.typeName(), "sqlite3*") != 0) {
        derniereErreur = QStringLiteral("the SQLite driver gives no handle");
        return false;
    }
    sqlite3 *connexion = *static_cast<sqlite3 *const *>(poignee.constData());
    int garder = 1;
    if (sqlite3_file_control(connexion, "main", SQLITE_FCNTL_PERSIST_WAL, &garder) == SQLITE_OK)
        return true;
    derniereErreur = QString::fromUtf8(sqlite3_errmsg(connexion));
    return false;
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

QString Banque::texte(Instruction instruction) const
{
    switch (instruction) {
    case Debut:
        // IMMEDIATE takes SQLite's write lock at once, so that two writers
        // never both read and then fail to upgrade.
        return postgres ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE");
    case Validation:
        return QStringLiteral("COMMIT");
    case Annulation:
        return QStringLiteral("ROLLBACK");
    case LectureCompte:
        return QStringLiteral("SELECT key_hash, balance FROM accounts WHERE account = ?");
    case CreationCompte:
        return QStringLiteral("INSERT INTO accounts (account, key_hash, balance, created_at) VALUES (?, ?, 0, ?)"
                              " ON CONFLICT (account) DO NOTHING");
    case Debit:
        return QStringLiteral("UPDATE accounts SET balance = balance - ? WHERE account = ? AND balance >= ?");
    case Credit:
        return QStringLiteral("UPDATE accounts SET balance = balance + ? WHERE account = ? AND balance <= ?");
    case JournalVirement:
        return QStringLiteral("INSERT INTO transfers (sender, recipient, amount, created_at) VALUES (?, ?, ?, ?)");
    case JournalCredit:
        return QStringLiteral("INSERT INTO credits (account, amount, created_at) VALUES (?, ?, ?)");
    case LotPostgres:
        return appelLotPostgres();
    case NombreInstructions:
        break;
    }
    return QString();
}

bool Banque::preparerInstructions()
{
    instructions.clear();
    for (int i = 0; i < NombreInstructions; ++i) {
        instructions.emplace_back(base);
        // PostgreSQL prepares only queries, not BEGIN, COMMIT or ROLLBACK:
        // those are sent as text each time. SQLite has no lot function.
        if ((postgres && i <= Annulation) || (!postgres && i == LotPostgres))
            continue;
        if (!instructions.back().prepare(texte(Instruction(i))))
            return echouer(instructions.back());
    }
    return true;
}

bool Banque::executer(const QString &sql)
{
    if (perdue)
        return refuserPerdue();
    QSqlQuery requete(base);
    if (requete.exec(sql))
        return true;
    return echouer(requete);
}

bool Banque::executer(Instruction instruction, std::initializer_list<QVariant> valeurs, int *lignes)
{
    if (perdue)
        return refuserPerdue();
    QSqlQuery &requete = instructions[size_t(instruction)];
    int rang = 0;
    for (const QVariant &valeur : valeurs)
        requete.bindValue(rang++, valeur);
    const bool fait = postgres && instruction <= Annulation ? requete.exec(texte(instruction)) : requete.exec();
    if (!fait)
        return echouer(requete);
    if (lignes)
        *lignes = requete.numRowsAffected();
    // A statement left open would keep SQLite's read snapshot, and its lock.
    requete.finish();
    return true;
}

bool Banque::echouer(QSqlQuery &requete)
{
    echouer(requete.lastError());
    requete.finish();
    return false;
}

bool Banque::echouer(const QSqlError &erreur)
{
    derniereErreur = surUneLigne(erreur);
    panneOuverture = panneDe(erreur, postgres);
    if (connexionPerdue(erreur, base)) {
        perdre(derniereErreur);
        return false;
    }
    refusEcriture = enEcriture && refusDEcriture(erreur, postgres);
    etatBase.echec(enEcriture ? EtatBase::Operation::Ecriture : EtatBase::Operation::Lecture, derniereErreur);
    return false;
}

bool Banque::commencer()
{
    incertaine = false;
    enEcriture = true;
    if (executer(Debut))
        return true;
    enEcriture = false;
    return false;
}

bool Banque::valider()
{
    const bool dejaPerdue = perdue;
    if (!executer(Validation)) {
        incertaine = perdue && !dejaPerdue;
        annuler();
        return false;
    }
    enEcriture = false;
    refusEcriture = false;
    etatBase.reussite(EtatBase::Operation::Ecriture);
    return true;
}

// Keeps the failure that led here: a ROLLBACK may fail only because the
// transaction is already gone.
void Banque::annuler()
{
    if (!enEcriture)
        return;
    if (perdue) {
        // Closing the connection ends its transaction.
        enEcriture = false;
        return;
    }
    QSqlQuery &requete = instructions[size_t(Annulation)];
    if (postgres)
        requete.exec(texte(Annulation));
    else
        requete.exec();
    requete.finish();
    enEcriture = false;
}

Banque::Issue Banque::echec()
{
    annuler();
    return Issue::Erreur;
}

Banque::Issue Banque::chercher(const QString &compte, QString *empreinte, qint64 *solde)
{
    if (perdue) {
        refuserPerdue();
        return Issue::Erreur;
    }
    QSqlQuery &requete = instructions[LectureCompte];
    requete.bindValue(0, compte);
    if (!requete.exec()) {
        echouer(requete);
        return Issue::Erreur;
    }
    const bool trouve = requete.next();
    if (trouve) {
        *empreinte = requete.value(0).toString();
        *solde = requete.value(1).toLongLong();
    }
    requete.finish();
    if (!enEcriture)
        etatBase.reussite(EtatBase::Operation::Lecture);
    return trouve ? Issue::Fait : Issue::CompteInconnu;
}

Banque::Issue Banque::creer(const QString &compte, const QString &empreinte)
{
    int lignes = 0;
    enEcriture = true;
    const bool fait = executer(CreationCompte, {compte, empreinte, maintenant()}, &lignes);
    enEcriture = false;
    if (!fait)
        return Issue::Erreur;
    refusEcriture = false;
    etatBase.reussite(EtatBase::Operation::Ecriture);
    return lignes == 1 ? Issue::Cree : Issue::Fait;
}

Banque::Issue Banque::identifier(const QString &compte, const QString &cle, qint64 *solde)
{
    QString empreinte;
    Issue issue = chercher(compte, &empreinte, solde);
    if (issue == Issue::CompteInconnu) {
        issue = creer(compte, empreinteCle(cle));
        if (issue == Issue::Cree) {
            *solde = 0;
            return issue;
        }
        if (issue == Issue::Fait)
            issue = chercher(compte, &empreinte, solde);
    }
    if (issue != Issue::Fait)
        return Issue::Erreur;
    return verifierCle(cle, empreinte) ? Issue::Accepte : Issue::Refuse;
}

Banque::Issue Banque::existe(const QString &compte)
{
    QString empreinte;
    qint64 solde = 0;
    return chercher(compte, &empreinte, &solde);
}

// The credit changed no row: the account is missing, or its balance would
// pass the ceiling. Asked within the transaction, before it is undone.
Banque::Issue Banque::creditRefuse(const QString &compte)
{
    const Issue presence = existe(compte);
    annuler();
    return presence == Issue::Fait ? Issue::Plafond : presence;
}

Banque::Issue Banque::crediter(const QString &compte, qint64 montant, qint64 *solde)
{
    if (montant < 1 || montant > soldeMax)
        return Issue::Plafond;
    if (!commencer())
        return Issue::Erreur;
    int lignes = 0;
    if (!executer(Credit, {montant, compte, soldeMax - montant}, &lignes))
        return echec();
    if (lignes != 1)
        return creditRefuse(compte);
    if (!executer(JournalCredit, {compte, montant, maintenant()}))
        return echec();
    QString empreinte;
    if (chercher(compte, &empreinte, solde) != Issue::Fait)
        return echec();
    return valider() ? Issue::Fait : Issue::Erreur;
}

Banque::Issue Banque::transfererDansLot(const QString &source, const QString &destinataire, qint64 montant)
{
    int lignes = 0;
    if (!executer(Debit, {montant, source, montant}, &lignes))
        return Issue::Erreur;
    if (lignes != 1)
        return Issue::SoldeInsuffisant;
    if (!executer(Credit, {montant, destinataire, soldeMax - montant}, &lignes))
        return Issue::Erreur;
    if (lignes != 1) {
        // The missing account or the ceiling refuses it: the debit is given
        // back and the lot goes on without this transfer.
        if (!executer(Credit, {montant, source, soldeMax - montant}, &lignes) || lignes != 1)
            return Issue::Erreur;
        const Issue presence = existe(destinataire);
        return presence == Issue::Fait ? Issue::Plafond : presence;
    }
    if (!executer(JournalVirement, {source, destinataire, montant, horodatageLot}))
        return Issue::Erreur;
    return Issue::Fait;
}

void Banque::transfererLot(QVector<Ordre> &ordres)
{
    if (!postgres) {
        transfererParEtapes(ordres);
        return;
    }
    if (transfererEnUneFois(ordres))
        return;
    for (Ordre &ordre : ordres)
        ordre.issue = Issue::Erreur;
}

// BEGIN IMMEDIATE locks the whole database: nothing else to lock.
void Banque::transfererParEtapes(QVector<Ordre> &ordres)
{
    // One time for the lot: its transfers are committed at the same moment.
    horodatageLot = maintenant();
    bool fait = commencer();
    for (Ordre &ordre : ordres) {
        if (!fait)
            break;
        ordre.issue = transfererDansLot(ordre.source, ordre.destinataire, ordre.montant);
        fait = ordre.issue != Issue::Erreur;
    }
    if (fait)
        fait = valider();
    else
        annuler();
    for (Ordre &ordre : ordres) {
        if (!fait)
            ordre.issue = Issue::Erreur;
    }
}

// One round trip: the statement is its own transaction, so that its answer
// comes only once the lot is committed, or not at all.
bool Banque::transfererEnUneFois(QVector<Ordre> &ordres)
{
    QStringList sources, destinataires, montants;
    for (const Ordre &ordre : qAsConst(ordres)) {
        sources << ordre.source;
        destinataires << ordre.destinataire;
        montants << QString::number(ordre.montant);
    }
    incertaine = false;
    if (perdue)
        return refuserPerdue();
    QSqlQuery &requete = instructions[LotPostgres];
    requete.bindValue(0, tableauPostgres(sources));
    requete.bindValue(1, tableauPostgres(destinataires));
    requete.bindValue(2, tableauPostgres(montants));
    requete.bindValue(3, maintenant());
    enEcriture = true;
    QVector<int> codes;
    if (!requete.exec() || !requete.next()) {
        // The statement commits by itself: cut off while it ran, the lot may
        // have been committed without the answer coming back.
        const bool dejaPerdue = perdue;
        echouer(requete);
        incertaine = perdue && !dejaPerdue;
        enEcriture = false;
        return false;
    }
    const bool lu = lireIssuesLot(requete.value(0).toString(), ordres.size(), &codes);
    requete.finish();
    enEcriture = false;
    if (!lu) {
        derniereErreur = QStringLiteral("the database gave no outcome for each transfer of a lot");
        etatBase.echec(EtatBase::Operation::Ecriture, derniereErreur);
        return false;
    }
    refusEcriture = false;
    etatBase.reussite(EtatBase::Operation::Ecriture);
    const Issue issues[] = {Issue::Fait, Issue::SoldeInsuffisant, Issue::Plafond, Issue::CompteInconnu};
    for (int i = 0; i < ordres.size(); ++i)
        ordres[i].issue = issues[codes[i]];
    return true;
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
