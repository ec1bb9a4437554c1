#include "window/fenclient.h"

#include "identity/cle.h"
#include "identity/compte.h"
#include "window/chargementhistorique.h"
#include "window/clavier.h"
#include "window/journal.h"

#include <QMessageBox>
#include <QTcpSocket>
#include <QTimer>

FenClient::FenClient()
{
    setupUi(this);
    solde->setTextFormat(Qt::PlainText); // the balance is whatever text the server sent
    // The log is read-only: an undo history would hold on to every line ever shown.
    listeMessages->setUndoRedoEnabled(false);
    entreePresseLeBouton(serveurIP, boutonConnexion);
    entreePresseLeBouton(serveurPort, boutonConnexion);
    entreePresseLeBouton(destinataire, boutonEnvoiArgent);
    entreePresseLeBouton(montant, boutonEnvoiArgent);
    texteCopiableAuClavier(compte); // the number to give to whoever pays
    serveurIP->setFocus(); // the first thing to do is to connect; the log only shows

    socket = new QTcpSocket(this);
    socket->setReadBufferSize(tailleLectureReponses);
    connect(socket, &QTcpSocket::readyRead, this, &FenClient::donneesRecues);
    connect(socket, &QTcpSocket::connected, this, &FenClient::connecte);
    connect(socket, &QTcpSocket::disconnected, this, &FenClient::deconnecte);
    connect(socket, &QTcpSocket::errorOccurred, this, &FenClient::erreurSocket);
    delaiConnexion = new QTimer(this);
    delaiConnexion->setSingleShot(true);
    delaiConnexion->setInterval(delaiConnexionParDefaut);
    connect(delaiConnexion, &QTimer::timeout, this, &FenClient::abandonnerTentative);

    tailleMessage = 0;
    const QString numeroCompte = identifiantCompte();
    compte->setText(numeroCompte);
    if (numeroCompte.isEmpty())
        return; // the application is quitting; there is no account to load

    QString problemeCle;
    cle = chargerCle(numeroCompte, &problemeCle);
    if (!problemeCle.isEmpty())
        QMessageBox::critical(this, QStringLiteral("Error"), problemeCle);

    // The records hold what servers sent: they are shown as the text they are,
    // a piece at a time once the window is up.
    new ChargementHistorique(historique, numeroCompte);
}

FenClient::~FenClient()
{
    // The socket dies after the widgets; its last notifications must not reach
    // slots that would touch them.
    socket->disconnect(this);
}

bool FenClient::demarrageAbandonne() const
{
    return compte->text().isEmpty();
}

void FenClient::on_boutonEnvoyer_clicked()
{
}

void FenClient::on_message_returnPressed()
{
}

// Connection events are the client's own notices, shown emphasised.
void FenClient::journaliserAvis(const QString &ligne)
{
    listeMessages->append(ligne);
    rognerJournal(listeMessages);
}

// Lines that carry what a server sent are shown as the literal text they are.
void FenClient::journaliserTexte(const QString &ligne)
{
    ajouterParagrapheTexte(listeMessages, ligne);
}
