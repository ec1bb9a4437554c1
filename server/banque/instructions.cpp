#include "server/banque/banque.h"

#include "server/banque/lotpostgres.h"

#include <QSqlQuery>

// The statements of the hot paths, prepared once for the connection, and the
// transactions around them.

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
