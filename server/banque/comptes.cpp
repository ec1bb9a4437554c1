#include "server/banque/banque.h"

#include "server/banque/empreinte.h"

#include <QDateTime>
#include <QSqlQuery>

QString Banque::maintenant()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
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
