#ifndef JOURNAL_H
#define JOURNAL_H

namespace asio {
class io_context;
}

// The server's log: one line per event on stderr, after the local time to the
// millisecond, for every qInfo() and qWarning(). While it lives, lines are
// gathered and written together once the loop has handled what was ready, so
// that a busy server does not pay one write per line; warnings, and whatever
// is still gathered when it goes, are written at once.
class Journal
{
public:
    explicit Journal(asio::io_context &contexte);
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    static void vider();
};

#endif
