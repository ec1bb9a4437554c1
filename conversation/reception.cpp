#include "window/fenclient.h"

#include "wire/codec.h"
#include "conversation/reponse.h"
#include "wire/trame.h"
#include "history/historique.h"
#include "window/journal.h"

#include <QMessageBox>
#include <QTcpSocket>
#include <QTimer>

void FenClient::donneesRecues()
{
    // Every frame already here is handled now: the socket announces new data
    // only when more arrives, which may be never.
    LotJournal lot(listeMessages);
    QByteArray corps;
    while (prendreCorpsTrame(*socket, tailleMessage, corps))
        traiterReponse(debrouiller(lireTexteTrame(corps)), lot);
    // A frame longer than the usual intake must still fit whole once begun.
    // The limit is set anew even when unchanged: a socket whose buffer filled
    // up (while the account box was open) reads on only once its buffer is
    // read empty or its limit is set, and the rest of a frame may stay in it.
    socket->setReadBufferSize(0);
    socket->setReadBufferSize(qMax<qint64>(tailleLectureReponses, tailleMessage));
}

void FenClient::traiterReponse(const QString &reponse, LotJournal &lot)
{
    const EffetReponse effet = analyserReponse(reponse, solde->text(), compte->text());
    if (effet.genre == EffetReponse::Genre::Ignoree)
        return;
    using Genre = EffetReponse::Genre;
    // The answer to the credentials ends the login's time-out; before the
    // account box, which may stay open for long.
    if (effet.genre == Genre::Solde || effet.genre == Genre::NouveauCompte || effet.genre == Genre::Refus)
        delaiConnexion->stop();
    if (effet.genre == Genre::Solde || effet.genre == Genre::NouveauCompte)
        soldeRecu = true;

    if (effet.ligneEnTexteRiche)
        ajouterParagrapheMisEnForme(listeMessages, effet.ligne);
    else
        journaliserTexte(effet.ligne);
    if (effet.changeSolde)
        solde->setText(effet.solde);

    if (effet.genre == EffetReponse::Genre::Refus) {
        socket->abort();
        return;
    }
    if (effet.genre == EffetReponse::Genre::NouveauCompte) {
        lot.montrer(); // the box runs the event loop: the log must be up to date behind it
        afficherCompteCree(effet.fichierCle);
    }
    if (!effet.corpsHistorique.isEmpty())
        ajouterHistorique(effet.compteHistorique, effet.corpsHistorique);
}

void FenClient::afficherCompteCree(const QString &fichierCle)
{
    QMessageBox boite(QMessageBox::Information, QStringLiteral("To remember absolutely"),
                      QStringLiteral("A file ") + fichierCle
                          + QStringLiteral(" has been created. Above all, do not modify it and do not erase "
                                           "it; otherwise you will not be able to authenticate yourself"),
                      QMessageBox::Ok, this);
    boite.setTextFormat(Qt::PlainText); // the name comes from the server
    boite.exec();
}
