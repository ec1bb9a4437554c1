#ifndef JOURNAL_H
#define JOURNAL_H

// journal/: the server's log: its levels, its output to stderr or systemd's
// journal, and the one-line events that tools read. Uses Asio and Qt Core only.

#include <QString>

namespace asio {
class io_context;
}

// How much the server logs: each level keeps the ones above it.
enum class NiveauJournal { Erreur, Avertissement, Info, Debogage };

// "error", "warning", "notice" or "info" (the same level), "debug".
bool lireNiveauJournal(const QString &texte, NiveauJournal *niveau);

// The server's log: one line per event on stderr. Under systemd's journal
// (JOURNAL_STREAM names stderr), each line begins with its priority ("<3>"
// error, "<4>" warning, "<6>" info, "<7>" debug) and the journal adds the
// time; elsewhere it begins with the local time to the millisecond and the
// level's name.
//
// While a Journal lives, info and debug lines are gathered and written
// together once the loop has handled what was ready, so that a busy server
// does not pay one write per line; warnings, and whatever is still gathered
// when it goes, are written at once.
class Journal
{
public:
    explicit Journal(asio::io_context &contexte);
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // Sends the process's Qt messages to the log, from niveau up.
    static void installer(NiveauJournal niveau);
    static void vider();
};

// Whether stderr is the stream that JOURNAL_STREAM ("device:inode") names: a
// child whose stderr goes elsewhere may have inherited the variable.
bool stderrVersJournald();

#endif
