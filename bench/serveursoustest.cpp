#include "serveursoustest.h"

#include "connexionbanc.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>

ServeurSousTest::ServeurSousTest(const std::string &programme, const std::vector<std::string> &options,
                                 const std::string &journal)
    : journal(journal)
{
    int tube[2];
    if (pipe2(tube, O_CLOEXEC) != 0)
        throw EchecBanc(std::string("pipe: ") + std::strerror(errno));
    pid = fork();
    if (pid == 0) {
        const int log = open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(tube[1], 1);
        dup2(log, 2);
        std::vector<char *> argv{const_cast<char *>(programme.c_str())};
        for (const std::string &option : options)
            argv.push_back(const_cast<char *>(option.c_str()));
        argv.push_back(nullptr);
        execv(programme.c_str(), argv.data());
        dprintf(2, "cannot run %s: %s\n", programme.c_str(), std::strerror(errno));
        _exit(127);
    }
    close(tube[1]);
    sortie = tube[0]; // kept open: a later line must not kill the server with SIGPIPE
    if (pid < 0)
        throw EchecBanc(std::string("fork: ") + std::strerror(errno));

    std::string annonce;
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (annonce.find('\n') == std::string::npos) {
        const auto reste = std::chrono::duration_cast<std::chrono::milliseconds>(limite - std::chrono::steady_clock::now());
        pollfd attente{sortie, POLLIN, 0};
        char tampon[256];
        ssize_t n = 0;
        if (reste.count() <= 0 || poll(&attente, 1, int(reste.count())) <= 0
            || (n = read(sortie, tampon, sizeof tampon)) <= 0)
            throw EchecBanc("the server did not start; its log ends with:\n" + finJournal());
        annonce.append(tampon, size_t(n));
    }
    const size_t deuxPoints = annonce.rfind(':', annonce.find('\n'));
    portEcoute = deuxPoints == std::string::npos ? 0 : uint16_t(std::atoi(annonce.c_str() + deuxPoints + 1));
    if (portEcoute == 0)
        throw EchecBanc("the server announced no port: " + annonce);
}

ServeurSousTest::~ServeurSousTest()
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    if (sortie >= 0)
        close(sortie);
}

bool ServeurSousTest::connaitOption(const std::string &programme, const std::string &option)
{
    const std::string commande = "'" + programme + "' --help 2>&1";
    FILE *aide = popen(commande.c_str(), "r");
    if (!aide)
        return false;
    std::string texte;
    char tampon[512];
    size_t n;
    while ((n = fread(tampon, 1, sizeof tampon, aide)) > 0)
        texte.append(tampon, n);
    pclose(aide);
    return texte.find(option + " ") != std::string::npos;
}

void ServeurSousTest::verifierEnMarche()
{
    int statut = 0;
    if (pid <= 0 || waitpid(pid, &statut, WNOHANG) != pid)
        return;
    pid = -1;
    throw EchecBanc((WIFSIGNALED(statut) ? "the server was killed by signal " + std::to_string(WTERMSIG(statut))
                                         : "the server exited with status " + std::to_string(WEXITSTATUS(statut))));
}

long ServeurSousTest::rssKio() const
{
    std::ifstream statut("/proc/" + std::to_string(pid) + "/status");
    std::string ligne;
    while (std::getline(statut, ligne)) {
        if (ligne.rfind("VmRSS:", 0) == 0)
            return std::atol(ligne.c_str() + 6);
    }
    throw EchecBanc("cannot read the server's memory in /proc");
}

std::string ServeurSousTest::finJournal() const
{
    std::ifstream log(journal);
    std::deque<std::string> lignes;
    std::string ligne;
    while (std::getline(log, ligne)) {
        lignes.push_back(ligne);
        if (lignes.size() > 10)
            lignes.pop_front();
    }
    std::string fin;
    for (const std::string &l : lignes)
        fin += "  " + l + "\n";
    return fin.empty() ? "  (empty log)\n" : fin;
}

int ServeurSousTest::lignesAvec(const std::vector<std::string> &textes) const
{
    std::ifstream log(journal);
    int n = 0;
    std::string ligne;
    while (std::getline(log, ligne)) {
        n += std::all_of(textes.begin(), textes.end(),
                         [&](const std::string &texte) { return ligne.find(texte) != std::string::npos; })
                 ? 1
                 : 0;
    }
    return n;
}

int lancerBanc(int argc, char **argv, const char *usage, int argumentsMin, int (*executer)(const QStringList &))
{
    QCoreApplication application(argc, argv);
    const std::string nom = QFileInfo(application.applicationFilePath()).fileName().toStdString();
    if (application.arguments().size() < argumentsMin) {
        std::fprintf(stderr, "usage: %s %s\n", nom.c_str(), usage);
        return 2;
    }
    try {
        return executer(application.arguments());
    } catch (const std::exception &echec) {
        std::fprintf(stderr, "%s: %s\n", nom.c_str(), echec.what());
    }
    return 1;
}
