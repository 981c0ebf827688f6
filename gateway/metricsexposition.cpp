#include "metricsexposition.h"

#include "recordformat.h"

#include <QLocale>

#include <cmath>
#include <utility>

namespace {

using Labels = QVector<std::pair<const char *, QString>>;

// A family of samples of one kind of figure, each figure read from what it describes.
template <typename Of> struct Family
{
    const char *name;
    const char *type;
    const char *help;
    double (*value)(const Of &);
};

const Family<GatewayFigures> gatewayFamilies[] = {
    {"tarvik_gateway_active", "gauge",
     "1 while this gateway reads the controllers and publishes, 0 while it stands by",
     [](const GatewayFigures &g) { return g.active ? 1.0 : 0.0; }},
    {"tarvik_gateway_queue_messages", "gauge",
     "Messages waiting for the broker or not yet acknowledged by it",
     [](const GatewayFigures &g) { return double(g.queue); }},
    {"tarvik_gateway_published_total", "counter", "Messages the broker has taken",
     [](const GatewayFigures &g) { return double(g.published); }},
    {"tarvik_gateway_dropped_total", "counter",
     "Messages given up: the oldest past queue_limit, or refused by the session",
     [](const GatewayFigures &g) { return double(g.dropped); }},
    {"tarvik_gateway_replaced_total", "counter",
     "Retained messages a newer one of the same topic replaced before they went out",
     [](const GatewayFigures &g) { return double(g.replaced); }},
};

const Family<StoreFigures> storeFamilies[] = {
    {"tarvik_gateway_store_held_values", "gauge", "Values of history held in the store",
     [](const StoreFigures &s) { return double(s.heldValues); }},
    {"tarvik_gateway_store_bytes", "gauge", "Bytes the store's files take on disk",
     [](const StoreFigures &s) { return double(s.bytesOnDisk); }},
    {"tarvik_gateway_store_oldest_seconds", "gauge",
     "Age of the oldest value held in the store, 0 when it holds none",
     [](const StoreFigures &s) { return double(s.oldestAgeS); }},
    {"tarvik_gateway_store_delivered_total", "counter",
     "Values of history delivered from the store",
     [](const StoreFigures &s) { return double(s.delivered); }},
    {"tarvik_gateway_store_dropped_total", "counter",
     "Values of history dropped from the store at its cap or with the disk full",
     [](const StoreFigures &s) { return double(s.dropped); }},
};

const Family<ControllerFigures> controllerFamilies[] = {
    {"tarvik_controller_online", "gauge", "1 while the controller answers reads, else 0",
     [](const ControllerFigures &c) { return c.online ? 1.0 : 0.0; }},
    {"tarvik_controller_tags", "gauge", "Tags configured for the controller",
     [](const ControllerFigures &c) { return double(c.tags); }},
    {"tarvik_controller_reads_total", "counter", "Tag reads, failed ones included",
     [](const ControllerFigures &c) { return double(c.tagReads); }},
    {"tarvik_controller_requests_total", "counter",
     "Exchanges with the controller: reads and writes sent to its driver",
     [](const ControllerFigures &c) { return double(c.requests); }},
    {"tarvik_controller_exchanges_per_scan", "gauge",
     "Exchanges a scan of every tag takes, neighbouring tags merged into one",
     [](const ControllerFigures &c) { return c.exchangesPerScan; }},
};

// Go's float syntax, which the format takes: the fewest digits that read back the same.
QByteArray number(double v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    return QByteArray::number(v, 'g', QLocale::FloatingPointShortest);
}

class Exposition
{
public:
    void family(const char *name, const char *type, const char *help)
    {
        current = name;
        text += "# HELP " + current + ' ' + help + "\n# TYPE " + current + ' ' + type + '\n';
    }
    void sample(const Labels &labels, double value)
    {
        text += current;
        for (int i = 0; i < labels.size(); ++i)
            text += (i == 0 ? "{" : ",") + QByteArray(labels[i].first) + "=\"" +
                    metricsexposition::escapedLabel(labels[i].second) + '"';
        text += (labels.isEmpty() ? " " : "} ") + number(value) + '\n';
    }
    template <typename Of> void family(const Family<Of> &f) { family(f.name, f.type, f.help); }

    QByteArray text;

private:
    QByteArray current;
};

void gatewaySeries(Exposition &out, const GatewayFigures &g)
{
    out.family("tarvik_gateway_broker_connected", "gauge",
               "1 while the session with the broker is up, else 0");
    out.sample({{"broker", g.broker}}, g.brokerConnected ? 1 : 0);
    for (const auto &f : gatewayFamilies) {
        out.family(f);
        out.sample({}, f.value(g));
    }
    if (!g.storeOn)
        return;
    for (const auto &f : storeFamilies) {
        out.family(f);
        out.sample({}, f.value(g.store));
    }
}

void controllerSeries(Exposition &out, const QVector<ControllerFigures> &controllers)
{
    for (const auto &f : controllerFamilies) {
        out.family(f);
        for (const ControllerFigures &c : controllers)
            out.sample({{"controller", c.name}}, f.value(c));
    }
    out.family("tarvik_controller_read_failures_total", "counter",
               "Tag reads that failed, by result code and its outcome words");
    for (const ControllerFigures &c : controllers) {
        for (auto r = c.failures.begin(); r != c.failures.end(); ++r)
            out.sample({{"controller", c.name},
                        {"result", QString::number(r.key())},
                        {"outcome", recordformat::outcomeWords(r.key())}},
                       double(r.value()));
    }
    out.family("tarvik_controller_last_read_latency_seconds", "gauge",
               "How long the controller's last read took, from request to answer or failure");
    for (const ControllerFigures &c : controllers) {
        if (c.lastReadLatencyS >= 0)
            out.sample({{"controller", c.name}}, c.lastReadLatencyS);
    }
}

} // namespace

namespace metricsexposition {

QByteArray text(const GatewayFigures &figures)
{
    Exposition out;
    gatewaySeries(out, figures);
    controllerSeries(out, figures.controllers);
    return out.text;
}

QByteArray escapedLabel(const QString &value)
{
    QByteArray escaped;
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

} // namespace metricsexposition
