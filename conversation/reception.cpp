#include "window/fenclient.h"

#include "codec/codec.h"
#include "conversation/reponse.h"
#include "conversation/trame.h"
#include "history/historique.h"

#include <QMessageBox>
#include <QTcpSocket>

void FenClient::donneesRecues()
{
    // Every frame already here is handled now: the socket announces new data
    // only when more arrives, which may be never.
    QByteArray corps;
    while (prendreCorpsTrame(*socket, tailleMessage, corps))
        traiterReponse(debrouiller(lireTexteTrame(corps)));
}

void FenClient::traiterReponse(const QString &reponse)
{
    const EffetReponse effet = analyserReponse(reponse, solde->text(), compte->text());
    if (effet.genre == EffetReponse::Genre::Ignoree)
        return;

    if (effet.ligneEnTexteRiche)
        listeMessages->append(effet.ligne);
    else
        journaliserTexte(effet.ligne);
    if (effet.changeSolde)
        solde->setText(effet.solde);

    if (effet.genre == EffetReponse::Genre::Refus) {
        socket->abort();
        return;
    }
    if (effet.genre == EffetReponse::Genre::NouveauCompte)
        afficherCompteCree(effet.compteCree);
    if (!effet.corpsHistorique.isEmpty())
        ajouterHistorique(effet.compteHistorique, effet.corpsHistorique);
}

void FenClient::afficherCompteCree(const QString &compteCree)
{
    QMessageBox boite(QMessageBox::Information, QStringLiteral("To remember absolutely"),
                      QStringLiteral("A file ") + compteCree
                          + QStringLiteral(".key has been created. Above all, do not modify it and do not erase "
                                           "it; otherwise you will not be able to authenticate yourself"),
                      QMessageBox::Ok, this);
    boite.setTextFormat(Qt::PlainText); // the account number comes from the server
    boite.exec();
}
