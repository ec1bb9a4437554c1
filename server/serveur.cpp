#include "server/serveur.h"

#include "server/banque.h"
#include "server/connexionclient.h"

#include <QTcpSocket>

namespace {

const QLatin1String erreurBase("i:The server cannot reach its database, please try again later");

// 1 s after the first wrong key, doubling up to a minute; forgotten after a quiet quarter of an hour.
qint64 delaiVerrou(int echecs)
{
    return qMin<qint64>(qint64(1000) << qMin(echecs - 1, 6), 60000);
}
constexpr qint64 oubliEchecsMs = 15 * 60 * 1000;

} // namespace

Serveur::Serveur(Banque &banque, int delaiMs, QObject *parent)
    : QObject(parent)
    , banque(banque)
    , delaiMs(delaiMs)
{
    horloge.start();
    connect(&ecoute, &QTcpServer::newConnection, this, &Serveur::nouvelleConnexion);
}

bool Serveur::ecouter(const QHostAddress &adresse, quint16 port)
{
    return ecoute.listen(adresse, port);
}

void Serveur::nouvelleConnexion()
{
    while (QTcpSocket *socket = ecoute.nextPendingConnection()) {
        auto *connexion = new ConnexionClient(socket, delaiMs, this);
        connect(connexion, &ConnexionClient::requeteRecue, this,
                [this, connexion](const Requete &requete) { traiter(connexion, requete); });
        connect(connexion, &ConnexionClient::fermee, this, [this, connexion] { oublier(connexion); });
    }
}

void Serveur::oublier(ConnexionClient *connexion)
{
    if (connexion->estAuthentifiee())
        connectes.remove(connexion->compteAuthentifie(), connexion);
}

void Serveur::traiter(ConnexionClient *connexion, const Requete &requete)
{
    switch (requete.genre) {
    case Requete::Genre::Identifiants:
        identifier(connexion, requete);
        return;
    case Requete::Genre::IdentifiantsMalformes:
        qInfo().noquote() << QStringLiteral("#%1 malformed credentials, refused").arg(connexion->numero());
        connexion->terminer(QStringLiteral("a:"));
        return;
    case Requete::Genre::Virement:
    case Requete::Genre::VirementMalforme:
        transferer(connexion, requete);
        return;
    case Requete::Genre::Rejet:
        qInfo().noquote() << QStringLiteral("#%1 request rejected: %2").arg(connexion->numero()).arg(requete.motif);
        connexion->terminer(QStringLiteral("i:") + requete.motif);
        return;
    }
}

void Serveur::identifier(ConnexionClient *connexion, const Requete &requete)
{
    const int numero = connexion->numero();
    if (connexion->estAuthentifiee()) {
        connexion->envoyer(QStringLiteral("i:You are already authenticated"));
        return;
    }
    const auto verrou = echecs.constFind(requete.compte);
    const qint64 maintenant = horloge.elapsed();
    if (verrou != echecs.constEnd() && maintenant < verrou->verrouJusqua) {
        qInfo().noquote() << QStringLiteral("#%1 account %2 refused: locked after wrong keys")
                                 .arg(numero)
                                 .arg(requete.compte);
        connexion->terminerApres(QStringLiteral("a:"), int(verrou->verrouJusqua - maintenant));
        return;
    }

    qint64 solde = 0;
    switch (banque.identifier(requete.compte, requete.cle, &solde)) {
    case Banque::Issue::Cree:
        qInfo().noquote() << QStringLiteral("#%1 account %2 created").arg(numero).arg(requete.compte);
        connexion->accepter(requete.compte, requete.cle);
        connectes.insert(requete.compte, connexion);
        connexion->envoyer(QStringLiteral("n:") + requete.compte);
        return;
    case Banque::Issue::Accepte:
        qInfo().noquote() << QStringLiteral("#%1 account %2 authenticated").arg(numero).arg(requete.compte);
        echecs.remove(requete.compte);
        connexion->accepter(requete.compte, requete.cle);
        connectes.insert(requete.compte, connexion);
        connexion->envoyer(QStringLiteral("m:") + QString::number(solde));
        return;
    case Banque::Issue::Refuse:
        refuserCle(connexion, requete.compte);
        return;
    default:
        qWarning().noquote() << QStringLiteral("#%1 database error: %2").arg(numero).arg(banque.erreur());
        connexion->terminer(erreurBase);
        return;
    }
}

void Serveur::refuserCle(ConnexionClient *connexion, const QString &compte)
{
    const qint64 maintenant = horloge.elapsed();
    Echecs &echec = echecs[compte];
    if (maintenant - echec.dernier > oubliEchecsMs)
        echec.nombre = 0;
    ++echec.nombre;
    echec.dernier = maintenant;
    const qint64 delai = delaiVerrou(echec.nombre);
    echec.verrouJusqua = maintenant + delai;
    qInfo().noquote() << QStringLiteral("#%1 account %2 refused: wrong key (%3 in a row)")
                             .arg(connexion->numero())
                             .arg(compte)
                             .arg(echec.nombre);
    connexion->terminerApres(QStringLiteral("a:"), int(delai));
}

void Serveur::transferer(ConnexionClient *connexion, const Requete &requete)
{
    if (!connexion->estAuthentifiee()) {
        connexion->envoyer(QStringLiteral("i:Send your credentials before making a transfer"));
        return;
    }
    if (requete.genre == Requete::Genre::VirementMalforme) {
        connexion->envoyer(QStringLiteral("i:") + requete.motif);
        return;
    }
    const QString &source = requete.compte;
    const QString &destinataire = requete.destinataire;
    if (source != connexion->compteAuthentifie() || !connexion->cleEgale(requete.cle)) {
        connexion->envoyer(QStringLiteral("i:The transfer must come from your own account with your own key"));
        return;
    }
    const Banque::Issue presence = banque.existe(destinataire);
    if (presence == Banque::Issue::CompteInconnu) {
        connexion->envoyer(QStringLiteral("i:The recipient account does not exist"));
        return;
    }
    if (presence != Banque::Issue::Fait) {
        qWarning().noquote() << QStringLiteral("#%1 database error: %2").arg(connexion->numero()).arg(banque.erreur());
        connexion->envoyer(erreurBase);
        return;
    }
    if (!connectes.contains(destinataire)) {
        connexion->envoyer(QStringLiteral("e:") + destinataire);
        return;
    }

    const QString montant = QString::number(requete.montant);
    switch (banque.transferer(source, destinataire, requete.montant)) {
    case Banque::Issue::Fait:
        break;
    case Banque::Issue::SoldeInsuffisant:
        connexion->envoyer(QStringLiteral("i:Your balance is insufficient for this transfer"));
        return;
    case Banque::Issue::Plafond:
        connexion->envoyer(QStringLiteral("i:The recipient's balance cannot hold this amount"));
        return;
    case Banque::Issue::CompteInconnu:
        connexion->envoyer(QStringLiteral("i:The recipient account does not exist"));
        return;
    default:
        qWarning().noquote() << QStringLiteral("#%1 transfer failed: %2").arg(connexion->numero()).arg(banque.erreur());
        connexion->envoyer(QStringLiteral("i:The transfer could not be recorded, please try again later"));
        return;
    }

    qInfo().noquote() << QStringLiteral("#%1 transfer of %2 from %3 to %4")
                             .arg(connexion->numero())
                             .arg(montant, source, destinataire);
    connexion->envoyer(QStringLiteral("s:%1:%2").arg(destinataire, montant));
    const auto recepteurs = connectes.values(destinataire);
    for (ConnexionClient *recepteur : recepteurs)
        recepteur->envoyer(QStringLiteral("r:%1:%2").arg(montant, source));
}
