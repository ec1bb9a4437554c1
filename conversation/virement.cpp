#include "window/fenclient.h"

#include "conversation/reponse.h"

#include <QMessageBox>
#include <QTcpSocket>

void FenClient::on_boutonEnvoiArgent_clicked()
{
    const QString destinataireSaisi = destinataire->text();
    const QString question = QStringLiteral("Would you like to make a transfer of ") + montant->text()
        + QStringLiteral(" to ") + destinataireSaisi + QStringLiteral("?");
    if (QMessageBox::question(this, QStringLiteral("CONFIRMATION"), question,
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton)
        == QMessageBox::No)
        return;

    // Before any balance the label holds none: the balance check would wrongly
    // call it insufficient. Checked after the answer, as the balance may arrive meanwhile.
    if (!soldeRecu) {
        journaliserPasConnecte();
        return;
    }

    // Read after the answer: a balance that arrived while the question was open counts.
    const int somme = montant->value();
    const int soldeActuel = lireNombre(solde->text());
    if (somme > soldeActuel) {
        QMessageBox::critical(this, QStringLiteral("Error"), QStringLiteral("Your balance is insufficient"));
        return;
    }
    if (compte->text() == destinataire->text() || destinataire->text().isEmpty()) {
        QMessageBox::critical(this, QStringLiteral("Error"), QStringLiteral("Check the recipient"));
        return;
    }
    if (somme == 0) {
        QMessageBox::critical(this, QStringLiteral("Error"), QStringLiteral("you must choose at least one"));
        return;
    }

    // A request made without a connection would be lost without a word.
    if (socket->state() != QAbstractSocket::ConnectedState) {
        journaliserPasConnecte();
        return;
    }

    // The amount goes out in ASCII digits whatever the locale shows.
    envoyerMessage(QStringLiteral("v:") + compte->text() + QLatin1Char(':') + destinataire->text() + QLatin1Char(':')
                   + QString::number(somme) + QLatin1Char(':') + cle);
}

void FenClient::journaliserPasConnecte()
{
    journaliserAvis(tr("<em>ERROR : the transfer was not sent: you are not connected to the server.</em>"));
}
