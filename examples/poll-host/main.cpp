// Polls two tags of a controller, one read per timer tick, taking turns, and says what each read
// gave. A tag the driver refuses for good is dropped; a failed exchange is tried again on its
// next turn; a link that is no longer open is connected again.
//
//   poll-host ADDRESS:PORT [READS]      READS per tag, then exit (default: until interrupted)

#include <tarvik/ExportTCPDLL.h>  // getSharedLibrary(), the driver interface, the record
#include <tarvik/TarvikOutcome.h> // the record's result codes by name

#include <QCoreApplication>
#include <QSequentialIterable>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <vector>

namespace {

struct Tag
{
    QString address;
    DataType type;
    int count;
};

// The record's result codes a poll meets, and what a host does about each.
enum class Then { Show, Retry, Reconnect, Drop };
struct Outcome
{
    tarvik::Outcome result;
    const char *words;
    Then then;
};
const Outcome outcomes[] = {
    {tarvik::Outcome::Success, "ok", Then::Show},
    {tarvik::Outcome::TypeRefused, "type refused for this tag", Then::Drop},
    {tarvik::Outcome::NoPoint, "no such tag", Then::Drop},
    {tarvik::Outcome::BadCount, "count or length refused", Then::Drop},
    {tarvik::Outcome::ExchangeFailed, "no valid answer in time", Then::Retry},
    {tarvik::Outcome::LinkNotOpen, "link not open", Then::Reconnect},
};

const Outcome &outcomeOf(int result)
{
    static const Outcome unknown{tarvik::Outcome::NewRecord, "unknown outcome", Then::Retry};
    for (const Outcome &o : outcomes)
        if (int(o.result) == result)
            return o;
    return unknown;
}

QString valuesOf(const CLabelVariable &record)
{
    QStringList values;
    for (const QVariant &element : record.value.value<QSequentialIterable>())
        values << element.toString();
    return values.join(QLatin1Char(' '));
}

class Poller
{
public:
    Poller(CDriveBaseClass *driver, QString connection, std::vector<Tag> tags, int reads)
        : driver(driver), connection(std::move(connection)), tags(std::move(tags)),
          readsLeft(reads * int(this->tags.size()))
    {
    }

    // One read of the next tag in turn; false once there is nothing left to do.
    bool pollNext()
    {
        if (tags.empty() || readsLeft == 0)
            return false;
        next %= tags.size();
        const Tag tag = tags[next];
        CLabelVariable record = driver->ReadVariable(tag.address, tag.type, tag.count);
        const Outcome &outcome = outcomeOf(record.result);
        const bool show = outcome.then == Then::Show;
        std::printf("%-8s %d (%s)%s%s\n", qPrintable(tag.address), record.result, outcome.words,
                    show ? " " : "", show ? qPrintable(valuesOf(record)) : "");
        std::fflush(stdout);
        if (outcome.then == Then::Drop)
            tags.erase(tags.begin() + next);
        else
            ++next;
        if (outcome.then == Then::Reconnect)
            driver->ConnectDrive(connection);
        if (readsLeft > 0)
            --readsLeft;
        return true;
    }

private:
    CDriveBaseClass *driver;
    QString connection;
    std::vector<Tag> tags;
    size_t next = 0;
    int readsLeft; // below 0: no end
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv); // the driver needs Qt's event dispatcher on its thread
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.size() > 2 || args.first().startsWith(QLatin1Char('-'))) {
        std::fprintf(args.value(0) == "--help" ? stdout : stderr,
                     "usage: poll-host ADDRESS:PORT [READS]\n");
        return args.value(0) == "--help" ? 0 : 2;
    }
    const QString connection = args.first();
    const int reads = args.size() == 2 ? args[1].toInt() : -1;

    CDriveBaseClass *driver = getSharedLibrary();
    const int connected = driver->ConnectDrive(connection);
    int status = 0;
    if (connected == 0) {
        Poller poller(driver, connection, {{"AI_F12", Int16, 2}, {"DI3", Bool, 5}}, reads);
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (!poller.pollNext())
                app.quit();
        });
        timer.start(100);
        app.exec();
        driver->DisConnectDrive();
    } else {
        std::fprintf(stderr, "connect %s: %d (%s)\n", qPrintable(connection), connected,
                     connected == -2 ? "no answer to the link check" : "refused");
        status = 1;
    }
    // The interface has no virtual destructor: the driver is a QObject and is deleted as one.
    driver->DestroyFree();
    delete dynamic_cast<QObject *>(driver);
    return status;
}
