#pragma once

#include "answerqueue.h"
#include "framesplitter.h"
#include "idlestream.h"
#include "pacedwriter.h"

#include <QObject>
#include <QTimer>

#include <memory>

namespace sim {

class SerialLink;
class Simulator;
struct Delivery;

// Answers requests that arrive on one serial link.
class SerialEndpoint : public QObject
{
    Q_OBJECT

public:
    SerialEndpoint(Simulator &simulator, std::unique_ptr<SerialLink> link);
    ~SerialEndpoint() override;

    QString path() const;
    // The noise the line carries while no exchange is under way (--stream, --stream-full).
    void setStream(int baud, bool full);

signals:
    // The line was closed on a request (--hangup); the endpoint serves no more.
    void hungUp();

private:
    void receive(const QByteArray &bytes);
    void takeFrames(bool lineQuiet);
    void dropStale();
    void answer(const QByteArray &frame);
    void deliver(const Delivery &delivery);
    void resumeStreamIfIdle();
    void hangUp();

    Simulator &simulator_;
    std::unique_ptr<SerialLink> link_;
    FrameSplitter splitter_;
    AnswerQueue answers_; // the line's answers leave in request order, late ones holding back
    PacedWriter writer_;
    IdleStream stream_;
    QTimer settleTimer_; // the line has been quiet long enough to settle a frame's length
    QTimer staleTimer_;  // a partial frame has waited too long for its remaining bytes
    bool closed_ = false;
};

} // namespace sim
