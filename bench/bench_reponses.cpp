// A loopback server floods the client with "r:" replies as fast as it can. The
// client (a real window, shown) must handle them all: log line, balance and
// history record each. The baseline reads the same bytes off a socket and does
// nothing with them. Both runs also time the longest pause of the event loop,
// as seen by a timer that ticks every millisecond. The process's resident
// memory (VmRSS) is read with the window connected before the flood and once
// it has handled the last reply, and its peak (VmHWM) then; the table gives
// them for the first run, the only one in a fresh process.
//
//   bench_reponses [REPLIES [RUNS]]    (defaults: 100000 and 3)

#include "tableau.h"

#include "wire/codec.h"
#include "wire/trame.h"
#include "history/historique.h"
#include "window/fenclient.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSemaphore>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <vector>

namespace {

const QString expediteur = QStringLiteral("0A1B2C3D4E5F");

qint64 maintenantNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Listens on 127.0.0.1 in a thread of its own, writes everything to its first
// connection as fast as the socket takes it, and stays connected until told.
class Inondeur : public QThread
{
public:
    explicit Inondeur(const QByteArray &octets)
        : octets(octets)
    {
    }

    ~Inondeur() override
    {
        terminer.release();
        wait();
    }

    quint16 demarrer()
    {
        start();
        pret.acquire();
        return port;
    }

    // Steady-clock time when the first byte was handed to the socket, 0 before.
    std::atomic<qint64> debut{0};

protected:
    void run() override
    {
        QTcpServer serveur;
        serveur.listen(QHostAddress::LocalHost, 0);
        port = serveur.serverPort();
        pret.release();
        if (!serveur.waitForNewConnection(60000))
            return;
        QTcpSocket *connexion = serveur.nextPendingConnection();
        debut = maintenantNs();
        connexion->write(octets);
        while (connexion->bytesToWrite() > 0 && connexion->waitForBytesWritten(60000)) {
        }
        terminer.acquire();
        delete connexion;
    }

private:
    QByteArray octets;
    quint16 port = 0;
    QSemaphore pret, terminer;
};

struct Resultat
{
    double millisecondes = -1;
    double pauseMaxMs = 0;
    double rssAvantKo = 0; // the window connected, before the first reply
    double rssApresKo = 0; // once the last reply is handled
    double picKo = 0;
    QString erreur;
};

// A "VmRSS:" or "VmHWM:" line of /proc/self/status, in kB.
double memoireKo(const char *champ)
{
    QFile statut(QStringLiteral("/proc/self/status"));
    if (!statut.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &ligne : statut.readAll().split('\n')) {
        if (ligne.startsWith(champ))
            return ligne.mid(int(qstrlen(champ))).trimmed().split(' ').value(0).toDouble();
    }
    return -1;
}

// Runs the event loop until fini() holds, timing the flood and the longest gap
// between ticks of a 1 ms timer while it lasts.
Resultat chronometrer(Inondeur &serveur, const std::function<bool()> &fini)
{
    Resultat resultat;
    QEventLoop boucle;
    QTimer tic;
    tic.setTimerType(Qt::PreciseTimer);
    qint64 dernierTic = 0;
    QObject::connect(&tic, &QTimer::timeout, &boucle, [&] {
        const qint64 maintenant = maintenantNs();
        const qint64 debut = serveur.debut;
        if (debut != 0 && dernierTic != 0) {
            const double pause = (maintenant - std::max(dernierTic, debut)) / 1e6;
            resultat.pauseMaxMs = std::max(resultat.pauseMaxMs, pause);
            if (pause > 10 && qEnvironmentVariableIsSet("QOVI_BENCH_PAUSES"))
                fprintf(stderr, "    pause %.1f ms at %.1f ms\n", pause, (maintenant - debut) / 1e6);
        }
        dernierTic = maintenant;
        if (debut != 0 && fini()) {
            resultat.millisecondes = (maintenant - debut) / 1e6;
            boucle.quit();
        }
    });
    QTimer garde;
    garde.setSingleShot(true);
    QObject::connect(&garde, &QTimer::timeout, &boucle, &QEventLoop::quit);
    garde.start(600000);
    tic.start(1);
    boucle.exec();
    if (resultat.millisecondes < 0)
        resultat.erreur = QStringLiteral("timed out");
    return resultat;
}

Resultat mesurerClient(const QByteArray &flot, int reponses)
{
    QTemporaryDir dossier;
    QDir::setCurrent(dossier.path());
    Inondeur serveur(flot);
    const quint16 port = serveur.demarrer();

    FenClient fenetre;
    fenetre.show();
    fenetre.findChild<QLineEdit *>(QStringLiteral("serveurIP"))->setText(QStringLiteral("127.0.0.1"));
    fenetre.findChild<QSpinBox *>(QStringLiteral("serveurPort"))->setValue(port);
    QLabel *solde = fenetre.findChild<QLabel *>(QStringLiteral("solde"));
    const QString soldeFinal = QString::number(reponses);
    const double rssAvant = memoireKo("VmRSS:");
    fenetre.findChild<QPushButton *>(QStringLiteral("boutonConnexion"))->click();

    Resultat resultat = chronometrer(serveur, [&] { return solde->text() == soldeFinal; });
    resultat.rssAvantKo = rssAvant;
    resultat.rssApresKo = memoireKo("VmRSS:");
    resultat.picKo = memoireKo("VmHWM:");

    // Every reply must have had its whole effect, or the figure means nothing.
    const QString compte = fenetre.findChild<QLabel *>(QStringLiteral("compte"))->text();
    const int lignesHistorique = lireHistorique(compte).count(QLatin1Char('\n'));
    // The log keeps a tail of the lines (all of them before it was bounded).
    const QString journal = fenetre.findChild<QTextEdit *>(QStringLiteral("listeMessages"))->toPlainText();
    const bool derniereLigneVue = journal.endsWith(expediteur + QStringLiteral("  has sent you an amount of 1 qovi$"));
    if (resultat.erreur.isEmpty() && (lignesHistorique != reponses || !derniereLigneVue))
        resultat.erreur = QStringLiteral("%1 history records for %2 replies, last log line %3")
                              .arg(lignesHistorique).arg(reponses).arg(journal.right(60));
    QDir::setCurrent(QDir::tempPath());
    return resultat;
}

Resultat mesurerLecture(const QByteArray &flot)
{
    Inondeur serveur(flot);
    const quint16 port = serveur.demarrer();
    QTcpSocket lecteur;
    qint64 lus = 0;
    QObject::connect(&lecteur, &QTcpSocket::readyRead, [&] { lus += lecteur.readAll().size(); });
    lecteur.connectToHost(QHostAddress::LocalHost, port);
    return chronometrer(serveur, [&] { return lus == flot.size(); });
}

double mediane(std::vector<double> valeurs)
{
    std::sort(valeurs.begin(), valeurs.end());
    const size_t n = valeurs.size();
    return n % 2 ? valeurs[n / 2] : (valeurs[n / 2 - 1] + valeurs[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    const int reponses = arguments.size() > 1 ? arguments.at(1).toInt() : 100000;
    const int tours = arguments.size() > 2 ? arguments.at(2).toInt() : 3;

    QByteArray flot;
    for (int i = 0; i < reponses; ++i)
        flot += construireTrame(brouiller(QStringLiteral("r:1:") + expediteur));

    std::vector<double> temps, tempsBase, pauses, pausesBase, rssAvant, rssApres, pics;
    for (int tour = 0; tour < tours; ++tour) {
        const Resultat client = mesurerClient(flot, reponses);
        const Resultat lecture = mesurerLecture(flot);
        if (!client.erreur.isEmpty() || !lecture.erreur.isEmpty()) {
            fprintf(stderr, "bench_reponses: %s%s\n", qPrintable(client.erreur), qPrintable(lecture.erreur));
            return 1;
        }
        fprintf(stderr, "  run %d: client %.1f ms (longest pause %.1f ms), read %.1f ms (%.1f ms)\n", tour,
                client.millisecondes, client.pauseMaxMs, lecture.millisecondes, lecture.pauseMaxMs);
        temps.push_back(client.millisecondes);
        tempsBase.push_back(lecture.millisecondes);
        pauses.push_back(client.pauseMaxMs);
        pausesBase.push_back(lecture.pauseMaxMs);
        rssAvant.push_back(client.rssAvantKo);
        rssApres.push_back(client.rssApresKo);
        pics.push_back(client.picKo);
        fprintf(stderr, "    RSS %.0f kB before, %.0f kB after, peak %.0f kB\n", client.rssAvantKo, client.rssApresKo,
                client.picKo);
    }

    const std::string n = std::to_string(reponses), runs = " (median of " + std::to_string(tours) + ")";
    const std::string base = "reading the same " + formater("%.1f MB", flot.size() / 1e6) + " off a socket";
    ligneTableau("client handles " + n + " \"r:\" replies" + runs,
                 formater("%.0f ms", mediane(temps)) + formater(" (%.0f replies/s)", reponses / mediane(temps) * 1e3),
                 base, formater("%.0f ms", mediane(tempsBase)), mediane(temps) / mediane(tempsBase));
    ligneTableau("longest event-loop pause while handling them" + runs, formater("%.1f ms", mediane(pauses)),
                 "longest pause while " + base.substr(0, 1) + base.substr(1),
                 formater("%.1f ms", mediane(pausesBase)), mediane(pauses) / std::max(mediane(pausesBase), 0.001));
    // Memory from the first run only: later runs start with what the allocator kept of the earlier ones.
    const std::string avant = "RSS of the same process, window connected, before the flood";
    const std::string premier = " (first run, fresh process)";
    ligneTableau("client RSS (VmRSS) after " + n + " \"r:\" replies" + premier,
                 formater("%.1f MiB", rssApres[0] / 1024), avant, formater("%.1f MiB", rssAvant[0] / 1024),
                 rssApres[0] / rssAvant[0]);
    ligneTableau("peak RSS (VmHWM) of the process once " + n + " replies are handled" + premier,
                 formater("%.1f MiB", pics[0] / 1024), avant, formater("%.1f MiB", rssAvant[0] / 1024),
                 pics[0] / rssAvant[0]);
    return 0;
}
