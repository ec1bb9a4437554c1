#ifndef SERVEURSOUSTEST_H
#define SERVEURSOUSTEST_H

// The real qovi-server process that the benchmark measures, on 127.0.0.1 and a
// free port, with its log in a file. It inherits the benchmark's descriptor limit.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class QStringList;

// The main of a server benchmark: the Qt application, at least argumentsMin
// arguments (else the usage line and 2), and any failure as one line and 1.
int lancerBanc(int argc, char **argv, const char *usage, int argumentsMin, int (*executer)(const QStringList &));

class ServeurSousTest
{
public:
    // Starts programme with the options given, waits for its "listening on" line.
    ServeurSousTest(const std::string &programme, const std::vector<std::string> &options,
                    const std::string &journal);
    ~ServeurSousTest();

    // Whether the server's --help lists option (options that only newer servers have).
    static bool connaitOption(const std::string &programme, const std::string &option);

    uint16_t port() const { return portEcoute; }
    // Throws EchecBanc if the server has ended.
    void verifierEnMarche();
    // Resident memory (VmRSS), KiB.
    long rssKio() const;
    // The last lines of its log, for a failure message.
    std::string finJournal() const;
    // How many lines of its log contain every one of textes.
    int lignesAvec(const std::vector<std::string> &textes) const;

private:
    pid_t pid = -1;
    int sortie = -1;
    uint16_t portEcoute = 0;
    std::string journal;
};

#endif
