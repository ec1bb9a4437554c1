#include "server/programme/commandes.h"

#include "server/banque/banque.h"
#include "server/banque/sauvegarde.h"
#include "server/programme/sortie.h"
#include "server/protocole/requete.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <sysexits.h>

namespace {

// The default database lives in the user's data directory, private to its owner.
void preparerDossierParDefaut(const QString &base)
{
    const QString dossier = QFileInfo(base).absolutePath();
    if (QFileInfo::exists(dossier))
        return;
    QDir().mkpath(dossier);
    QFile::setPermissions(dossier, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace

int ouvrirBase(Banque &banque, const Options &options)
{
    if (options.base == adresseBaseParDefaut())
        preparerDossierParDefaut(options.base);
    if (banque.ouvrir(options.base))
        return 0;
    return echouer(QStringLiteral("cannot use the database: %1").arg(banque.erreur()), codeSortie(banque.panne()));
}

namespace {

int crediter(const Options &options, const QString &compteSaisi, const QString &montantSaisi)
{
    const QString compte = compteSaisi.toUpper();
    if (!estNumeroCompte(compte))
        return echouer(QStringLiteral("%1 is not an account number (12 hexadecimal digits)").arg(compteSaisi),
                       EX_DATAERR);
    bool nombre = false;
    const qint64 montant = montantSaisi.toLongLong(&nombre);
    if (!nombre || montant < 1 || montant > soldeMax || !montantSaisi.at(0).isDigit())
        return echouer(QStringLiteral("the amount must be a whole number from 1 to %1").arg(soldeMax), EX_DATAERR);

    Banque banque;
    if (const int code = ouvrirBase(banque, options))
        return code;
    qint64 solde = 0;
    switch (banque.crediter(compte, montant, &solde)) {
    case Banque::Issue::Fait:
        // The same line as the server's events, for whoever collects this command's output.
        qInfo().noquote() << QStringLiteral("credit from local account %1 amount %2 balance %3")
                                 .arg(compte)
                                 .arg(montant)
                                 .arg(solde);
        std::printf("credited %lld to %s, balance %lld\n", montant, qPrintable(compte), solde);
        return EX_OK;
    case Banque::Issue::CompteInconnu:
        return echouer(QStringLiteral("no account %1").arg(compte), EX_DATAERR);
    case Banque::Issue::Plafond:
        return echouer(QStringLiteral("the balance of %1 would pass %2, nothing credited").arg(compte).arg(soldeMax),
                       EX_DATAERR);
    default:
        return echouer(QStringLiteral("the credit failed: %1").arg(banque.erreur()), codeSortie(banque.panne()));
    }
}

int listerComptes(const Options &options)
{
    Banque banque;
    if (const int code = ouvrirBase(banque, options))
        return code;
    QVector<Banque::Compte> comptes;
    if (!banque.comptes(&comptes))
        return echouer(QStringLiteral("cannot read the accounts: %1").arg(banque.erreur()), EX_UNAVAILABLE);
    std::printf("%-12s %10s\n", "ACCOUNT", "BALANCE");
    for (const Banque::Compte &compte : qAsConst(comptes))
        std::printf("%-12s %10lld\n", qPrintable(compte.numero), compte.solde);
    return EX_OK;
}

int sauvegarder(const Options &options, const QString &fichier)
{
    QString erreur;
    const QString nom = QStringLiteral("qovi-sauvegarde");
    QString chemin;
    bool postgres = false;
    {
        const QSqlDatabase base = connexionBase(options.base, nom, &erreur);
        postgres = base.driverName() == QLatin1String("QPSQL");
        chemin = base.databaseName();
    }
    QSqlDatabase::removeDatabase(nom);
    if (!erreur.isEmpty())
        return echouer(erreur, EX_USAGE);
    if (postgres)
        return echouer(QStringLiteral("backup copies SQLite databases; for PostgreSQL use pg_dump "
                                      "(pg_dump -Fc -f FILE DATABASE, restored with pg_restore)"),
                       EX_USAGE);
    switch (sauvegarderSqlite(chemin, fichier, &erreur)) {
    case IssueSauvegarde::Faite:
        std::printf("copied %s to %s\n", qPrintable(chemin), qPrintable(fichier));
        return EX_OK;
    case IssueSauvegarde::CibleExistante:
    case IssueSauvegarde::CibleImpossible:
        return echouer(erreur, EX_CANTCREAT);
    case IssueSauvegarde::SourceInjoignable:
        return echouer(erreur, EX_UNAVAILABLE);
    case IssueSauvegarde::SourceOccupee:
        return echouer(erreur, EX_TEMPFAIL);
    case IssueSauvegarde::EcritureImpossible:
        break;
    }
    return echouer(erreur, EX_IOERR);
}

} // namespace

int commander(const Options &options, const QStringList &arguments)
{
    const QString commande = arguments.value(0);
    const int nombre = arguments.size() - 1;
    if (commande == QLatin1String("credit")) {
        if (nombre != 2)
            return echouer(QStringLiteral("credit needs ACCOUNT and AMOUNT (see --help)"), EX_USAGE);
        return crediter(options, arguments[1], arguments[2]);
    }
    if (commande == QLatin1String("accounts")) {
        if (nombre != 0)
            return echouer(QStringLiteral("accounts takes no arguments (see --help)"), EX_USAGE);
        return listerComptes(options);
    }
    if (commande == QLatin1String("backup")) {
        if (nombre != 1)
            return echouer(QStringLiteral("backup needs FILE, the new file for the copy (see --help)"), EX_USAGE);
        return sauvegarder(options, arguments[1]);
    }
    return echouer(QStringLiteral("unknown command \"%1\": the commands are credit, accounts and backup (see --help)")
                       .arg(commande),
                   EX_USAGE);
}
