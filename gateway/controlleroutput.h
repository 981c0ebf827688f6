#pragma once

#include "CLabelVariable.h"
#include "publishpolicy.h"

#include <QString>
#include <QVariant>

#include <memory>
#include <vector>

// The seam between a controller's worker and what the gateway makes of its reads. The worker says
// what happens, on its own thread and as it happens; it knows nothing of topics, payloads or
// protocols. An output knows the controller's settings, makes its messages and hands them on at
// the end of each scan turn.
class ControllerOutput
{
public:
    virtual ~ControllerOutput() = default;

    // The worker starts: what each tag is.
    virtual void started() = 0;
    // A tag's record to publish: a value (result 0, in the tag's published units) or an outcome
    // (a failed read, a link that closed, a tag the driver refuses), with what was published of
    // the tag before it. texts: a value's elements as recordformat::values gives them (made once
    // for the deadband and every output); none for an outcome.
    virtual void tagUpdated(int tag, const CLabelVariable &record, const QStringList &texts,
                            const TagMemory &before) = 0;
    // The controller went online or offline.
    virtual void statusChanged(bool online) = 0;
    // Still online: said again before what was said last can be taken as out of date. Handed on
    // at once, also in the middle of a scan turn.
    virtual void stillOnline() = 0;
    // A write's outcome, with the ticket its request came with.
    virtual void writeAnswered(int tag, int result, const QString &words,
                               const QVariant &ticket) = 0;
    // The end of a scan turn: what it made goes on together.
    virtual void turnEnded() = 0;
};

// Several outputs at once (the JSON form and a Sparkplug node), each told everything in turn. A
// write's ticket says which of them the request came through; the others let its outcome pass.
class ControllerOutputs : public ControllerOutput
{
public:
    void add(std::unique_ptr<ControllerOutput> output) { outputs.push_back(std::move(output)); }

    void started() override
    {
        for (auto &o : outputs)
            o->started();
    }
    void tagUpdated(int tag, const CLabelVariable &record, const QStringList &texts,
                    const TagMemory &before) override
    {
        for (auto &o : outputs)
            o->tagUpdated(tag, record, texts, before);
    }
    void statusChanged(bool online) override
    {
        for (auto &o : outputs)
            o->statusChanged(online);
    }
    void stillOnline() override
    {
        for (auto &o : outputs)
            o->stillOnline();
    }
    void writeAnswered(int tag, int result, const QString &words, const QVariant &ticket) override
    {
        for (auto &o : outputs)
            o->writeAnswered(tag, result, words, ticket);
    }
    void turnEnded() override
    {
        for (auto &o : outputs)
            o->turnEnded();
    }

private:
    std::vector<std::unique_ptr<ControllerOutput>> outputs;
};
