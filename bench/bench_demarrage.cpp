// Start-up of a program until its first window is mapped on the X display named
// by DISPLAY (a private Xvfb, where nothing else maps windows), and its peak
// resident memory at that moment. Two commands are timed in alternation, so
// that noise on the machine falls on both alike:
//
//   bench_demarrage RUNS command... -- baseline...
//
// The first run of each is a warm-up and is not counted. Prints one table row
// per figure, with the median of the counted runs. QOVI_BENCH_NOM and
// QOVI_BENCH_NOM_BASE, when set, name the two in the rows (for two runs of one
// program in different folders, started through `env -C FOLDER`).

#include "tableau.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {


struct Mesure
{
    double millisecondes = -1;
    long picKo = -1;
};

long picMemoireKo(pid_t pid)
{
    std::ifstream statut("/proc/" + std::to_string(pid) + "/status");
    std::string ligne;
    while (std::getline(statut, ligne)) {
        if (ligne.rfind("VmHWM:", 0) == 0)
            return std::strtol(ligne.c_str() + 6, nullptr, 10);
    }
    return -1;
}

xcb_atom_t atome(xcb_connection_t *x, const char *nom)
{
    xcb_intern_atom_reply_t *reponse =
        xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, uint16_t(std::strlen(nom)), nom), nullptr);
    const xcb_atom_t resultat = reponse ? reponse->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reponse);
    return resultat;
}

// The pid that the toolkit wrote on the window, or 0 when there is none.
pid_t pidFenetre(xcb_connection_t *x, xcb_window_t fenetre, xcb_atom_t netWmPid)
{
    xcb_get_property_reply_t *reponse = xcb_get_property_reply(
        x, xcb_get_property(x, 0, fenetre, netWmPid, XCB_ATOM_CARDINAL, 0, 1), nullptr);
    pid_t pid = 0;
    if (reponse && xcb_get_property_value_length(reponse) == 4)
        pid = pid_t(*static_cast<uint32_t *>(xcb_get_property_value(reponse)));
    std::free(reponse);
    return pid;
}

Mesure mesurer(xcb_connection_t *x, xcb_atom_t netWmPid, char **commande)
{
    Mesure mesure;
    const auto debut = Horloge::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(commande[0], commande);
        _exit(127);
    }
    const int descripteur = xcb_get_file_descriptor(x);
    while (mesure.millisecondes < 0) {
        int statut = 0;
        if (waitpid(pid, &statut, WNOHANG) == pid) {
            std::fprintf(stderr, "%s ended before showing a window\n", commande[0]);
            return mesure;
        }
        pollfd attente = {descripteur, POLLIN, 0};
        poll(&attente, 1, 20);
        while (xcb_generic_event_t *evenement = xcb_poll_for_event(x)) {
            if ((evenement->response_type & 0x7F) == XCB_MAP_NOTIFY && mesure.millisecondes < 0) {
                const auto maintenant = Horloge::now();
                auto *carte = reinterpret_cast<xcb_map_notify_event_t *>(evenement);
                const pid_t proprietaire = pidFenetre(x, carte->window, netWmPid);
                if (proprietaire == 0 || proprietaire == pid) {
                    mesure.millisecondes = std::chrono::duration<double, std::milli>(maintenant - debut).count();
                    mesure.picKo = picMemoireKo(pid);
                }
            }
            std::free(evenement);
        }
        if (std::chrono::duration<double>(Horloge::now() - debut).count() > 60) {
            std::fprintf(stderr, "%s showed no window within 60 s\n", commande[0]);
            break;
        }
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return mesure;
}

double mediane(std::vector<double> valeurs)
{
    std::sort(valeurs.begin(), valeurs.end());
    const size_t n = valeurs.size();
    return n % 2 ? valeurs[n / 2] : (valeurs[n / 2 - 1] + valeurs[n / 2]) / 2;
}

std::string nomProgramme(char **commande)
{
    // Past wrappers such as "unshare --ipc", the program is the last word that names a file.
    std::string nom;
    for (char **mot = commande; *mot; ++mot) {
        if (**mot != '-')
            nom = *mot;
    }
    const size_t barre = nom.rfind('/');
    return barre == std::string::npos ? nom : nom.substr(barre + 1);
}

} // namespace

int main(int argc, char **argv)
{
    int separation = 2;
    while (separation < argc && std::strcmp(argv[separation], "--") != 0)
        ++separation;
    if (argc < 5 || separation >= argc - 1) {
        std::fprintf(stderr, "usage: %s RUNS command... -- baseline...\n", argv[0]);
        return 2;
    }
    const int tours = std::max(1, std::atoi(argv[1]));
    argv[separation] = nullptr;
    char **commande = argv + 2;
    char **base = argv + separation + 1;

    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t *)> x(xcb_connect(nullptr, nullptr),
                                                                        xcb_disconnect);
    if (xcb_connection_has_error(x.get())) {
        std::fprintf(stderr, "no X display (DISPLAY=%s)\n", std::getenv("DISPLAY"));
        return 1;
    }
    xcb_screen_t *ecran = xcb_setup_roots_iterator(xcb_get_setup(x.get())).data;
    const uint32_t masque = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x.get(), ecran->root, XCB_CW_EVENT_MASK, &masque);
    xcb_flush(x.get());
    const xcb_atom_t netWmPid = atome(x.get(), "_NET_WM_PID");

    std::vector<double> temps, tempsBase, memoire, memoireBase;
    for (int tour = 0; tour <= tours; ++tour) {
        const Mesure m = mesurer(x.get(), netWmPid, commande);
        const Mesure b = mesurer(x.get(), netWmPid, base);
        if (m.millisecondes < 0 || b.millisecondes < 0)
            return 1;
        std::fprintf(stderr, "  run %d: %.1f ms %ld kB / %.1f ms %ld kB\n", tour, m.millisecondes, m.picKo,
                     b.millisecondes, b.picKo);
        if (tour == 0)
            continue;
        temps.push_back(m.millisecondes);
        tempsBase.push_back(b.millisecondes);
        memoire.push_back(double(m.picKo));
        memoireBase.push_back(double(b.picKo));
    }

    const char *nomDonne = std::getenv("QOVI_BENCH_NOM");
    const char *nomBaseDonne = std::getenv("QOVI_BENCH_NOM_BASE");
    const std::string nom = nomDonne ? nomDonne : "`" + nomProgramme(commande) + "`";
    const std::string nomBase = nomBaseDonne ? nomBaseDonne : "`" + nomProgramme(base) + "` (empty QWidget)";
    const std::string runs = " (median of " + std::to_string(tours) + ")";
    ligneTableau("start-up of " + nom + " until its window is mapped" + runs, formater("%.1f ms", mediane(temps)),
                 nomBase, formater("%.1f ms", mediane(tempsBase)), mediane(temps) / mediane(tempsBase));
    ligneTableau("peak RSS of " + nom + " when its window is mapped" + runs,
                 formater("%.1f MiB", mediane(memoire) / 1024), nomBase, formater("%.1f MiB", mediane(memoireBase) / 1024),
                 mediane(memoire) / mediane(memoireBase));
    return 0;
}
