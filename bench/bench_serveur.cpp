// The server under load, on loopback: transfers per second and their latency
// with 1, 10 and 100 clients sending one transfer after another, against the
// rate of single-row durable commits on the same SQLite settings (WAL,
// synchronous=FULL) in the same folder, and the server's transfer transaction
// alone, in this process, against the same; how long one client waits for a
// transfer while 100 new accounts log in at once; then how many idle
// authenticated connections one server holds, and the memory each costs it.
//
//   bench_serveur SERVER [SECONDS [CONNECTIONS...]]   (defaults: 3 s; 1000 5000)
//
// Each connection authenticates (a key derivation on the server), so 5000
// take minutes.

#include "tableau.h"

#include "codec/codec.h"
#include "conversation/trame.h"
#include "server/banque.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

namespace {

const QString cle = QStringLiteral("12345678901234567890");

QString numeroCompte(int i)
{
    return QStringLiteral("%1").arg(i, 12, 16, QLatin1Char('0')).toUpper();
}

// One client connection: sends requests, hands each reply to surReponse.
class Client : public QObject
{
public:
    explicit Client(quint16 port)
    {
        connect(&socket, &QTcpSocket::readyRead, this, &Client::lire);
        socket.connectToHost(QHostAddress::LocalHost, port);
    }

    void envoyer(const QString &requete)
    {
        socket.write(construireTrame(brouiller(requete + QStringLiteral(":vers101"))));
    }

    std::function<void(const QString &)> surReponse;
    QTcpSocket socket;

private:
    void lire()
    {
        QByteArray corps;
        while (prendreCorpsTrame(socket, taille, corps)) {
            const QString reponse = debrouiller(lireTexteTrame(corps));
            if (surReponse)
                surReponse(reponse);
        }
    }

    quint16 taille = 0;
};

// Runs the event loop until fini() holds or secondes have passed.
bool attendre(const std::function<bool()> &fini, int secondes)
{
    QElapsedTimer chrono;
    chrono.start();
    while (!fini()) {
        if (chrono.elapsed() > secondes * 1000)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// Connects n clients as compte(i) and waits until each is authenticated.
std::vector<std::unique_ptr<Client>> connecter(quint16 port, int n, const std::function<QString(int)> &compte)
{
    std::vector<std::unique_ptr<Client>> clients;
    int acceptes = 0;
    for (int i = 0; i < n; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        Client *client = clients.back().get();
        const QString numero = compte(i);
        QObject::connect(&client->socket, &QTcpSocket::connected, client,
                         [client, numero] { client->envoyer(QStringLiteral("c:") + numero + QLatin1Char(':') + cle); });
        client->surReponse = [&acceptes, client](const QString &reponse) {
            if (reponse.startsWith(QLatin1String("m:")) || reponse.startsWith(QLatin1String("n:")))
                ++acceptes;
            client->surReponse = nullptr;
        };
    }
    if (!attendre([&] { return acceptes == n; }, 600))
        clients.clear();
    return clients;
}

double centile(std::vector<double> valeurs, double p)
{
    if (valeurs.empty())
        return 0;
    std::sort(valeurs.begin(), valeurs.end());
    return valeurs[std::min(valeurs.size() - 1, size_t(p * double(valeurs.size())))];
}

struct Charge
{
    double parSeconde = 0;
    double p50 = 0, p99 = 0, max = 0;
    int echecs = 0;
};

// k clients each send a transfer of 1 to the next account, wait for its "s:",
// and send the next, for secondes; the last account only receives.
Charge chargerServeur(quint16 port, int k, int secondes)
{
    Charge charge;
    auto clients = connecter(port, k + 1, numeroCompte);
    if (clients.empty())
        return charge;
    std::vector<double> latences;
    std::vector<QElapsedTimer> envoi(static_cast<size_t>(k));
    QElapsedTimer duree;
    bool fini = false;
    int enCours = 0;
    auto envoyer = [&](int i) {
        envoi[size_t(i)].start();
        ++enCours;
        clients[size_t(i)]->envoyer(QStringLiteral("v:%1:%2:1:%3").arg(numeroCompte(i), numeroCompte(i + 1), cle));
    };
    for (int i = 0; i < k; ++i) {
        clients[size_t(i)]->surReponse = [&, i](const QString &reponse) {
            if (reponse.startsWith(QLatin1String("r:")))
                return;
            --enCours;
            if (reponse.startsWith(QLatin1String("s:")))
                latences.push_back(envoi[size_t(i)].nsecsElapsed() / 1e6);
            else
                ++charge.echecs;
            if (!fini)
                envoyer(i);
        };
    }
    duree.start();
    for (int i = 0; i < k; ++i)
        envoyer(i);
    QTimer::singleShot(secondes * 1000, [&] { fini = true; });
    attendre([&] { return fini && enCours == 0; }, secondes + 120);
    charge.parSeconde = latences.size() / (duree.nsecsElapsed() / 1e9);
    charge.p50 = centile(latences, 0.50);
    charge.p99 = centile(latences, 0.99);
    charge.max = latences.empty() ? 0 : *std::max_element(latences.begin(), latences.end());
    return charge;
}

// One client sends transfers one after another while n new accounts log in
// at once (a key derivation each on the server): the longest wait for an
// answer, and how long the logins took.
struct Tempete
{
    double attenteMax = 0;
    double identificationsMs = 0;
    int virements = 0;
};

Tempete transfererPendantIdentifications(quint16 port, int n)
{
    Tempete tempete;
    auto paire = connecter(port, 2, numeroCompte);
    if (paire.empty())
        return tempete;
    std::vector<double> latences;
    QElapsedTimer envoi;
    bool fini = false;
    int enCours = 0;
    auto envoyer = [&] {
        envoi.start();
        ++enCours;
        paire[0]->envoyer(QStringLiteral("v:%1:%2:1:%3").arg(numeroCompte(0), numeroCompte(1), cle));
    };
    paire[0]->surReponse = [&](const QString &) {
        --enCours;
        latences.push_back(envoi.nsecsElapsed() / 1e6);
        if (!fini)
            envoyer();
    };

    std::vector<std::unique_ptr<Client>> foule;
    int identifies = 0;
    QElapsedTimer chrono;
    chrono.start();
    for (int i = 0; i < n; ++i) {
        foule.push_back(std::make_unique<Client>(port));
        Client *client = foule.back().get();
        const QString numero = numeroCompte(0x100000 + i);
        QObject::connect(&client->socket, &QTcpSocket::connected, client,
                         [client, numero] { client->envoyer(QStringLiteral("c:") + numero + QLatin1Char(':') + cle); });
        client->surReponse = [&identifies](const QString &) { ++identifies; };
    }
    envoyer();
    attendre([&] { return identifies == n; }, 600);
    tempete.identificationsMs = chrono.nsecsElapsed() / 1e6;
    fini = true;
    attendre([&] { return enCours == 0; }, 120);
    tempete.attenteMax = latences.empty() ? 0 : *std::max_element(latences.begin(), latences.end());
    tempete.virements = int(latences.size());
    return tempete;
}

// Single-row commits, each its own transaction, with the server's SQLite settings.
double commitsParSeconde(const QString &chemin, int secondes)
{
    double resultat = 0;
    {
        QSqlDatabase base = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("commits"));
        base.setDatabaseName(chemin);
        if (!base.open())
            return 0;
        QSqlQuery requete(base);
        requete.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        requete.exec(QStringLiteral("PRAGMA synchronous=FULL"));
        requete.exec(QStringLiteral("CREATE TABLE rows (id INTEGER PRIMARY KEY, amount INTEGER)"));
        requete.prepare(QStringLiteral("INSERT INTO rows (amount) VALUES (?)"));
        QElapsedTimer chrono;
        chrono.start();
        int n = 0;
        while (chrono.elapsed() < secondes * 1000) {
            base.transaction();
            requete.addBindValue(n);
            requete.exec();
            base.commit();
            ++n;
        }
        resultat = n / (chrono.nsecsElapsed() / 1e9);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("commits"));
    return resultat;
}

// The server's transfer transaction, made here with no network, one per commit.
double transactionsParSeconde(const QString &chemin, int secondes)
{
    Banque banque;
    qint64 solde = 0;
    if (!banque.ouvrir(chemin) || banque.identifier(numeroCompte(0), cle, &solde) != Banque::Issue::Cree
        || banque.identifier(numeroCompte(1), cle, &solde) != Banque::Issue::Cree
        || banque.crediter(numeroCompte(0), 1000000000, &solde) != Banque::Issue::Fait)
        return 0;
    QElapsedTimer chrono;
    chrono.start();
    int n = 0;
    while (chrono.elapsed() < secondes * 1000) {
        if (!banque.commencerLot({numeroCompte(0), numeroCompte(1)})
            || banque.transfererDansLot(numeroCompte(0), numeroCompte(1), 1) != Banque::Issue::Fait
            || !banque.validerLot())
            return 0;
        ++n;
    }
    return n / (chrono.nsecsElapsed() / 1e9);
}

long rssKo(qint64 pid)
{
    QFile statut(QStringLiteral("/proc/%1/status").arg(pid));
    if (!statut.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &ligne : statut.readAll().split('\n')) {
        if (ligne.startsWith("VmRSS:"))
            return ligne.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() < 2) {
        fprintf(stderr, "usage: bench_serveur SERVER [SECONDS [CONNECTIONS...]]\n");
        return 2;
    }
    const QString serveur = arguments.at(1);
    const int secondes = arguments.size() > 2 ? arguments.at(2).toInt() : 3;
    QList<int> paliers = {1000, 5000};
    if (arguments.size() > 3) {
        paliers.clear();
        for (int i = 3; i < arguments.size(); ++i)
            paliers << arguments.at(i).toInt();
    }

    // Each idle connection takes a descriptor here and one in the server.
    rlimit limite{};
    getrlimit(RLIMIT_NOFILE, &limite);
    limite.rlim_cur = limite.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limite);

    QTemporaryDir dossier(QDir::current().filePath(QStringLiteral("serveur-XXXXXX")));
    const QString base = dossier.filePath(QStringLiteral("bank.sqlite"));
    {
        // 101 accounts with money enough for any run.
        Banque banque;
        if (!banque.ouvrir(base)) {
            fprintf(stderr, "bench_serveur: %s\n", qPrintable(banque.erreur()));
            return 1;
        }
        qint64 solde = 0;
        for (int i = 0; i <= 100; ++i) {
            banque.identifier(numeroCompte(i), cle, &solde);
            banque.crediter(numeroCompte(i), 1000000000, &solde);
        }
    }

    QProcess processus;
    processus.setStandardErrorFile(QProcess::nullDevice());
    processus.start(serveur, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--database"), base,
                              QStringLiteral("--idle-timeout"), QStringLiteral("3600")});
    QByteArray annonce;
    if (!attendre([&] { annonce += processus.readAllStandardOutput(); return annonce.contains('\n'); }, 30)) {
        fprintf(stderr, "bench_serveur: the server did not start\n");
        return 1;
    }
    const quint16 port = quint16(annonce.mid(annonce.lastIndexOf(':') + 1).trimmed().toUInt());

    const std::string baseCommits = "single-row durable commits (SQLite, WAL, synchronous=FULL)";
    {
        const double commits = commitsParSeconde(dossier.filePath(QStringLiteral("commits-0.sqlite")), secondes);
        const double transactions =
            transactionsParSeconde(dossier.filePath(QStringLiteral("transactions.sqlite")), secondes);
        fprintf(stderr, "  transfer transactions in process: %.0f/s; %.0f commits/s\n", transactions, commits);
        ligneTableau("the server's transfer transaction alone (in process, no network)",
                     formater("%.0f /s", transactions), baseCommits, formater("%.0f /s", commits),
                     transactions / commits);
    }
    double attenteSansIdentifications = 0;
    for (int k : {1, 10, 100}) {
        // The disk's pace drifts: each load gets its own baseline, measured just before.
        const double commits = commitsParSeconde(dossier.filePath(QStringLiteral("commits-%1.sqlite").arg(k)), secondes);
        const Charge charge = chargerServeur(port, k, secondes);
        if (k == 1)
            attenteSansIdentifications = charge.max;
        fprintf(stderr, "  %d clients: %.0f transfers/s, p50 %.2f ms, p99 %.2f ms, %d failed; %.0f commits/s\n", k,
                charge.parSeconde, charge.p50, charge.p99, charge.echecs, commits);
        ligneTableau("server transfers with " + std::to_string(k) + " client" + (k > 1 ? "s" : "")
                         + formater(" (p50 %.1f ms, ", charge.p50) + formater("p99 %.1f ms)", charge.p99),
                     formater("%.0f /s", charge.parSeconde), baseCommits, formater("%.0f /s", commits),
                     charge.parSeconde / commits);
    }

    {
        const int n = 100;
        const Tempete tempete = transfererPendantIdentifications(port, n);
        fprintf(stderr, "  %d transfers while %d accounts logged in (%.0f ms), longest wait %.1f ms\n",
                tempete.virements, n, tempete.identificationsMs, tempete.attenteMax);
        ligneTableau("longest wait for a transfer while " + std::to_string(n) + " new accounts log in"
                         + formater(" (they take %.1f s)", tempete.identificationsMs / 1000),
                     formater("%.1f ms", tempete.attenteMax), "longest wait with no login (1 client, above)",
                     formater("%.1f ms", attenteSansIdentifications),
                     tempete.attenteMax / attenteSansIdentifications);
    }

    const long repos = rssKo(processus.processId());
    for (int n : paliers) {
        QElapsedTimer chrono;
        chrono.start();
        auto clients = connecter(port, n, [](int) { return numeroCompte(0); });
        const double ms = chrono.nsecsElapsed() / 1e6;
        if (clients.empty()) {
            fprintf(stderr, "  %d idle connections: not all authenticated\n", n);
            break;
        }
        // Still serving: one more client gets its balance.
        const bool repond = !connecter(port, 1, [](int) { return numeroCompte(1); }).empty();
        const long rss = rssKo(processus.processId());
        fprintf(stderr, "  %d idle connections in %.0f ms, server RSS %ld kB (idle %ld kB)%s\n", n, ms, rss, repos,
                repond ? "" : ", then no answer");
        ligneTableau("server RSS with " + std::to_string(n) + " idle authenticated connections"
                         + formater(" (%.1f KiB each", double(rss - repos) / n)
                         + formater(", all logged in within %.1f s", ms / 1000) + (repond ? ")" : "; no answer after)"),
                     formater("%.1f MiB", rss / 1024.0), "server RSS with none", formater("%.1f MiB", repos / 1024.0),
                     double(rss) / repos);
        clients.clear();
        attendre([] { return false; }, 1); // lets the server see them go
    }

    processus.terminate();
    processus.waitForFinished(10000);
    return 0;
}
