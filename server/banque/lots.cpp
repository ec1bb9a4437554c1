#include "server/banque/banque.h"

#include "server/banque/lotpostgres.h"

#include <QSqlQuery>

// Transfers go in lots: on SQLite one statement after another in one
// transaction, on PostgreSQL one call of the lot function.

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
