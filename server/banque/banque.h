#ifndef BANQUE_H
#define BANQUE_H

// banque/: the accounts in their database: this one interface (Banque), a file
// per dialect where SQLite and PostgreSQL differ (sqlite, postgres, lotpostgres),
// statements and transactions, lots, the schema and its versions, loss and
// reopening (reprise), backup, key records. Uses reseau/ only.

#include "server/banque/adressebase.h"
#include "server/banque/etatbase.h"
#include "server/banque/pannes.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <functional>
#include <initializer_list>
#include <vector>

// The accounts and their journals, in SQLite or PostgreSQL. Every change of a
// balance is one transaction that also writes its journal row, so the sum of
// the balances always equals the sum of the credits.
// Its code by what it does: banque.cpp opening, loss and reopening;
// instructions.cpp statements and transactions; comptes.cpp accounts;
// lots.cpp lots of transfers.
class Banque
{
public:
    enum class Issue { Fait, Cree, Accepte, Refuse, CompteInconnu, SoldeInsuffisant, Plafond, Erreur };

    struct Compte
    {
        QString numero;
        qint64 solde;
    };

    Banque();
    ~Banque();
    Banque(const Banque &) = delete;
    Banque &operator=(const Banque &) = delete;

    // Opens the database that adresse names and creates its tables if needed.
    bool ouvrir(const QString &adresse);
    // Closes the connection, in the thread that used it (its statements are
    // freed with a word to the database): nothing but the destructor after.
    void clore();
    // The last failure, on one line.
    QString erreur() const { return derniereErreur; }
    // The last failure says that the database refuses to write (its disk is
    // full, or it is read-only): reads still work, and writes will again once
    // it has room.
    bool ecritureRefusee() const { return refusEcriture; }
    // What kind of failure the last one was, for the program's exit code.
    using Panne = PanneBase;
    Panne panne() const { return panneOuverture; }
    // Whether the database works, for the server's log.
    EtatBase &etat() { return etatBase; }

    // A connection found lost (PostgreSQL gone, the SQLite file moved away)
    // fails every request at once, without touching the database, until
    // rouvrir() succeeds; quandPerdue's action is called when it is found
    // lost. Reprise (server/banque/reprise.h) opens it again.
    bool estPerdue() const { return perdue; }
    void quandPerdue(std::function<void()> action) { surPerte = std::move(action); }
    void signalerPerte(const QString &raison);
    // Opens the lost connection again with its statements; false while the
    // database stays unusable. Never creates the database nor its tables.
    bool rouvrir();
    // The last commit failed with its connection: it may have been made.
    bool validationIncertaine() const { return incertaine; }
    // The three above, as a call left them, for the loop (server/banque/guichet.h).
    struct Constat
    {
        bool perdue = false;
        bool ecritureRefusee = false;
        bool validationIncertaine = false;
    };
    Constat constat() const { return Constat{perdue, refusEcriture, incertaine}; }

    // For the parts of the server that keep tables of their own on this
    // connection (the wrong keys' counters): their statements are prepared
    // each time, checked with estPerdue() first, and their failures shown
    // here, which finds a lost connection; false.
    QSqlDatabase connexion() const { return base; }
    bool estPostgres() const { return postgres; }
    bool signalerEchec(const QSqlError &erreur);

    // Fait with the account's key record and balance, CompteInconnu or Erreur.
    Issue chercher(const QString &compte, QString *empreinte, qint64 *solde);
    // Cree with balance 0; Fait when the account exists already (another
    // server made it in the meantime); Erreur.
    Issue creer(const QString &compte, const QString &empreinte);
    // chercher or creer with the key derivation done here, in the caller's
    // thread: a known account with the right key is Accepte, with another key
    // Refuse; an unknown account is created (Cree).
    Issue identifier(const QString &compte, const QString &cle, qint64 *solde);
    Issue existe(const QString &compte);  // Fait, CompteInconnu or Erreur
    Issue crediter(const QString &compte, qint64 montant, qint64 *solde);

    // Transfers go in lots: the transfers that arrive together share one
    // transaction, and one commit.
    // One transfer of a lot, and what became of it.
    struct Ordre
    {
        QString source;
        QString destinataire;
        qint64 montant;
        Issue issue;
    };
    // The whole lot, each transfer all or nothing and in the order given:
    // on PostgreSQL in one statement, committed on its own; on SQLite one
    // statement after another in one transaction. Every issue is Erreur when
    // the lot failed as a whole.
    void transfererLot(QVector<Ordre> &ordres);
    bool comptes(QVector<Compte> *liste);

private:
    // The statements of the hot paths, prepared once for the connection.
    enum Instruction {
        Debut,
        Validation,
        Annulation,
        LectureCompte,
        CreationCompte,
        Debit,
        Credit,
        JournalVirement,
        JournalCredit,
        LotPostgres,
        NombreInstructions
    };

    bool configurer(const QString &adresse);
    bool ouvrirConnexion(bool creation);
    void fermer();
    bool refuserPerdue();
    void perdre(const QString &raison);
    bool preparerSqlite();
    bool creerSchema();
    bool preparerInstructions();
    QString texte(Instruction instruction) const;
    bool executer(const QString &sql);
    bool executer(Instruction instruction, std::initializer_list<QVariant> valeurs = {}, int *lignes = nullptr);
    bool echouer(QSqlQuery &requete);
    bool echouer(const QSqlError &erreur);
    bool commencer();
    bool valider();
    void annuler();
    Issue echec();
    Issue creditRefuse(const QString &compte);
    void transfererParEtapes(QVector<Ordre> &ordres);
    // Fait, or a refusal (SoldeInsuffisant, Plafond, CompteInconnu) that leaves
    // the lot as it was; Erreur: the lot is to be abandoned.
    Issue transfererDansLot(const QString &source, const QString &destinataire, qint64 montant);
    bool transfererEnUneFois(QVector<Ordre> &ordres);
    // Now, as the journals' rows record it.
    static QString maintenant();

    QString nomConnexion;
    QSqlDatabase base;
    bool postgres = false;
    std::vector<QSqlQuery> instructions;
    QString horodatageLot;
    QString derniereErreur;
    bool refusEcriture = false;
    Panne panneOuverture = Panne::Injoignable;
    // Within a transaction, or writing outside one: a failure is a failed write.
    bool enEcriture = false;
    EtatBase etatBase;
    bool perdue = false;
    bool enReouverture = false;
    bool incertaine = false;
    std::function<void()> surPerte;
    // The PostgreSQL connection's socket, for the watchdog.
    int prise = -1;
};

// Balances are read by clients as signed 32-bit numbers.
constexpr qint64 soldeMax = 2147483647;

#endif
